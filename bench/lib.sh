# What the benchmark scripts share; sourced by them after `set -euo pipefail`, never run alone.
#
#   bench_need TOOL...          stops with a message unless every tool is on the PATH
#   bench_build TARGET...       a Release tree in $build (BENCH_BUILD_DIR, default build-bench, with
#                               -DNOLVEX_BUILD_BENCH=ON) with the targets built
#   bench_workdir               $work, a temporary folder; at exit every process in $pids is ended,
#                               bench_on_exit (if the script defines it) runs, and $work goes
#   free_port                   a free loopback port
#   wait_for URL                waits up to 10 s for URL to answer
#   bench_link ORIGIN           makes one link through the service at ORIGIN ($benchtool signs the
#                               request) and prints its code
#   wrk_run NAME URL [SCRIPT]   one wrk run ($threads, $connections, $duration); prints
#                               "NAME requests/s p99_ms non-2xx/3xx socket-errors", keeps wrk's output
#                               in $work/NAME.wrk
#
# The service's wrk scripts start the same way:
#   bench_wrk_args SECONDS "$@"   $duration, $connections and $rounds from the script's first three
#                               arguments (defaults SECONDS, 50 and 3), $threads from WRK_THREADS (1)
#   bench_service_setup [TARGET...]
#                               needs wrk, curl, cmake, ninja and python3; builds nolvex-shortd, its
#                               bench tool and TARGET...; sets $shortd and $benchtool; makes $work
#   shortd_start NAME [OPTION...]
#                               starts $shortd on a free loopback port with --data-dir $work/NAME, no
#                               rate limit, a per-client share that holds wrk's connections and
#                               OPTION...; stderr in $work/NAME.err; waits for /healthz; sets
#                               $service_port and $service_pid (also added to $pids);
#                               `shortd=BINARY shortd_start ...` starts another binary

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
bench_name=$(basename "$0")
pids=()

bench_need() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$bench_name: $tool is needed" >&2; exit 1; }
    done
}

bench_build() {
    if [[ ! -f $build/build.ninja ]]; then
        cmake -S "$root" -B "$build" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release -DNOLVEX_BUILD_BENCH=ON \
            -DBUILD_TESTING=OFF >/dev/null
    fi
    cmake --build "$build" --target "$@" -- --quiet
}

bench_cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if declare -F bench_on_exit >/dev/null; then bench_on_exit; fi
    rm -rf "$work"
}

bench_workdir() {
    work=$(mktemp -d)
    trap bench_cleanup EXIT
    trap 'exit 1' INT TERM
}

# pgbin: the newest installed PostgreSQL's server tools.
bench_pgbin() {
    pgbin=$(dirname "$(readlink -f "$(command -v pg_ctl 2>/dev/null || ls -d /usr/lib/postgresql/*/bin/pg_ctl | sort -V | tail -n1)")")
}

# After bench_workdir: the server may write the work folder (as its own user when this runs as
# root, through as_server), and the throw-away cluster in $work/pg is stopped on exit.
bench_pg_workdir() {
    chmod 755 "$work"
    as_server=()
    if ((EUID == 0)); then
        chown postgres: "$work"
        as_server=(runuser -u postgres --)
    fi
    bench_on_exit() { "${as_server[@]}" "$pgbin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1 || true; }
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

wait_for() {
    for _ in $(seq 200); do
        curl -fs -o /dev/null "$1" && return 0
        sleep 0.05
    done
    echo "$bench_name: $1 never answered" >&2
    exit 1
}

bench_link() {
    local target link
    target=$("$benchtool" requests 1 "https://bench.example/redirect/" | sed -n 's/^"\(.*\)",$/\1/p')
    link=$(curl -fs "$1$target" | sed -n 's/.*"info":"\([^"]*\)".*/\1/p')
    [[ -n $link ]] || { echo "$bench_name: could not create the link to follow" >&2; exit 1; }
    echo "${link##*/}"
}

wrk_run() {
    local name=$1 url=$2 script=${3:-}
    local args=(-t "$threads" -c "$connections" -d "${duration}s" --latency)
    [[ -n $script ]] && args+=(-s "$script")
    local out
    out=$(wrk "${args[@]}" "$url")
    echo "$out" >"$work/$name.wrk"
    local rps p99 bad errors
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us$/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms$/,"",v)} else if (v ~ /s$/) {sub(/s$/,"",v); v*=1000}; printf "%.2f", v}' <<<"$out")
    bad=$(awk '/Non-2xx or 3xx responses:/ {print $5}' <<<"$out")
    errors=$(awk '/Socket errors:/ {print $0}' <<<"$out")
    echo "$name ${rps:-0} ${p99:-0} ${bad:-0} ${errors:-none}"
}

bench_wrk_args() {
    duration=${2:-$1}
    connections=${3:-50}
    rounds=${4:-3}
    threads=${WRK_THREADS:-1}
}

bench_service_setup() {
    bench_need wrk curl cmake ninja python3
    bench_build nolvex-shortd nolvex-shortd-benchtool "$@"
    shortd=$build/service/nolvex-shortd
    benchtool=$(find "$build/bench" -name nolvex-shortd-benchtool -type f | head -n1)
    bench_workdir
}

shortd_start() {
    local name=$1
    shift
    service_port=$(free_port)
    # wrk's connections all come from one address: the per-client share is raised to hold them.
    "$shortd" --listen "127.0.0.1:$service_port" --data-dir "$work/$name" --rate-limit 0 \
        --max-connections-per-client $((connections + 16)) "$@" >/dev/null 2>"$work/$name.err" &
    service_pid=$!
    pids+=("$service_pid")
    wait_for "http://127.0.0.1:$service_port/healthz"
}
