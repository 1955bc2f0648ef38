#!/usr/bin/env bash
# Line coverage of the logic (digest/, net/, app/, service/) from the whole ctest suite, with gcovr.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$NOLVEX_ROOT"
nolvex_install_packages "${NOLVEX_PACKAGES[@]}" gcovr
nolvex_build build-cov -DCMAKE_BUILD_TYPE=Debug -DNOLVEX_COVERAGE=ON
find build-cov -name '*.gcda' -delete
(cd build-cov && ctest -j "$(nproc)" --output-on-failure >ctest.log 2>&1) || { tail -30 build-cov/ctest.log; exit 1; }
for part in digest net app service; do
    printf '%-8s ' "$part/"
    gcovr --root . --filter "$part/" --exclude '.*_autogen/.*' --exclude 'app/main.cpp' --exclude 'service/main.cpp' \
        build-cov 2>/dev/null | awk '/^TOTAL/ {print $2 " lines, " $4 " covered"}'
done
gcovr --root . --filter 'digest/' --filter 'net/' --filter 'app/' --filter 'service/' \
    --exclude '.*_autogen/.*' --exclude 'app/main.cpp' --exclude 'service/main.cpp' build-cov 2>/dev/null |
    awk '/^TOTAL/ {print "all      " $2 " lines, " $4 " covered"}'
