#!/usr/bin/env bash
# Measures what three nolvex-shortd instances on one PostgreSQL cluster share:
#   - take-downs: the time to 410 on every instance, over TAKEDOWNS links (default 100) each way,
#     each cached on all three before it is taken down: from the start of `links disable`, and
#     from an UPDATE sent in an open psql session (the time from the commit alone);
#   - the create limit: one client creating as fast as it can, spread over the three, for
#     LIMIT_SECONDS (default 90), against --rate-limit LIMIT (default 60): the most creations in
#     any 60 s, as a multiple of the limit.
#
#   bench/service/cluster.sh
#
# Builds a Release tree in build-bench (BENCH_BUILD_DIR chooses another). Needs python3 and
# PostgreSQL's server tools (initdb, pg_ctl, psql).
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_pgbin
bench_need python3 curl cmake ninja "$pgbin/initdb" "$pgbin/psql"
bench_build nolvex-shortd
shortd=$build/service/nolvex-shortd

bench_workdir
bench_pg_workdir

pg_port=$(free_port)
(cd "$work" && "${as_server[@]}" "$pgbin/initdb" -D "$work/pg" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
    --no-instructions >"$work/initdb.log")
printf "listen_addresses = '127.0.0.1'\nport = %s\nunix_socket_directories = '%s'\n" "$pg_port" "$work" \
    >>"$work/pg/postgresql.conf"
(cd "$work" && "${as_server[@]}" "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w start >/dev/null)
"$pgbin/psql" -X -q -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres -c "CREATE DATABASE links"

python3 "$(dirname "$0")/cluster.py" "$shortd" "postgresql://postgres@127.0.0.1:$pg_port/links" "$work" \
    "${TAKEDOWNS:-100}" "${LIMIT:-60}" "${LIMIT_SECONDS:-90}" "$pgbin/psql" -X -q -h 127.0.0.1 -p "$pg_port" -U postgres
