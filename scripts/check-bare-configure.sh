#!/usr/bin/env bash
# Configures the tree, tests included, on this machine with the test tools hidden (node, npm, xvfb-run,
# chromedriver, promtool, prometheus): a packager's or a desktop user's machine has none of them, and
# configure must still pass, leaving out each test that needs one with a line that says so.
# find_program also searches the system folders, so the tools are hidden in a private mount
# namespace (each covered by /dev/null, which is not executable), not by PATH.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tools=(node npm xvfb-run chromedriver promtool prometheus)
expected=(api_openapi tst_smoke "Browser tests" promtool prometheus)

if [[ ${1:-} != --inside ]]; then
    if ! unshare --mount true 2>/dev/null; then
        echo "configure without test tools: not checked (no private mount namespace here)"
        exit 0
    fi
    exec unshare --mount "$0" --inside
fi

for tool in "${tools[@]}"; do
    for dir in /usr/local/bin /usr/bin /usr/sbin /usr/local/sbin; do
        [[ -e $dir/$tool && ! -L $dir/$tool ]] && mount --bind /dev/null "$dir/$tool"
        [[ -L $dir/$tool ]] && mount --bind /dev/null "$(readlink -f "$dir/$tool")"
    done
done
for tool in "${tools[@]}"; do
    if command -v "$tool" >/dev/null && [[ -x $(command -v "$tool") ]]; then
        echo "configure without test tools: $tool is still reachable" >&2
        exit 1
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! cmake -S "$root" -B "$work" -Wno-dev >"$work.log" 2>&1; then
    cat "$work.log"
    echo "configure without test tools failed" >&2
    rm -f "$work.log"
    exit 1
fi
for name in "${expected[@]}"; do
    if ! grep -q -- "-- .*$name.* left out" "$work.log"; then
        cat "$work.log"
        echo "configure without test tools: no line says that $name was left out" >&2
        rm -f "$work.log"
        exit 1
    fi
done
echo "configure without test tools: passed; $(grep -c 'left out' "$work.log") tests or checks left out"
rm -f "$work.log"
