#!/usr/bin/env bash
# The redirect of a warm link with 1,000,000 blocklist entries loaded against none: two services
# side by side, measured in interleaved rounds, the median of each. Also prints the resident
# memory of each service after the runs.
#
#   bench/service/blocklists.sh [seconds] [connections] [rounds] [entries]
#                                               defaults: 5 s, 50 connections, 3 rounds, 1000000
#
# Builds a Release tree in build-bench (with -DNOLVEX_BUILD_BENCH=ON). Needs wrk, curl and python3.
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_wrk_args 5 "$@"
entries=${4:-1000000}
bench_service_setup

# A feed of every shape a list reads: addresses, hosts-file lines, bare hosts and ranges.
python3 - "$entries" >"$work/feed.txt" <<'PY'
import sys
n = int(sys.argv[1])
for i in range(n):
    k = i % 10
    if k < 4:
        print(f"https://phish{i}.example/login/{i}")
    elif k < 6:
        print(f"0.0.0.0 ads{i}.example")
    elif k < 9:
        print(f"malware{i}.example")
    else:
        print(f"10.{(i >> 16) & 255}.{(i >> 8) & 255}.{i & 255}/32 ; R{i}")
PY

# A desktop browser's user agent, so that every request counts as a person's visit.
export USER_AGENT=${USER_AGENT:-"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"}

shortd_start plain
plain_port=$service_port plain_pid=$service_pid
shortd_start listed --blocklist "bench=$work/feed.txt"
listed_port=$service_port listed_pid=$service_pid
plain_code=$(bench_link "http://127.0.0.1:$plain_port")
listed_code=$(bench_link "http://127.0.0.1:$listed_port")

plain=()
listed=()
for _ in $(seq "$rounds"); do
    plain+=("$(wrk_run plain "http://127.0.0.1:$plain_port/$plain_code" "$root/bench/service/useragent.lua")")
    listed+=("$(wrk_run listed "http://127.0.0.1:$listed_port/$listed_code" "$root/bench/service/useragent.lua")")
done
median() { printf '%s\n' "$@" | awk '{print $2}' | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
rss() { awk '/^VmRSS:/ {printf "%.0f", $2 / 1024}' "/proc/$1/status"; }

printf '\nwrk: %s thread(s), %s connections, %s s per run, %s rounds, on %s CPU(s); %s entries\n' \
    "$threads" "$connections" "$duration" "$rounds" "$(nproc)" "$entries"
printf 'rounds without lists: %s\n' "$(printf '%s ' "${plain[@]}" | awk '{for (i = 2; i <= NF; i += 5) printf "%s ", $i}')"
printf 'rounds with lists:    %s\n' "$(printf '%s ' "${listed[@]}" | awk '{for (i = 2; i <= NF; i += 5) printf "%s ", $i}')"
awk -v a="$(median "${plain[@]}")" -v b="$(median "${listed[@]}")" -v ra="$(rss "$plain_pid")" \
    -v rb="$(rss "$listed_pid")" 'BEGIN {
    printf "redirect, median: %.0f/s without lists, %.0f/s with them: %.3f x (target >= 0.95): %s\n", a, b, b / a,
        (b >= 0.95 * a) ? "met" : "NOT met"
    printf "resident memory: %s MB without lists, %s MB with them\n", ra, rb
}'
