#!/usr/bin/env bash
# Builds the two Debian packages from a configured build tree and checks them as a distribution
# would: the desktop entry, the AppStream metainfo, lintian, then a real install of both, the
# installed programs and unit, and a purge that must leave nothing of theirs behind.
# Usage: scripts/check-packages.sh [build dir]. Needs root: it installs and purges the packages.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
packages=(nolvex-shortener nolvex-shortd)
log=$build/check-packages.log
: >"$log"

fail() {
    echo "check-packages: $*" >&2
    exit 1
}

rm -f "$build"/nolvex-shortener_*.deb "$build"/nolvex-shortd_*.deb
cmake --build "$build" --target package >>"$log" 2>&1 || { tail -30 "$log"; fail "cpack failed"; }
debs=()
for package in "${packages[@]}"; do
    deb=$(find "$build" -maxdepth 1 -name "${package}_*.deb" | head -1)
    [[ -n $deb ]] || fail "no package $package was made"
    debs+=("$deb")
    printf '%-18s %s, installed size %s KiB\n' "$package" "$(basename "$deb")" "$(dpkg-deb -f "$deb" Installed-Size)"
done

desktop-file-validate "$build"/share/*.desktop || fail "desktop entry"
appstreamcli validate --no-net "$build"/share/*.metainfo.xml >>"$log" 2>&1 ||
    { grep -E '^[EW]:' "$log"; fail "metainfo"; }
lintian --fail-on error,warning "${debs[@]}" >>"$log" 2>&1 || { grep -E '^[EW]:' "$log"; fail "lintian"; }

# Everything on the system that a package could install or leave, without dpkg's and apt's own books.
snapshot() {
    find /etc /usr /opt /srv /var/lib -xdev \
        \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/lib/ucf \) -prune -o -print 2>/dev/null | sort
}

# Left from an interrupted run: gone before the file system is looked at.
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv 'not-installed'; then
        env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$package" >>"$log" 2>&1
    fi
done
before=$(mktemp)
after=$(mktemp)
trap 'rm -f "$before" "$after"' EXIT
snapshot >"$before"

env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" >>"$log" 2>&1 ||
    { tail -30 "$log"; fail "the packages do not install"; }

version=$(dpkg-deb -f "${debs[1]}" Version)
[[ $(/usr/bin/nolvex-shortd --version) == "nolvex-shortd $version" ]] || fail "nolvex-shortd --version"
# No display here: the help must not need one.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/nolvex-shortener --help | grep -q -- --shorten-host ||
    fail "nolvex-shortener --help"
[[ $(/usr/bin/nolvex-shorten --version) == "nolvex-shorten $version" ]] || fail "nolvex-shorten --version"
# Every option a program lists is in its man page.
for page in nolvex-shortd.8 nolvex-shorten.1 nolvex-shortener.1; do
    program=${page%.*}
    text=$(zcat "/usr/share/man/man${page##*.}/$page.gz" | sed 's/\\-/-/g')
    for option in $(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "/usr/bin/$program" --help |
        grep -oE '^ +(-[a-zA-Z], )?--[a-z0-9-]+' | grep -oE -- '--[a-z0-9-]+' | grep -vx -- '--help-all'); do
        grep -qF -- "$option" <<<"$text" || fail "$page leaves out $option"
    done
done
# And every option of each operator command, as its own --help lists it, is in the service's page.
text=$(zcat /usr/share/man/man8/nolvex-shortd.8.gz | sed 's/\\-/-/g')
commands=(stats)
for group in links keys blocks reports audit; do
    for name in $(/usr/bin/nolvex-shortd "$group" --help | sed -n '/^Commands:/,/^$/p' | grep -oE '^  [a-z]+'); do
        commands+=("$group $name")
    done
done
((${#commands[@]} > 10)) || fail "nolvex-shortd links --help and keys --help list too few commands"
for command in "${commands[@]}"; do
    # shellcheck disable=SC2086 # the group and the command are two words
    for option in $(/usr/bin/nolvex-shortd $command --help | grep -oE '^ +(-[a-zA-Z], )?--[a-z0-9-]+' |
        grep -oE -- '--[a-z0-9-]+' | grep -vx -- '--help-all'); do
        grep -qF -- "$option" <<<"$text" || fail "nolvex-shortd.8 leaves out $option of nolvex-shortd $command"
    done
done
client=$(readlink -f /usr/bin/nolvex-shortener)
[[ -f $(dirname "$client")/skinh.she ]] || fail "the skin is not beside $client"
systemd-analyze verify /usr/lib/systemd/system/nolvex-shortd.service || fail "systemd-analyze verify"
# Installed, not enabled: the administrator sets the link bases first.
if compgen -G "/etc/systemd/system/*.wants/nolvex-shortd.service" >/dev/null; then
    fail "the unit was enabled on install"
fi
if command -v systemd-sysusers >/dev/null; then
    getent passwd nolvex-shortd >/dev/null || fail "the service's system user was not made"
fi

env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >>"$log" 2>&1 || fail "purge"
snapshot >"$after"
# Files a trigger of another package rebuilds are that package's, not ours.
left=$(comm -13 "$before" "$after" | while read -r path; do
    case $path in
    */mimeinfo.cache | */icon-theme.cache) continue ;;
    esac
    dpkg -S "$path" >/dev/null 2>&1 || echo "$path"
done)
[[ -z $left ]] || fail "left behind after purge:"$'\n'"$left"
echo "packages: lintian, desktop entry, metainfo, unit, install, run and purge all clean"
