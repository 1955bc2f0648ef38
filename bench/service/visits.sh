#!/usr/bin/env bash
# Measures what telling visits apart costs: classification per user agent, the redirect with
# classification on against the same build with it off (--visit-classes off) in one run, rounds
# taken in turn, with CPU time per redirect from /proc; and memory after 1,000,000 counted visits.
#
#   bench/service/visits.sh [seconds] [connections] [rounds]    defaults: 5 s, 50 connections, 3
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_wrk_args 5 "$@"
bench_service_setup nolvex-shortd-benchvisits
benchvisits=$(find "$build/bench" -name nolvex-shortd-benchvisits -type f | head -n1)

echo "== classification"
"$benchvisits" classify

declare -A port pid code
for mode in on off; do
    shortd_start "data-$mode" --access-log off --visit-classes "$mode"
    port[$mode]=$service_port pid[$mode]=$service_pid
    code[$mode]=$(bench_link "http://127.0.0.1:${port[$mode]}")
done

# CPU seconds (user + system) a process has used so far.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"; }

export USER_AGENT="Mozilla/5.0 (Linux; Android 14; SM-S918B Build/UP1A.231005.007; wv) AppleWebKit/537.36 (KHTML, like Gecko) Version/4.0 Chrome/120.0.6099.230 Mobile Safari/537.36 [FB_IAB/FB4A;FBAV/445.0.0.34.118;]"
echo "== redirect, a phone browser's user agent (the classifier's whole pass, then the repeat filter)"
printf '%-6s %5s %12s %10s %16s\n' mode round "requests/s" "p99 ms" "CPU us/redirect"
declare -A total
for round in $(seq "$rounds"); do
    for mode in off on; do
        before=$(cpu_seconds "${pid[$mode]}")
        read -r _ rps p99 _ <<<"$(wrk_run "$mode-$round" "http://127.0.0.1:${port[$mode]}/${code[$mode]}" \
            "$root/bench/service/useragent.lua")"
        after=$(cpu_seconds "${pid[$mode]}")
        requests=$(awk '/requests in/ {print $1}' "$work/$mode-$round.wrk")
        us=$(awk -v a="$before" -v b="$after" -v n="$requests" 'BEGIN {printf "%.1f", (b - a) * 1e6 / n}')
        printf '%-6s %5s %12s %10s %16s\n' "$mode" "$round" "$rps" "$p99" "$us"
        total[$mode-rps]=$(awk -v t="${total[$mode-rps]:-0}" -v r="$rps" 'BEGIN {print t + r}')
        total[$mode-us]=$(awk -v t="${total[$mode-us]:-0}" -v r="$us" 'BEGIN {print t + r}')
    done
done
awk -v on="${total[on-rps]}" -v off="${total[off-rps]}" -v con="${total[on-us]}" -v coff="${total[off-us]}" 'BEGIN {
    printf "classification on: %.2f x the rate with it off (target >= 0.8), CPU per redirect %+.0f %% (target <= +10 %%)\n",
        on / off, (con / coff - 1) * 100
}'

echo "== memory"
"$benchvisits" memory "$work"
