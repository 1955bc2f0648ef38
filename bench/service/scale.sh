#!/usr/bin/env bash
# Measures nolvex-shortd with many links in its database, on SQLite and on PostgreSQL:
#   - the load of N links by one INSERT ... SELECT over a generated series (links/s), and the
#     database's size per link;
#   - the redirect under a Zipf-distributed workload over all N codes (zipf.lua) with the default
#     cache, a first run from a cold cache and a second one; create;
#   - the API list and `links list` filtered by a search term, a tag and a state: the first page, and
#     for the API the page $DEEP_PAGE reached by following the cursor (that request alone);
#   - stats for the whole service (the command and the API);
#   - a take-down: from the start of `links disable` until the link, cached before, answers 410.
#
#   bench/service/scale.sh [links] [seconds] [connections]     defaults: 10000000, 10 s, 50
#
# STORES picks the stores ("sqlite postgres", the default, or one of them), DEEP_PAGE the deep page
# (default 50; the last page where there are fewer), WRK_THREADS wrk's threads (default 1),
# SHORTD_OPTIONS more options for the service (say "--database-connections 4").
# Builds a Release tree in build-bench like run.sh. Needs wrk, curl, python3, sqlite3 and
# PostgreSQL's server tools. The generated links: link i (0-based) has the code of i in the code
# alphabet, least significant letter first; an address on one of 1,000 hosts (h0.example to
# h999.example), made 3 s after the one before; one in 1,000 disabled, one in 1,000 deleted, one in
# 1,000 tagged spring-sale. The search term, the tag and the state each match one link in 1,000.
# Each timed request or command is run three times and the median printed.
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
count=${1:-10000000}
duration=${2:-10}
connections=${3:-50}
threads=${WRK_THREADS:-1}
stores=${STORES:-sqlite postgres}
deep_page=${DEEP_PAGE:-50}

bench_pgbin
bench_need wrk curl python3 sqlite3 cmake ninja "$pgbin/initdb" "$pgbin/psql"
bench_build nolvex-shortd nolvex-shortd-benchtool
shortd=$build/service/nolvex-shortd
benchtool=$(find "$build/bench" -name nolvex-shortd-benchtool -type f | head -n1)
export LINKS=$count
export USER_AGENT=${USER_AGENT:-"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"}

bench_workdir
bench_pg_workdir
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
median3() { sort -n | sed -n 2p; }
# p50_ms NAME: the median latency of the wrk run NAME, in ms.
p50_ms() {
    awk '$1 == "50%" {v=$2; if (v ~ /us$/) {sub(/us$/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms$/,"",v)}
        else if (v ~ /s$/) {sub(/s$/,"",v); v*=1000}; printf "%.2f", v}' "$work/$1.wrk"
}
# wrk_line NAME URL [SCRIPT]: wrk_run's line with the median latency after it.
wrk_line() { echo "$(wrk_run "$@") p50 $(p50_ms "$1")"; }

# The generated columns, the same SQL on both stores; i is the link's number.
alphabet=23456789abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ
code_sql="''"
for ((k = 0, power = 1; k < 8; k++, power *= 56)); do
    code_sql+=" || substr('$alphabet', CAST((i / $power) % 56 + 1 AS integer), 1)"
done
target_sql="'https://h' || (i % 1000) || '.example/articles/' || i || '?utm_source=newsletter'"
search=h123.example/
tag=spring-sale
tags_sql="CASE WHEN i % 1000 = 3 THEN '[\"$tag\"]' ELSE '[]' END"
state_sql="CASE WHEN i % 1000 = 7 THEN 1 WHEN i % 1000 = 13 THEN 2 ELSE 0 END"
columns="code, type, target, created_at, visits, visitors, state, changed_at, tags"
values="$code_sql, 0, t, 1767225600 + i * 3, (i * 7919) % 5000, (i * 7919) % 5000, $state_sql, 0"
code_of() { python3 -c 'import sys
a = "23456789abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ"; n = int(sys.argv[1]); s = ""
for _ in range(8): s += a[n % 56]; n //= 56
print(s)' "$1"; }

# The store's schema, made by the service itself; then the load. Prints "load seconds links/s".
load_sqlite() {
    sqlite3 "$work/links.sqlite" >/dev/null <<SQL
PRAGMA cache_size = -2000000;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $count)
INSERT INTO links($columns) SELECT $values, $tags_sql FROM (SELECT i, $target_sql AS t FROM n);
COMMIT;
PRAGMA wal_checkpoint(TRUNCATE);
SQL
}
size_sqlite() { stat -c %s "$work/links.sqlite"; }

