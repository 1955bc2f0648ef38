#!/usr/bin/env bash
# Measures the JSON API beside the client's protocol, in one run on one SQLite instance:
#   - create: the protocol's signed GET (a new address each) against POST /api/v1/links with a
#     creator's key (a new address each, so each makes a link);
#   - read: the redirect of a warm link against GET /api/v1/links/{code} of the same link.
# Target: the API at least 0.8 x the protocol for both.
#
#   bench/service/api.sh [seconds] [connections]      defaults: 10 s, 50 connections
#
# Builds a Release tree in build-bench like run.sh. Needs wrk, curl and python3.
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_wrk_args 10 "$@"
bench_service_setup

# Every create goes to one made-up site: its hourly share of anonymous links is lifted. The service
# makes its database when it starts; the key goes into it afterwards.
shortd_start data --access-log "$work/access.log" --host-create-limit 0
origin=http://127.0.0.1:$service_port
API_KEY=$("$shortd" keys create --data-dir "$work/data" --name bench --role creator 2>/dev/null)
export API_KEY

code=$(bench_link "$origin")
"$benchtool" requests $((duration * 40000)) "https://bench.example/$(date +%s)/" >"$work/requests.lua"

results=()
results+=("$(wrk_run redirect "$origin/$code")")
results+=("$(wrk_run api-read "$origin/api/v1/links/$code" "$root/bench/service/api-read.lua")")
results+=("$(REQUESTS="$work/requests.lua" wrk_run create "$origin" "$root/bench/service/create.lua")")
results+=("$(wrk_run api-create "$origin" "$root/bench/service/api-create.lua")")

printf '\nwrk: %s thread(s), %s connections, %s s per run, on %s CPU(s)\n' "$threads" "$connections" "$duration" "$(nproc)"
printf '%-12s %12s %10s %10s  %s\n' run "requests/s" "p99 ms" "non-2xx/3xx" "socket errors"
for line in "${results[@]}"; do
    read -r name rps p99 bad errors <<<"$line"
    printf '%-12s %12s %10s %10s  %s\n' "$name" "$rps" "$p99" "$bad" "$errors"
done
printf 'links created through the API (HTTP 201 in the access log): %s\n' \
    "$(grep -c '"POST /api/v1/links HTTP/1.1" 201 ' "$work/access.log" || true)"
for pair in "1 0 read" "3 2 create"; do
    read -r api protocol label <<<"$pair"
    awk -v api="$(awk '{print $2}' <<<"${results[$api]}")" -v protocol="$(awk '{print $2}' <<<"${results[$protocol]}")" \
        -v label="$label" 'BEGIN {
        printf "API %s: %.2f x the protocol (target >= 0.8): %s\n", label, api / protocol, (api >= 0.8 * protocol) ? "met" : "NOT met"
    }'
done
