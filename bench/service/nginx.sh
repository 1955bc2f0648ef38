#!/usr/bin/env bash
# Measures the service's redirect against what this machine can do: nginx answering a bare
# `return 302` to the same address, one worker per core, no access log, driven by the same wrk.
# Rounds interleave nginx with each service's runs, so that a busy moment on the machine falls on
# all of them:
#   - nginx, `return 302` with the Location the service sends for the link below;
#   - redirect: the service's redirect of a warm link, with a desktop browser's user agent so that
#     every request counts as a person's visit (nginx gets the same header);
#   - api-read: GET /api/v1/links/{code} of the same link with a creator's key;
#   - create: the client protocol's signed GET, a new address every request (as run.sh).
# Prints every round, then the medians, the ratios redirect/nginx and api-read/redirect, and the
# service's resident memory (VmRSS, VmHWM) after the runs.
#
#   bench/service/nginx.sh [seconds] [connections] [rounds]      defaults: 10 s, 50 connections, 3
#
#   BEFORE=/path/to/nolvex-shortd   a second service binary, measured in the same rounds ("before")
#   SHORTD_ARGS="--option value"     more options for the service built from this tree ("after")
#   VARIANT_ARGS="--option value"    a third service in the same rounds ("variant"): the tree's binary
#                                    with SHORTD_ARGS and these options
#   WRK_THREADS                      wrk's threads (default 1)
#
# Builds a Release tree in build-bench like run.sh. Needs wrk, curl, python3 and nginx (installs
# nginx-light with apt-get when it is missing and this runs as root).
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
bench_wrk_args 10 "$@"

if ! command -v nginx >/dev/null && [[ -x /usr/sbin/nginx ]]; then PATH=$PATH:/usr/sbin; fi
if ! command -v nginx >/dev/null && ((EUID == 0)); then
    echo "$bench_name: installing nginx-light" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q nginx-light >/dev/null
fi
bench_need nginx
bench_service_setup
if [[ -n ${BEFORE:-} && ! -x $BEFORE ]]; then
    echo "$bench_name: BEFORE=$BEFORE is not an executable" >&2
    exit 1
fi

export USER_AGENT=${USER_AGENT:-"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"}

# Each service: its own data, a creator's key for the API read, and one warm link.
services=(after)
[[ -n ${VARIANT_ARGS:-} ]] && services+=(variant)
[[ -n ${BEFORE:-} ]] && services+=(before)
declare -A binary origin key code pid_of
binary[after]=$shortd
binary[variant]=$shortd
binary[before]=${BEFORE:-}
for name in "${services[@]}"; do
    # Every create goes to one made-up site: its hourly share of anonymous links is lifted.
    extra=(--access-log off --host-create-limit 0)
    # shellcheck disable=SC2206 # lists of options
    case $name in
    after) extra+=(${SHORTD_ARGS:-}) ;;
    variant) extra+=(${SHORTD_ARGS:-} ${VARIANT_ARGS}) ;;
    esac
    shortd=${binary[$name]} shortd_start "$name" "${extra[@]}"
    # The service makes its database when it starts; the key goes into it afterwards.
    key[$name]=$("${binary[$name]}" keys create --data-dir "$work/$name" --name bench --role creator 2>"$work/key.err") ||
        { cat "$work/key.err" >&2; exit 1; }
    origin[$name]=http://127.0.0.1:$service_port
    pid_of[$name]=$service_pid
    code[$name]=$(bench_link "${origin[$name]}")
    for _ in 1 2 3; do curl -fs -o /dev/null -A "$USER_AGENT" "${origin[$name]}/${code[$name]}" || true; done
done
location=$(curl -s -o /dev/null -w '%{redirect_url}' -A "$USER_AGENT" "${origin[after]}/${code[after]}")
[[ -n $location ]] || { echo "$bench_name: the service's redirect sent no Location" >&2; exit 1; }