pg_start() {
    pg_port=$(free_port)
    (cd "$work" && "${as_server[@]}" "$pgbin/initdb" -D "$work/pg" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
        --no-instructions >"$work/initdb.log")
    printf "listen_addresses = '127.0.0.1'\nport = %s\nunix_socket_directories = '%s'\nmax_connections = 300\n" \
        "$pg_port" "$work" >>"$work/pg/postgresql.conf"
    printf "shared_buffers = 1GB\nmax_wal_size = 8GB\nmaintenance_work_mem = 512MB\n" >>"$work/pg/postgresql.conf"
    (cd "$work" && "${as_server[@]}" "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w start >/dev/null)
    psql -d postgres -c "CREATE DATABASE links"
}
psql() { "$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$pg_port" -U postgres "$@"; }
load_postgres() {
    psql -d links -c "INSERT INTO links(target_digest, $columns)
        SELECT sha256(convert_to(t, 'UTF8')), $values, CAST($tags_sql AS jsonb)
        FROM (SELECT i, $target_sql AS t FROM generate_series(0::bigint, $count - 1) AS i) AS s"
    psql -d links -c "VACUUM ANALYZE" -c "CHECKPOINT"
}
size_postgres() { psql -d links -At -c "SELECT pg_database_size('links')"; }

start_shortd() {
    port=$(free_port)
    origin=http://127.0.0.1:$port
    # shellcheck disable=SC2086 # SHORTD_OPTIONS is split into its options
    "$shortd" --listen "127.0.0.1:$port" --database "$url" --data-dir "$work/data-$store" --rate-limit 0 \
        --host-create-limit 0 --max-connections-per-client $((connections + 16)) \
        --access-log "$work/access-$store.log" ${SHORTD_OPTIONS:-} 2>"$work/shortd-$store.err" &
    shortd_pid=$!
    pids+=("$shortd_pid")
    wait_for "$origin/healthz"
}

# api_ms PATH: one GET with the admin key; the time in ms, the body in $work/body.
api_ms() {
    curl -fsS -o "$work/body" -w '%{time_total}\n' -H "Authorization: Bearer $api_key" "$origin$1" |
        awk '{printf "%.1f\n", $1 * 1000}'
}
api_median() { for _ in 1 2 3; do api_ms "$1"; done | median3; }
next_cursor() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1])).get("next") or "")' "$work/body"; }
# command_median ARGS...: the median wall time of three runs of the service's command, in ms.
command_median() {
    for _ in 1 2 3; do
        local start
        start=$(date +%s%N)
        "$shortd" "$@" --database "$url" --data-dir "$work/data-$store" >/dev/null
        ms_since "$start"
    done | median3
}
# list_api NAME QUERY -> "NAME first_ms deep_ms page": the first page, and the page $deep_page (or
# the last, if there are fewer) reached by the cursor, that request alone.
list_api() {
    local name=$1 query=$2 first cursor="" next page=1
    first=$(api_median "/api/v1/links?limit=50&$query")
    while ((page < deep_page)); do
        api_ms "/api/v1/links?limit=50&$query${cursor:+&cursor=$cursor}" >/dev/null
        next=$(next_cursor)
        [[ -n $next ]] || break
        cursor=$next
        page=$((page + 1))
    done
    local deep=-
    [[ -n $cursor ]] && deep=$(api_median "/api/v1/links?limit=50&$query&cursor=$cursor")
    echo "$name $first $deep $page"
}

