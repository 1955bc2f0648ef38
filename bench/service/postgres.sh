#!/usr/bin/env bash
# Measures nolvex-shortd on PostgreSQL beside the limits of its parts, all on one throw-away
# cluster in one run:
#   - pgbench: a one-row INSERT like a create's, and a lookup by code like an uncached redirect's;
#   - the hello-world floor of the HTTP stack;
#   - create and warm redirect through one instance; redirect with the cache off;
#   - two instances on the same cluster at once;
#   - an instance's resident memory after it has read 1,000,000 distinct links.
#
#   bench/service/postgres.sh [seconds] [connections]      defaults: 10 s, 50 connections
#
# Builds a Release tree in build-bench (with -DNOLVEX_BUILD_BENCH=ON). Needs wrk, curl, python3 and
# PostgreSQL's server tools (initdb, pg_ctl, psql, pgbench). READ_LINKS sets how many links the
# memory run reads (default 1000000); DB_CONNECTIONS the instances' --database-connections (default:
# the service's own, 8). Before each measured run the cluster is vacuumed and checkpointed, so that
# no run pays for the writes of the one before.
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_wrk_args 10 "$@"
read_links=${READ_LINKS:-1000000}

bench_pgbin
bench_need "$pgbin/initdb" "$pgbin/pgbench" "$pgbin/psql"
bench_service_setup
bench_pg_workdir
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# A cluster with the server's defaults (fsync and synchronous_commit on), room for every connection.
pg_port=$(free_port)
(cd "$work" && "${as_server[@]}" "$pgbin/initdb" -D "$work/pg" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
    --no-instructions >"$work/initdb.log")
printf "listen_addresses = '127.0.0.1'\nport = %s\nunix_socket_directories = '%s'\nmax_connections = 300\n" \
    "$pg_port" "$work" >>"$work/pg/postgresql.conf"
