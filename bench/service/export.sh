#!/usr/bin/env bash
# Times the operator commands on many links: import of N links (default 1,000,000) into an empty
# SQLite database, then `links export` as JSON lines and as CSV, each with its wall time and peak
# resident memory (GNU time). The links are made up: distinct codes, addresses and visit counts.
#
#   bench/service/export.sh [links]
#
# Builds nolvex-shortd in build-bench like run.sh (BENCH_BUILD_DIR picks another tree).
set -euo pipefail

source "$(dirname "$0")/../lib.sh"
count=${1:-1000000}
bench_need cmake ninja python3 /usr/bin/time
bench_build nolvex-shortd
shortd=$build/service/nolvex-shortd
bench_workdir

python3 - "$count" >"$work/links.jsonl" <<'PY'
import json, sys
alphabet = "23456789abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ"
out = sys.stdout
for i in range(int(sys.argv[1])):
    code, n = "", i
    for _ in range(8):
        code += alphabet[n % 56]
        n //= 56
    secs = 1767225600 + i * 7
    out.write(json.dumps({"code": code, "type": i % 6, "created": "%s" % __import__("datetime").datetime.utcfromtimestamp(secs).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "target": "https://example.com/articles/%d?utm_source=newsletter&id=%x" % (i, i * 2654435761 % 2**32),
        "visits": (i * 7919) % 5000, "state": "active"}, separators=(",", ":")) + "\n")
PY
database=sqlite:$work/links.sqlite

measure() { # label, then the command; prints "label: S s, M MB"
    local label=$1
    shift
    /usr/bin/time -f "%e %M" -o "$work/time" "$@"
    read -r seconds kilobytes <"$work/time"
    printf '%-24s %8s s  %6.1f MB peak resident\n' "$label" "$seconds" "$(echo "$kilobytes / 1024" | bc -l)"
}

echo "$count links, $(du -h "$work/links.jsonl" | cut -f1) of JSON lines"
measure "import" "$shortd" links import --database "$database" "$work/links.jsonl" 2>"$work/import.log"
tail -1 "$work/import.log"
measure "export, jsonl" sh -c "'$shortd' links export --database '$database' >'$work/out.jsonl'"
measure "export, csv" sh -c "'$shortd' links export --format csv --database '$database' >'$work/out.csv'"
printf 'exported %s lines of JSON, %s CSV rows\n' "$(wc -l <"$work/out.jsonl")" "$(($(wc -l <"$work/out.csv") - 1))"
