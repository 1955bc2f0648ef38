#!/usr/bin/env bash
# Measures nolvex-shortd with wrk: the redirect and the create endpoints, each beside a hello-world
# route of the same HTTP stack (Qt HttpServer) measured in the same run, the floor.
#
#   bench/service/run.sh [seconds] [connections]      defaults: 10 s, 50 connections
#
# Builds a Release tree in build-bench (with -DNOLVEX_BUILD_BENCH=ON). Needs wrk and curl.
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_wrk_args 10 "$@"
bench_service_setup

hello_port=$(free_port)
"$benchtool" hello "$hello_port" & pids+=($!)
wait_for "http://127.0.0.1:$hello_port/hello"
# Every create goes to one made-up site: its hourly share of anonymous links is lifted.
shortd_start data --access-log "$work/access.log" --host-create-limit 0

# One link to follow, and enough signed requests that every create in the run makes a new link.
code=$(bench_link "http://127.0.0.1:$service_port")
pool=$((duration * 40000))
"$benchtool" requests "$pool" "https://bench.example/$(date +%s)/" >"$work/requests.lua"

results=()
results+=("$(wrk_run floor-redirect "http://127.0.0.1:$hello_port/hello")")
results+=("$(wrk_run redirect "http://127.0.0.1:$service_port/$code")")
results+=("$(wrk_run floor-create "http://127.0.0.1:$hello_port/hello")")
results+=("$(REQUESTS="$work/requests.lua" wrk_run create "http://127.0.0.1:$service_port" "$root/bench/service/create.lua")")
# QR codes of the warm link, beside the redirect of the same link above.
results+=("$(wrk_run qr-svg "http://127.0.0.1:$service_port/$code.svg")")
results+=("$(wrk_run qr-png-256 "http://127.0.0.1:$service_port/$code.png")")
results+=("$(wrk_run qr-png-1024 "http://127.0.0.1:$service_port/$code.png?size=1024")")

links=$(grep -c '"GET /index.php/Index/weburl_zip?.* HTTP/1.1" 200 ' "$work/access.log" || true)

printf '\nwrk: %s thread(s), %s connections, %s s per run, on %s CPU(s)\n' "$threads" "$connections" "$duration" "$(nproc)"
printf '%-16s %12s %10s %10s  %s\n' run "requests/s" "p99 ms" "non-2xx/3xx" "socket errors"
for line in "${results[@]}"; do
    read -r name rps p99 bad errors <<<"$line"
    printf '%-16s %12s %10s %10s  %s\n' "$name" "$rps" "$p99" "$bad" "$errors"
done
printf 'links created in the create run (HTTP 200 in the access log): %s of a pool of %s\n' "$links" "$pool"

awk -v floor="$(awk '{print $2}' <<<"${results[0]}")" -v rps="$(awk '{print $2}' <<<"${results[1]}")" \
    -v p99="$(awk '{print $3}' <<<"${results[1]}")" \
    -v crps="$(awk '{print $2}' <<<"${results[3]}")" -v cp99="$(awk '{print $3}' <<<"${results[3]}")" 'BEGIN {
    printf "redirect: %.2f x the floor (target >= 0.5), p99 %.2f ms (target < 5): %s\n", rps / floor, p99,
        (rps >= 0.5 * floor && p99 < 5) ? "met" : "NOT met"
    printf "create: %.0f/s (target >= 5000), p99 %.2f ms (target < 20): %s\n", crps, cp99,
        (crps >= 5000 && cp99 < 20) ? "met" : "NOT met"
}'
for i in 4 5 6; do
    awk -v redirect="$(awk '{print $2}' <<<"${results[1]}")" -v name="$(awk '{print $1}' <<<"${results[$i]}")" \
        -v rps="$(awk '{print $2}' <<<"${results[$i]}")" \
        'BEGIN { printf "%s: %.0f/s, %.2f x the redirect\n", name, rps, rps / redirect }'
done
