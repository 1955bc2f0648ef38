#!/usr/bin/env bash
# Counts the instructions nolvex-shortd spends on one redirect, with callgrind: the service runs
# under valgrind, a link is made and followed a few hundred times to warm up, then in each round
# the counters are zeroed, N redirects are sent one after another on one keep-alive connection and
# the counters dumped. Every thread of the service counts (the event loop, the store workers, the
# batched visit writes); the client runs outside valgrind.
#
#   bench/service/callgrind.sh [requests] [rounds]      defaults 5000 and 3; prints each round and the median
#
# Builds a Release tree in build-bench (with -DNOLVEX_BUILD_BENCH=ON); SHORTD=path measures another
# build of the service (say, an older commit's) with this tree's request signer. The access log is
# off, so the figure is the request's own work. CALLGRIND_KEEP=folder keeps the dumps there, for
# callgrind_annotate. Needs valgrind (callgrind_control) and python3.
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
requests=${1:-5000}
rounds=${2:-3}

bench_need valgrind callgrind_control cmake ninja python3 curl
bench_build nolvex-shortd nolvex-shortd-benchtool
shortd=${SHORTD:-$build/service/nolvex-shortd}
benchtool=$(find "$build/bench" -name nolvex-shortd-benchtool -type f | head -n1)
bench_workdir

# Slow to start under valgrind: up to a minute, rather than wait_for's ten seconds. A port taken
# between choosing it and listening on it ends the service; it starts again on another.
started=
for attempt in 1 2 3; do
    port=$(free_port)
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
        "$shortd" --listen "127.0.0.1:$port" --data-dir "$work/data" --rate-limit 0 --access-log off \
        2>"$work/valgrind.err" & pids+=($!)
    service_pid=$!
    for _ in $(seq 600); do
        curl -fs -o /dev/null "http://127.0.0.1:$port/healthz" && { started=1; break; }
        kill -0 "$service_pid" 2>/dev/null || break
        sleep 0.1
    done
    [[ -n $started ]] && break
    echo "$bench_name: the service did not start (attempt $attempt):" >&2
    grep -v '^==' "$work/valgrind.err" | tail -n 5 >&2
    kill "$service_pid" 2>/dev/null || true
done
[[ -n $started ]] || exit 1
code=$(bench_link "http://127.0.0.1:$port")

follow() {
    python3 - "$port" "$code" "$1" <<'EOF'
import http.client, sys
port, code, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
for _ in range(count):
    connection.request("GET", "/" + code)
    reply = connection.getresponse()
    reply.read()
    if reply.status != 302:
        sys.exit(f"the redirect answered {reply.status}")
EOF
}

follow 300
# Rounds on the same warm service; each dump holds what was counted since the round began.
for round in $(seq "$rounds"); do
    callgrind_control --zero "$service_pid" >/dev/null 2>&1
    follow "$requests"
    callgrind_control --dump "$service_pid" >/dev/null 2>&1
    dump="$work/callgrind.out.$round"
    for _ in $(seq 100); do [[ -s $dump ]] && grep -q '^totals:' "$dump" && break; sleep 0.1; done
    [[ -s $dump ]] || { echo "$bench_name: no callgrind dump for round $round" >&2; exit 1; }
done

if [[ -n ${CALLGRIND_KEEP:-} ]]; then
    mkdir -p "$CALLGRIND_KEEP"
    cp "$work"/callgrind.out.* "$CALLGRIND_KEEP"/
fi
printf 'service: %s\n' "$shortd"
for round in $(seq "$rounds"); do
    awk -v n="$requests" -v round="$round" '/^totals:/ {
        printf "round %s: %s redirects, %s instructions, %.0f per redirect\n", round, n, $2, $2 / n }' \
        "$work/callgrind.out.$round"
done | tee "$work/rounds"
awk '{print $(NF - 2)}' "$work/rounds" | sort -n |
    awk '{v[NR] = $1} END {printf "median instructions per redirect: %.0f\n", v[int((NR + 1) / 2)]}'