measure_store() {
    mkdir -p "$work/data-$store"
    local start
    # A first start makes the schema.
    start_shortd
    kill "$shortd_pid"
    wait "$shortd_pid" || true
    start=$(date +%s%N)
    "load_$store"
    local load_ms bytes
    load_ms=$(ms_since "$start")
    bytes=$("size_$store")
    lines+=("load $count links in $((load_ms / 1000)).$((load_ms % 1000 / 100)) s: $((count * 1000 / load_ms)) links/s")
    lines+=("size $bytes bytes: $((bytes / count)) bytes per link")

    api_key=$("$shortd" keys create --database "$url" --data-dir "$work/data-$store" --name "bench-$store" \
        --role admin 2>/dev/null)
    start_shortd
    lines+=("$(wrk_line "$store-zipf-cold" "$origin" "$root/bench/service/zipf.lua")")
    lines+=("$(wrk_line "$store-zipf" "$origin" "$root/bench/service/zipf.lua")")
    "$benchtool" requests $((duration * 20000)) "https://bench.example/$store/$(date +%s)/" >"$work/requests.lua"
    lines+=("$(REQUESTS="$work/requests.lua" wrk_line "$store-create" "$origin" "$root/bench/service/create.lua")")

    lines+=("$(list_api api-list "")")
    lines+=("$(list_api api-search "search=$search")")
    lines+=("$(list_api api-tag "tag=$tag")")
    lines+=("$(list_api api-disabled "state=disabled")")
    lines+=("cli-list-first $(command_median links list --limit 50 --format json)")
    lines+=("cli-search-first $(command_median links list --limit 50 --format json --search "$search")")
    lines+=("cli-tag-first $(command_median links list --limit 50 --format json --tag "$tag")")
    lines+=("cli-disabled-first $(command_median links list --limit 50 --format json --state disabled)")
    lines+=("cli-stats $(command_median stats)")
    lines+=("api-stats $(api_median /api/v1/stats)")

    # A link in the middle, cached by a visit, then taken down.
    local code
    code=$(code_of $((count / 2 + 1)))
    curl -fs -o /dev/null -A "$USER_AGENT" "$origin/$code"
    start=$(date +%s%N)
    "$shortd" links disable "$code" --reason bench --database "$url" --data-dir "$work/data-$store" \
        >"$work/disable.out" 2>&1
    local disabled_ms
    disabled_ms=$(ms_since "$start")
    until [[ $(curl -s -o /dev/null -w '%{http_code}' -A "$USER_AGENT" "$origin/$code") == 410 ]]; do
        sleep 0.01
    done
    lines+=("takedown $disabled_ms ms the command, $(ms_since "$start") ms until 410")
    kill "$shortd_pid"
    wait "$shortd_pid" || true
}

df -h "$work" | tail -n1 | awk '{print "free in the temporary folder before: " $4}'
for store in $stores; do
    lines=()
    case $store in
    sqlite) url=sqlite:$work/links.sqlite ;;
    postgres)
        pg_start
        url="postgresql://postgres@127.0.0.1:$pg_port/links"
        ;;
    *)
        echo "$bench_name: unknown store $store" >&2
        exit 1
        ;;
    esac
    measure_store
    printf '\n%s, %s links; wrk: %s thread(s), %s connections, %s s per run, on %s CPU(s)\n' "$store" "$count" \
        "$threads" "$connections" "$duration" "$(nproc)"
    printf '%s\n' "${lines[@]}"
    # The databases go as soon as their figures are in.
    if [[ $store == postgres ]]; then
        bench_on_exit
        rm -rf "$work/pg"
    else
        rm -f "$work/links.sqlite"*
    fi
done
printf '\nwrk lines: name, requests/s, p99 ms, non-2xx/3xx (the disabled and deleted links), socket errors, p50 ms;\n'
printf 'list lines: name, first page ms, deep page ms, the deep page number; cli and stats lines: ms\n'
