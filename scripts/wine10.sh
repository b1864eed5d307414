#!/usr/bin/env bash
# A second Wine: Debian 13's Wine 10 in a root of its own, whose service
# control manager notices a service process that dies, as Windows does.
#
#   scripts/wine10.sh make           make the root when it is missing or incomplete
#   scripts/wine10.sh run CMD ...    run CMD with Wine 10 (the root must be made)
#
# The root lives outside the clone, in ${TAVRILEX_WINE10_ROOT:-/var/cache/tavrilex/wine10},
# so that a fresh clone reuses it; its stamp is written last. `run` mounts
# proc, sys, dev and this repository (at its own path) in a mount namespace
# of its own, so nothing stays mounted after it, however it ends; CMD then
# finds TAVRILEX_WINE_ROOT set, and scripts/wine-pick.sh runs Wine in the
# root. Only Wine runs there: the programs are built on the host.
set -euo pipefail

root=${TAVRILEX_WINE10_ROOT:-/var/cache/tavrilex/wine10}
stamp=$root/.tavrilex-stamp
repo=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "wine10: needs root (chroot, mount)" >&2; exit 1; }

# The Debian mirror that this machine's apt sources name.
mirror() {
    sed -n -E 's/^URIs:[[:space:]]*([^[:space:]]+).*/\1/p; s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -E '/debian/?$' | head -n 1 || true
}

# Runs "$@" with proc, sys, dev and the repository mounted in the root,
# inside a private mount namespace: the mounts end with it at the latest.
in_namespace() {
    unshare --mount --propagation private bash -c '
        set -e
        r=$1 repo=$2; shift 2
        undo() { umount -R -l "$r$repo" "$r/dev" "$r/sys" "$r/proc" 2>/dev/null || true; }
        trap undo EXIT
        mount -t proc proc "$r/proc"
        mount -t sysfs sys "$r/sys"
        mount --rbind /dev "$r/dev" && mount --make-rslave "$r/dev"
        mkdir -p "$r$repo" && mount --bind "$repo" "$r$repo"
        TAVRILEX_WINE_ROOT=$r "$@"
    ' in-namespace "$root" "$repo" "$@"
}

make_root() {
    [ -f "$stamp" ] && return 0
    local url start=$SECONDS
    url=$(mirror)
    [ -n "$url" ] || { echo "wine10: no Debian mirror in the apt sources" >&2; return 1; }
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    # Incomplete: start again. Mounts never outlive `run`, so none is below.
    if grep -qF " $root/" /proc/mounts; then
        echo "wine10: something is mounted below $root; not touching it" >&2
        return 1
    fi
    rm -rf "$root"
    mkdir -p "$root"
    echo "wine10: making $root from $url (about 7 minutes)"
    debootstrap --variant=minbase trixie "$root" "$url" >"$root.log" 2>&1 ||
        { tail -n 20 "$root.log" >&2; return 1; }
    echo "deb $url trixie main" >"$root/etc/apt/sources.list"
    in_namespace chroot "$root" bash -c '
        set -e
        export DEBIAN_FRONTEND=noninteractive
        dpkg --add-architecture i386
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends wine wine64 wine32:i386 >/dev/null
        apt-get clean' >>"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; return 1; }
    # Wine finds itself through /proc, so it is asked inside the namespace.
    in_namespace chroot "$root" wine --version >"$stamp.new" && mv "$stamp.new" "$stamp"
    echo "wine10: $(cat "$stamp") ready in $root after $((SECONDS - start)) s"
}

case ${1:-} in
    make) make_root ;;
    run)
        shift
        [ -f "$stamp" ] || { echo "wine10: no root in $root; run '$0 make' first" >&2; exit 1; }
        in_namespace "$@"
        ;;
    *) echo "usage: $0 make | run CMD ..." >&2; exit 2 ;;
esac
