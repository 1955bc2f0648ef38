#!/usr/bin/env bash
# Builds the benchmarks in build-bench/ (optimised) and prints their figures.
set -euo pipefail
source "$(dirname "$0")/../scripts/setup.sh"
cd "$NOLVEX_ROOT"
nolvex_install_packages "${NOLVEX_PACKAGES[@]}" wrk curl python3 strace time postgresql-15 postgresql-client-15
nolvex_build build-bench -DCMAKE_BUILD_TYPE=Release -DNOLVEX_BUILD_BENCH=ON -DBUILD_TESTING=OFF

echo "== MD5: Md5Hex against OpenSSL"
./build-bench/bench/bench_md5

echo "== start-up: first frame and resident memory, client against a minimal Qt Widgets window (median of 11)"
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for mode in floor floor-cjk client; do
    case $mode in
    floor) flag=--floor ;;
    floor-cjk) flag="--floor --cjk" ;; # the floor drawing one line of Chinese text
    client) flag= ;;
    esac
    frames=() rss=()
    for _ in $(seq 11); do
        # shellcheck disable=SC2086
        out=$(xvfb-run -a -s "-screen 0 1024x768x24" ./build-bench/bench/bench_startup $flag 2>/dev/null)
        frames+=("$(sed -n 's/first frame: \(.*\) ms/\1/p' <<<"$out")")
        rss+=("$(sed -n 's/^resident: \(.*\) KiB/\1/p' <<<"$out")")
    done
    printf '%-9s first frame %s ms, resident %s KiB\n' "$mode" \
        "$(printf '%s\n' "${frames[@]}" | median)" "$(printf '%s\n' "${rss[@]}" | median)"
done

if [[ -x bench/service/run.sh ]]; then
    echo "== service"
    bench/service/run.sh
    echo "== service on PostgreSQL"
    bench/service/postgres.sh
fi

if [[ -x /usr/bin/chromedriver ]]; then
    echo "== web pages: cold load weight and first paint in headless Chromium (median of 7)"
    /usr/bin/python3 bench/web/pages.py --shortd build-bench/service/nolvex-shortd
fi

echo "== terminal client"
bench/cli/run.sh

echo "== terminal client against servers that never stop sending: peak resident memory"
./build-bench/bench/bench_endless
