#!/usr/bin/env bash
# Measures nolvex-shorten against a local nolvex-shortd with the rate limit off:
#   - rows per second for N distinct addresses with -j 16, beside wrk's create rate on the same
#     service with as many connections (16), measured in the same run;
#   - peak resident memory while 1,000,000 lines stream through standard input;
#   - time from the first reply read off the socket to the first row written (strace time stamps).
#
#   bench/cli/run.sh [addresses] [stream lines]      defaults: 100000, 1000000
#   NOLVEX_SHORTEN=PATH bench/cli/run.sh              another build of the client (one from before a
#                                                     change, say) against this tree's service
#
# Builds a Release tree in build-bench (with -DNOLVEX_BUILD_BENCH=ON). Needs wrk, curl, strace and
# GNU time.
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
addresses=${1:-100000}
stream=${2:-1000000}
jobs=16

bench_need wrk curl strace /usr/bin/time cmake ninja python3
bench_build nolvex-shortd nolvex-shorten nolvex-shortd-benchtool
shortd=$build/service/nolvex-shortd
client=${NOLVEX_SHORTEN:-$build/cli/nolvex-shorten}
benchtool=$(find "$build/bench" -name nolvex-shortd-benchtool -type f | head -n1)
bench_workdir

port=$(free_port)
"$shortd" --listen "127.0.0.1:$port" --data-dir "$work/data" --rate-limit 0 --access-log off \
    2>"$work/shortd.err" & pids+=($!)
wait_for "http://127.0.0.1:$port/healthz"
origin=http://127.0.0.1:$port
run=$(date +%s%N)

# wrk: every request a new link for 10 s, with 16 connections, and with the 6 that Qt 6.4's network
# access manager opens to one host at most.
"$benchtool" requests 200000 "https://wrk16.bench.example/$run/" >"$work/requests16.lua"
"$benchtool" requests 200000 "https://wrk6.bench.example/$run/" >"$work/requests6.lua"
wrk_rate() {
    REQUESTS="$work/requests$1.lua" wrk -t 1 -c "$1" -d 10s -s "$root/bench/service/create.lua" "$origin" |
        awk '/^Requests\/sec:/ {print $2}'
}
wrk_rps=$(wrk_rate "$jobs")
wrk6_rps=$(wrk_rate 6)

# The client: distinct addresses, each a new link.
seq 1 "$addresses" | sed "s|^|https://cli.bench.example/$run/page/|" >"$work/distinct.txt"
/usr/bin/time -f '%e %M' -o "$work/distinct.time" \
    "$client" -q -j "$jobs" -f tsv --shorten-host "$origin" -i "$work/distinct.txt" >"$work/distinct.out"
read -r seconds distinct_rss <"$work/distinct.time"
rows=$(wc -l <"$work/distinct.out")
failed=$(awk -F '\t' '$2 == ""' "$work/distinct.out" | wc -l)
in_order=$(cut -f1 "$work/distinct.out" | cmp -s - "$work/distinct.txt" && echo yes || echo NO)

# Streaming: the distinct addresses over and over through a pipe (the service answers each with the
# link it already has), counted at the other end of a pipe.
python3 -c "
import sys
lines = open('$work/distinct.txt').read().splitlines()
out = sys.stdout
for i in range($stream):
    out.write(lines[i % len(lines)] + '\n')
" >"$work/stream.txt"
/usr/bin/time -f '%e %M' -o "$work/stream.time" \
    "$client" -q -j "$jobs" -f text --shorten-host "$origin" -i - <"$work/stream.txt" | wc -l >"$work/stream.rows"
read -r stream_seconds stream_rss <"$work/stream.time"

# First row: 1,000 new addresses under strace; the first read of a reply's status line off a socket
# (in one block, or a byte at a time where Qt's network access manager reads it), then the first
# write to standard output.
seq 1 1000 | sed "s|^|https://first.bench.example/$run/|" >"$work/first.txt"
strace -f -tt -e trace=read,recvfrom,write -s 12 -o "$work/first.trace" \
    "$client" -q -j "$jobs" -f text --shorten-host "$origin" -i "$work/first.txt" >/dev/null
first_row_ms=$(awk '
    function seconds(t,  p) { split(t, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
    !reply && /(read\([0-9]+, |resumed>)"H(", 1\)|TTP\/1)/ { reply = seconds($2) }
    reply && !row && /write\(1, / { row = seconds($2) }
    END { printf "%.2f", (row - reply) * 1000 }' "$work/first.trace")

# And without strace: from starting the program to its first row, a run of fresh addresses.
seq 1 1000 | sed "s|^|https://start.bench.example/$run/|" >"$work/start.txt"
start_ms=$(python3 - "$client" "$origin" "$work/start.txt" <<'PY'
import subprocess, sys, time
client, origin, path = sys.argv[1:4]
began = time.monotonic()
p = subprocess.Popen([client, "-q", "-j", "16", "-f", "text", "--shorten-host", origin, "-i", path],
                     stdout=subprocess.PIPE)
p.stdout.readline()
print("%.1f" % ((time.monotonic() - began) * 1000))
p.stdout.read()
p.wait()
PY
)

printf '\nnolvex-shorten against nolvex-shortd on %s CPU(s), -j %s\n' "$(nproc)" "$jobs"
printf 'wrk create, %s connections:          %10.0f requests/s\n' "$jobs" "$wrk_rps"
printf 'wrk create, 6 connections:           %10.0f requests/s\n' "$wrk6_rps"
printf 'client, %s distinct addresses:   %10.0f rows/s (%s s, %s rows, %s failed, in order: %s, peak RSS %s KiB)\n' \
    "$addresses" "$(awk -v r="$rows" -v s="$seconds" 'BEGIN {print r / s}')" "$seconds" "$rows" "$failed" \
    "$in_order" "$distinct_rss"
printf 'streaming %s lines through a pipe: %s rows in %s s, peak RSS %s KiB\n' "$stream" "$(cat "$work/stream.rows")" \
    "$stream_seconds" "$stream_rss"
printf 'first row written %s ms after the first reply was read (under strace); %s ms after start\n' \
    "$first_row_ms" "$start_ms"
awk -v rows="$rows" -v s="$seconds" -v wrk="$wrk_rps" -v rss="$stream_rss" -v first="$first_row_ms" 'BEGIN {
    rate = rows / s
    printf "rows/s: %.2f x wrk (target >= 0.7): %s\n", rate / wrk, (rate >= 0.7 * wrk ? "met" : "NOT met")
    printf "peak RSS streaming: %.1f MB (target < 64): %s\n", rss / 1024, (rss < 64 * 1024 ? "met" : "NOT met")
    printf "first row: %.2f ms after the first reply (target < 100): %s\n", first, (first < 100 ? "met" : "NOT met")
}'
