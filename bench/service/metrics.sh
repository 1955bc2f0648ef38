#!/usr/bin/env bash
# What the metrics cost the redirect: wrk against one service without --metrics-listen and one
# with it (scraped once a second meanwhile, as Prometheus would), taking turns in the same run so
# that both see the same machine.
#
#   bench/service/metrics.sh [seconds] [connections] [rounds]    defaults: 10 s, 50 connections, 3
#
# Builds a Release tree in build-bench (with -DNOLVEX_BUILD_BENCH=ON). Needs wrk and curl.
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_wrk_args 10 "$@"
bench_service_setup

shortd_start off --access-log off
off_port=$service_port
metrics_port=$(free_port)
shortd_start on --access-log off --metrics-listen "127.0.0.1:$metrics_port"
on_port=$service_port
off_code=$(bench_link "http://127.0.0.1:$off_port")
on_code=$(bench_link "http://127.0.0.1:$on_port")

scrape() {
    while true; do
        curl -fs -o /dev/null "http://127.0.0.1:$metrics_port/metrics" || true
        sleep 1
    done
}

results=()
for round in $(seq "$rounds"); do
    results+=("$(wrk_run "off-$round" "http://127.0.0.1:$off_port/$off_code")")
    scrape & scraper=$!
    results+=("$(wrk_run "on-$round" "http://127.0.0.1:$on_port/$on_code")")
    kill "$scraper"
    wait "$scraper" 2>/dev/null || true
done
curl -fs "http://127.0.0.1:$metrics_port/metrics" >"$work/scrape.txt"

printf '\nwrk: %s thread(s), %s connections, %s s per run, %s rounds, on %s CPU(s)\n' \
    "$threads" "$connections" "$duration" "$rounds" "$(nproc)"
printf '%-10s %12s %10s %10s  %s\n' run "requests/s" "p99 ms" "non-2xx/3xx" "socket errors"
for line in "${results[@]}"; do
    read -r name rps p99 bad errors <<<"$line"
    printf '%-10s %12s %10s %10s  %s\n' "$name" "$rps" "$p99" "$bad" "$errors"
done
printf 'redirects the metrics counted: %s\n' \
    "$(awk '/^nolvex_shortd_requests_total\{route="redirect",status="302"\}/ {print $2}' "$work/scrape.txt")"
printf '%s\n' "${results[@]}" | awk '
    $1 ~ /^off-/ { off += $2; n++ } $1 ~ /^on-/ { on += $2 }
    END { printf "metrics on: %.0f/s against off: %.0f/s, %.3f x (target >= 0.95): %s\n", on / n, off / n,
              on / off, (on >= 0.95 * off) ? "met" : "NOT met" }'
