#!/usr/bin/env bash
# Shared set-up for ./run and ./test: installs what is missing from Debian, then configures and builds.
# Quiet when everything is already in place.
set -euo pipefail

NOLVEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export NOLVEX_ROOT

NOLVEX_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-httpserver-dev qt6-websockets-dev libqt6sql6-sqlite libqt6sql6-psql
    qt6-translations-l10n libgl-dev libssl-dev openssl libqrencode-dev libicu-dev qt6-l10n-tools
    fonts-wqy-microhei fonts-noto-cjk publicsuffix
    xvfb xauth
)

# What only the test command needs: the fuzzing toolchain, the linters, what checks the packages,
# a PostgreSQL server (initdb, pg_ctl, psql, pgbench) for the service's throw-away clusters,
# Prometheus (promtool and the server) to check what the service exports, and a headless browser
# with its driver for the web pages.
NOLVEX_TEST_PACKAGES=(
    clang libclang-rt-14-dev clang-tidy clang-format zbar-tools
    dpkg-dev fakeroot lintian desktop-file-utils appstream systemd
    postgresql-15 postgresql-client-15
    prometheus
    chromium chromium-driver python3-selenium
)
# The API description checker and the browser tests' accessibility checker come from npm: Debian's
# Node.js and npm where either is missing (a machine may carry its own, newer ones).
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    NOLVEX_TEST_PACKAGES+=(nodejs npm)
fi

nolvex_install_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        if [[ $(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null) != "install ok installed" ]]; then
            missing+=("$pkg")
        fi
    done
    ((${#missing[@]} == 0)) && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    ((EUID != 0)) && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# nolvex_build <build dir> [cmake options...]: with Ninja, or with CMake's default generator
# (Unix Makefiles) when NOLVEX_GENERATOR is set empty.
nolvex_build() {
    local dir=$1
    shift
    local generator=(-G "${NOLVEX_GENERATOR-Ninja}")
    [[ -z ${NOLVEX_GENERATOR-Ninja} ]] && generator=()
    if [[ ! -f $dir/CMakeCache.txt ]]; then
        cmake -S "$NOLVEX_ROOT" -B "$dir" "${generator[@]}" -Wno-dev "$@" >"$dir.configure.log" 2>&1 ||
            { cat "$dir.configure.log"; return 1; }
    fi
    cmake --build "$dir" -j "$(nproc)" >"$dir.build.log" 2>&1 || { tail -60 "$dir.build.log"; return 1; }
}