# nginx in a prefix of its own: nothing of the system's configuration, logs or temporary folders.
nginx_port=$(free_port)
mkdir -p "$work/nginx/logs" "$work/nginx/tmp"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes $(nproc);
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
daemon off;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $work/nginx/tmp/body;
    proxy_temp_path $work/nginx/tmp/proxy;
    fastcgi_temp_path $work/nginx/tmp/fastcgi;
    uwsgi_temp_path $work/nginx/tmp/uwsgi;
    scgi_temp_path $work/nginx/tmp/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        location / { return 302 $location; }
    }
}
EOF
nginx -p "$work/nginx" -e "$work/nginx/logs/error.log" -c "$work/nginx/nginx.conf" & pids+=($!)
wait_for "http://127.0.0.1:$nginx_port/"

# Signed creates: one pool per round, shared by the services (each has its own database, so every
# request makes a new link on each).
for round in $(seq "$rounds"); do
    "$benchtool" requests $((duration * 40000)) "https://bench.example/$(date +%s)-$round/" >"$work/requests-$round.lua"
done

ua=$root/bench/service/useragent.lua
printf 'wrk: %s thread(s), %s connections, %s s per run, %s round(s), on %s CPU(s); nginx %s worker(s)\n' \
    "$threads" "$connections" "$duration" "$rounds" "$(nproc)" "$(nproc)"
printf 'service options: --rate-limit 0 --access-log off --host-create-limit 0 %s' "${SHORTD_ARGS:-}"
[[ -n ${VARIANT_ARGS:-} ]] && printf '; the variant adds %s' "$VARIANT_ARGS"
printf '\n\n'

printf '%-5s %-18s %12s %10s %10s  %s\n' round run "requests/s" "p99 ms" "non-2xx/3xx" "socket errors"
declare -A rate p99s
row() { # round name line
    local name rps p99 bad errors
    read -r name rps p99 bad errors <<<"$2"
    printf '%-5s %-18s %12s %10s %10s  %s\n' "$1" "$name" "$rps" "$p99" "$bad" "$errors"
    rate[$name]+="$rps "
    p99s[$name]+="$p99 "
}
for round in $(seq "$rounds"); do
    row "$round" "$(wrk_run nginx "http://127.0.0.1:$nginx_port/${code[after]}" "$ua")"
    for name in "${services[@]}"; do
        row "$round" "$(wrk_run "$name-redirect" "${origin[$name]}/${code[$name]}" "$ua")"
        row "$round" "$(API_KEY=${key[$name]} wrk_run "$name-api-read" "${origin[$name]}/api/v1/links/${code[$name]}" \
            "$root/bench/service/api-read.lua")"
        row "$round" "$(REQUESTS="$work/requests-$round.lua" wrk_run "$name-create" "${origin[$name]}" \
            "$root/bench/service/create.lua")"
    done
    printf '      load average: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
printf '\nmedians of %s round(s)\n%-18s %12s %10s\n' "$rounds" run "requests/s" "p99 ms"
declare -A mid
for name in nginx $(for s in "${services[@]}"; do echo "$s-redirect $s-api-read $s-create"; done); do
    mid[$name]=$(median <<<"${rate[$name]}")
    printf '%-18s %12s %10s\n' "$name" "${mid[$name]}" "$(median <<<"${p99s[$name]}")"
done
echo
for name in "${services[@]}"; do
    awk -v name="$name" -v nginx="${mid[nginx]}" -v redirect="${mid[$name-redirect]}" -v api="${mid[$name-api-read]}" \
        'BEGIN { printf "%s: redirect %.2f x nginx, api-read %.2f x the redirect\n", name, redirect / nginx, api / redirect }'
done
for name in "${services[@]}"; do
    awk -v name="$name" '/^VmRSS:/ {rss = $2} /^VmHWM:/ {hwm = $2}
        END { printf "%s: resident %.1f MiB (VmRSS), peak %.1f MiB (VmHWM)\n", name, rss / 1024, hwm / 1024 }' \
        "/proc/${pid_of[$name]}/status"
done
printf 'load average at the end: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