(cd "$work" && "${as_server[@]}" "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w start >/dev/null)
psql() { "$pgbin/psql" -X -q -h 127.0.0.1 -p "$pg_port" -U postgres "$@"; }
psql -d postgres -c "CREATE DATABASE links"
url="postgresql://postgres@127.0.0.1:$pg_port/links"

# start_shortd NAME [options...]: a service instance on the cluster; sets port_NAME and pid_NAME.
start_shortd() {
    local name=$1 port
    shift
    port=$(free_port)
    # wrk's connections all come from one address: its share must hold them. Every create goes to
    # one made-up site: its hourly share of anonymous links is lifted.
    local options=(--host-create-limit 0)
    [[ -n ${DB_CONNECTIONS:-} ]] && options+=(--database-connections "$DB_CONNECTIONS")
    "$shortd" --listen "127.0.0.1:$port" --database "$url" --rate-limit 0 --data-dir "$work/data-$name" \
        --max-connections-per-client 1000 --access-log "$work/access-$name.log" "${options[@]}" "$@" \
        2>"$work/shortd-$name.err" &
    pids+=($!)
    printf -v "port_$name" '%s' "$port"
    printf -v "pid_$name" '%s' "$!"
    wait_for "http://127.0.0.1:$port/healthz"
}

# Dead rows vacuumed and dirty pages written before a run, rather than by autovacuum and the
# checkpointer in the middle of it.
settle() { psql -d links -c "VACUUM ANALYZE links" -c "CHECKPOINT"; }

# pgbench_run NAME SCRIPT -> "NAME tps average_latency_ms"
pgbench_run() {
    local out
    out=$("$pgbin/pgbench" -n -h 127.0.0.1 -p "$pg_port" -U postgres -c "$connections" -j 2 -T "$duration" \
        -M prepared -f "$2" links 2>&1)
    echo "$out" >"$work/$1.pgbench"
    echo "$1 $(awk '/^tps/ {print int($3)}' <<<"$out") $(awk '/^latency average/ {print $4}' <<<"$out")"
}

start_shortd a
# Links to read, coded like the service's codes ("r" and seven letters from the code alphabet).
psql -d links -c "INSERT INTO links(code, type, target_digest, target, created_at)
    SELECT 'r' || translate(lpad(i::text, 7, '0'), '0123456789', 'abcdefghjk'), 0,
           sha256(convert_to('https://bench.example/read/' || i, 'UTF8')), 'https://bench.example/read/' || i, 0
    FROM generate_series(1, $read_links) AS i" -c "VACUUM ANALYZE links"

cat >"$work/insert.sql" <<'EOF'
\set n random(1, 2000000000)
INSERT INTO links(code, type, target_digest, target, created_at)
VALUES ('p' || :client_id || 'x' || :n, 1, sha256(convert_to('https://bench.example/pg/' || :client_id || '/' || :n, 'UTF8')),
        'https://bench.example/pg/' || :client_id || '/' || :n, 0)
ON CONFLICT DO NOTHING;
EOF
cat >"$work/select.sql" <<EOF
\\set i random(1, $read_links)
SELECT code, type, target, created_at, visits FROM links
WHERE code = 'r' || translate(lpad(:i::text, 7, '0'), '0123456789', 'abcdefghjk');
EOF
cat >"$work/read.lua" <<EOF
-- Every request follows a different stored link: the order of the SQL above, from a random start.
local letters = "abcdefghjk"
local count = $read_links
local next_index = math.random(1, count)
local function code(i)
    return "r" .. string.format("%07d", i):gsub("%d", function(d) return letters:sub(d + 1, d + 1) end)
end
request = function()
    next_index = next_index % count + 1
    return wrk.format("GET", "/" .. code(next_index))
end
EOF

hello_port=$(free_port)
"$benchtool" hello "$hello_port" &
pids+=($!)
wait_for "http://127.0.0.1:$hello_port/hello"

code=$(bench_link "http://127.0.0.1:$port_a")
pool=$((duration * 40000))
"$benchtool" requests "$pool" "https://bench.example/one/$(date +%s)/" >"$work/requests-a.lua"
"$benchtool" requests "$pool" "https://bench.example/two-a/$(date +%s)/" >"$work/requests-2a.lua"
"$benchtool" requests "$pool" "https://bench.example/two-b/$(date +%s)/" >"$work/requests-2b.lua"

results=()
settle
results+=("$(pgbench_run pgbench-insert "$work/insert.sql")")
settle
results+=("$(pgbench_run pgbench-select "$work/select.sql")")
results+=("$(wrk_run floor "http://127.0.0.1:$hello_port/hello")")
settle
results+=("$(REQUESTS="$work/requests-a.lua" wrk_run create "http://127.0.0.1:$port_a" "$root/bench/service/create.lua")")
settle
results+=("$(wrk_run redirect-warm "http://127.0.0.1:$port_a/$code")")

start_shortd nocache --cache-size 0
settle
results+=("$(wrk_run redirect-nocache "http://127.0.0.1:$port_nocache" "$work/read.lua")")
kill "$pid_nocache"

# Two instances at once, each with its own wrk and the full connection count.
start_shortd b
wrk_pair() {
    local name=$1 script_a=$2 script_b=$3 url_a=$4 url_b=$5
    REQUESTS=$work/requests-2a.lua wrk_run "$name-a" "$url_a" "$script_a" >"$work/$name-a.line" &
    local first=$!
    REQUESTS=$work/requests-2b.lua wrk_run "$name-b" "$url_b" "$script_b" >"$work/$name-b.line"
    wait "$first"
    cat "$work/$name-a.line" "$work/$name-b.line"
}
settle
mapfile -t pair < <(wrk_pair two-create "$root/bench/service/create.lua" "$root/bench/service/create.lua" \
    "http://127.0.0.1:$port_a" "http://127.0.0.1:$port_b")
results+=("${pair[@]}")
settle
mapfile -t pair < <(wrk_pair two-redirect "" "" "http://127.0.0.1:$port_a/$code" "http://127.0.0.1:$port_b/$code")
results+=("${pair[@]}")

# Memory: a fresh instance reads every link once, with the default cache and with none; the
# difference is what the cache holds. "NAME start_kib end_kib requests"
read_all() {
    local name=$1
    shift
    settle
    start_shortd "$name" "$@"
    local pid_var=pid_$name port_var=port_$name
    local start_kib
    start_kib=$(rss_kib "${!pid_var}")
    # wrk runs for its whole duration, so it is stopped once the access log shows every link read.
    wrk -t 1 -c "$connections" -d 900s -s "$work/read.lua" "http://127.0.0.1:${!port_var}" >"$work/$name.wrk" &
    local wrk_pid=$!
    while (($(wc -l <"$work/access-$name.log") < read_links)) && kill -0 "$wrk_pid" 2>/dev/null; do
        sleep 1
    done
    kill -INT "$wrk_pid" 2>/dev/null || true
    wait "$wrk_pid" || true
    echo "$name $start_kib $(rss_kib "${!pid_var}") $(wc -l <"$work/access-$name.log")"
    kill "${!pid_var}"
}
read_all memory >"$work/memory.line"
read_all memory_nocache --cache-size 0 >"$work/memory_nocache.line"
mapfile -t memory < <(cat "$work/memory.line" "$work/memory_nocache.line")

printf '\nOn %s CPU(s); wrk: %s thread(s), %s connections, %s s per run; pgbench: %s clients, 2 threads\n' \
    "$(nproc)" "$threads" "$connections" "$duration" "$connections"
printf '%-20s %12s %10s %10s  %s\n' run "per second" "p99 ms" "non-2xx/3xx" "socket errors (pgbench: mean latency ms)"
for line in "${results[@]}"; do
    read -r name rps p99 bad errors <<<"$line"
    printf '%-20s %12s %10s %10s  %s\n' "$name" "$rps" "${p99:-}" "${bad:-}" "${errors:-}"
done
created=$(grep -c '"GET /index.php/Index/weburl_zip?.* HTTP/1.1" 200 ' "$work/access-a.log" || true)
printf 'links created through instance a (HTTP 200 in its access log): %s\n' "$created"
for line in "${memory[@]}"; do
    read -r name start_kib end_kib requests <<<"$line"
    printf '%s: VmRSS %s KiB after start, %s KiB after %s requests over %s distinct links\n' "$name" "$start_kib" \
        "$end_kib" "$requests" "$read_links"
done

field() { awk -v n="$1" -v f="$2" '$1 == n {print $f}' <<<"$(printf '%s\n' "${results[@]}")"; }
awk -v ins="$(field pgbench-insert 2)" -v sel="$(field pgbench-select 2)" -v floor="$(field floor 2)" \
    -v crps="$(field create 2)" -v cp99="$(field create 3)" -v rrps="$(field redirect-warm 2)" \
    -v rp99="$(field redirect-warm 3)" -v nrps="$(field redirect-nocache 2)" 'BEGIN {
    printf "create: %.0f/s = %.2f x pgbench insert (target >= 0.5), p99 %.2f ms (target < 20): %s\n", crps,
        crps / ins, cp99, (crps >= 0.5 * ins && cp99 < 20) ? "met" : "NOT met"
    printf "warm redirect: %.2f x the floor (target >= 0.8), p99 %.2f ms (target < 5): %s\n", rrps / floor, rp99,
        (rrps >= 0.8 * floor && rp99 < 5) ? "met" : "NOT met"
    printf "redirect, cache off: %.0f/s = %.2f x pgbench select\n", nrps, nrps / sel
}'
