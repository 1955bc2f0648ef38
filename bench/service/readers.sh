#!/usr/bin/env bash
# Measures the transports the service could answer a redirect on, in interleaved rounds, with wrk
# and a desktop browser's user agent:
#   - before-redirect: an older service binary (BEFORE), when given;
#   - after-redirect: the service built from this tree, redirecting a warm link;
#   - floor-1, floor-N: a bare 302 with the same Location on the service's own transport
#     (nolvex-shortd-floor302), on one thread and on one a core;
#   - beast-1, beast-N: the same bare 302 on Boost.Beast and Asio (nolvex-shortd-beast302), when
#     Boost was found at configure.
# Prints every round, then the medians.
#
#   bench/service/readers.sh [seconds] [connections] [rounds]      defaults: 5 s, 50 connections, 3
#
#   BEFORE=/path/to/nolvex-shortd   an older service binary, measured in the same rounds
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_wrk_args 5 "$@"
bench_service_setup nolvex-shortd-floor302
# A target only when Boost was found at configure.
cmake --build "$build" --target nolvex-shortd-beast302 -- --quiet >/dev/null 2>&1 || true
export USER_AGENT=${USER_AGENT:-"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"}
cores=$(nproc)

declare -A url
services=(after)
[[ -n ${BEFORE:-} ]] && services+=(before)
for name in "${services[@]}"; do
    binary=$shortd
    [[ $name == before ]] && binary=$BEFORE
    shortd=$binary shortd_start "$name" --access-log off --host-create-limit 0
    code=$(bench_link "http://127.0.0.1:$service_port")
    url[$name-redirect]=http://127.0.0.1:$service_port/$code
done
location=$(curl -s -o /dev/null -w '%{redirect_url}' -A "$USER_AGENT" "${url[after-redirect]}")

floors=()
for kind in floor beast; do
    program=$(find "$build/bench" -name "nolvex-shortd-${kind}302" -type f | head -n1)
    [[ -n $program ]] || continue
    for n in 1 "$cores"; do
        port=$(free_port)
        "$program" "$port" "$location" "$n" & pids+=($!)
        wait_for "http://127.0.0.1:$port/"
        url[$kind-$n]=http://127.0.0.1:$port/
        floors+=("$kind-$n")
    done
done

runs=()
for name in "${services[@]}"; do runs+=("$name-redirect"); done
runs+=("${floors[@]}")
ua=$root/bench/service/useragent.lua
printf 'wrk: %s thread(s), %s connections, %s s per run, %s round(s), on %s CPU(s)\n\n' \
    "$threads" "$connections" "$duration" "$rounds" "$cores"
printf '%-5s %-18s %12s %10s %10s  %s\n' round run "requests/s" "p99 ms" "non-2xx/3xx" "socket errors"
declare -A rate p99s
for round in $(seq "$rounds"); do
    for name in "${runs[@]}"; do
        read -r _ rps p99 bad errors <<<"$(wrk_run "$name" "${url[$name]}" "$ua")"
        printf '%-5s %-18s %12s %10s %10s  %s\n' "$round" "$name" "$rps" "$p99" "$bad" "$errors"
        rate[$name]+="$rps "
        p99s[$name]+="$p99 "
    done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
printf '\nmedians of %s round(s)\n%-18s %12s %10s\n' "$rounds" run "requests/s" "p99 ms"
for name in "${runs[@]}"; do
    printf '%-18s %12s %10s\n' "$name" "$(median <<<"${rate[$name]}")" "$(median <<<"${p99s[$name]}")"
done
