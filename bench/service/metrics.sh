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
duration=${1:-10}
connections=${2:-50}
rounds=${3:-3}
threads=${WRK_THREADS:-1}

bench_need wrk curl cmake ninja python3
bench_build nolvex-shortd nolvex-shortd-benchtool
shortd=$build/service/nolvex-shortd
benchtool=$(find "$build/bench" -name nolvex-shortd-benchtool -type f | head -n1)
bench_workdir

start_service() { # NAME [OPTION...]; sets $port
    local name=$1
    shift
    port=$(free_port)
    "$shortd" --listen "127.0.0.1:$port" --data-dir "$work/$name" --rate-limit 0 \
        --max-connections-per-client $((connections + 16)) --access-log off "$@" >/dev/null 2>"$work/$name.err" &
    pids+=($!)
    wait_for "http://127.0.0.1:$port/healthz"
}

start_service off
off_port=$port
metrics_port=$(free_port)
start_service on --metrics-listen "127.0.0.1:$metrics_port"
on_port=$port
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
