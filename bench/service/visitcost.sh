#!/usr/bin/env bash
# Instructions per redirect with visit classification on and off, counted by callgrind rather
# than timed: the service under callgrind follows one link N times on one kept connection (a phone
# browser's user agent), less a run that follows it once (which also builds the classifier).
#
#   bench/service/visitcost.sh [redirects]      default 5000
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
redirects=${1:-5000}

bench_need valgrind curl cmake ninja python3
bench_build nolvex-shortd nolvex-shortd-benchtool
shortd=$build/service/nolvex-shortd
benchtool=$(find "$build/bench" -name nolvex-shortd-benchtool -type f | head -n1)
bench_workdir

# Instructions the service executed from start to exit, following the link `count` times.
instructions() {
    local mode=$1 count=$2 port out pid
    port=$(free_port)
    out="$work/callgrind-$mode-$count.out"
    valgrind --tool=callgrind --callgrind-out-file="$out" "$shortd" --listen "127.0.0.1:$port" \
        --data-dir "$work/data-$mode-$count" --rate-limit 0 --access-log off --visit-classes "$mode" \
        2>"$work/valgrind-$mode-$count.err" &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 600); do curl -fs -o /dev/null "http://127.0.0.1:$port/healthz" && break; sleep 0.1; done
    local code
    code=$(bench_link "http://127.0.0.1:$port")
    /usr/bin/python3 - "$port" "$code" "$count" <<'PY'
import http.client, sys
port, code, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
agent = ("Mozilla/5.0 (Linux; Android 14; SM-S918B Build/UP1A.231005.007; wv) AppleWebKit/537.36 (KHTML, like "
         "Gecko) Version/4.0 Chrome/120.0.6099.230 Mobile Safari/537.36 [FB_IAB/FB4A;FBAV/445.0.0.34.118;]")
connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
for _ in range(count):
    connection.request("GET", "/" + code, headers={"User-Agent": agent})
    response = connection.getresponse()
    response.read()
    assert response.status == 302, response.status
PY
    kill -TERM "$pid"
    wait "$pid" || true
    awk '/^(summary|totals):/ {print $2; exit}' "$out"
}

declare -A per
for mode in off on; do
    base=$(instructions "$mode" 1)
    full=$(instructions "$mode" $((redirects + 1)))
    per[$mode]=$(( (full - base) / redirects ))
    printf '%-4s %d instructions a redirect\n' "$mode" "${per[$mode]}"
done
awk -v on="${per[on]}" -v off="${per[off]}" 'BEGIN {
    printf "classification on: %+.1f %% instructions a redirect (target <= +10 %%)\n", (on / off - 1) * 100 }'
