#!/usr/bin/env bash
# A second Wine: Debian 13's Wine 10 in a root of its own, whose service
# control manager notices a service process that dies, as Windows does.
#
#   scripts/wine10.sh make           make the root when it is missing or incomplete
#   scripts/wine10.sh run CMD ...    run CMD with Wine 10 (the root must be made)
#
# The root lives outside the clone, in ${TAVRILEX_WINE10_ROOT:-/var/cache/tavrilex/wine10},
# so that a fresh clone reuses it; its stamp is written last, once Wine runs
# there. A run that cannot make it ends non-zero with one line saying why. `run` mounts
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

# Ends make with its one-line reason; nothing is stamped.
fail() { echo "wine10: $*" >&2; exit 1; }

# True when the stamp is there and names the Wine that runs in the root.
stamped() { [ -s "$stamp" ] && grep -q '^wine-' "$stamp"; }

make_root() {
    stamped && return 0
    mkdir -p "$(dirname "$root")" || fail "cannot make $(dirname "$root")"
    # One run makes the root; another waits for it, then finds the stamp.
    exec 9>"$root.lock"
    if ! flock -n 9; then
        echo "wine10: another run is making $root; waiting for it"
        flock 9
    fi
    stamped && return 0
    local url start=$SECONDS mounted
    # Only a folder this script made (its marker is written right after
    # mkdir) is ever removed; a folder found at the path is left alone.
    if [ -e "$root" ] && [ ! -e "$root/.tavrilex-made" ] && [ -n "$(ls -A "$root" 2>/dev/null)" ]; then
        fail "$root is not empty and was not made by this script; remove it yourself (rm -rf --one-file-system $root) or name another folder in TAVRILEX_WINE10_ROOT"
    fi
    mounted=$(awk -v r="$root/" 'index($2, r) == 1 {print $2}' /proc/mounts | sort -r | tr '\n' ' ')
    [ -z "$mounted" ] || fail "left mounted below $root: $mounted; undo with: umount -R -l $mounted"
    bash "$repo/scripts/setup.sh" root || fail "debootstrap is missing and could not be installed"
    url=$(mirror)
    [ -n "$url" ] || fail "no Debian mirror in the apt sources (/etc/apt/sources.list*)"
    # An unreachable mirror answers in seconds here, not after a silent wait.
    timeout 15 wget -q -T 10 -t 1 -O /dev/null "$url/dists/trixie/Release" ||
        fail "the mirror $url does not serve dists/trixie/Release within 10 s; check the network or the apt sources"
    [ ! -e "$root/.tavrilex-made" ] || rm -rf --one-file-system "$root"
    mkdir -p "$root" && : >"$root/.tavrilex-made" || fail "cannot make $root"
    echo "wine10: making $root from $url (about a minute)"
    # debootstrap mounts proc and sys in the target: in a namespace of its
    # own those mounts end with it, however it ends.
    unshare --mount --propagation private debootstrap --variant=minbase trixie "$root" "$url" >"$root.log" 2>&1 9>&- ||
        fail "debootstrap failed: $(grep -m 1 -E '^(E|W): ' "$root.log" || tail -n 1 "$root.log") (all of it in $root.log)"
    echo "deb $url trixie main" >"$root/etc/apt/sources.list"
    in_namespace chroot "$root" bash -c '
        export DEBIAN_FRONTEND=noninteractive
        dpkg --add-architecture i386 || exit 1
        apt-get update -qq || echo "warning: the package index update failed; installing from the lists at hand"
        apt-get install -y -qq --no-install-recommends wine wine64 wine32:i386 >/dev/null || exit 1
        apt-get clean' >>"$root.log" 2>&1 9>&- ||
        fail "Wine could not be installed in the root: $(grep -E 'Depends:|^E: ' "$root.log" | tail -n 1) (all of it in $root.log)"
    # Wine finds itself through /proc, so it is asked inside the namespace.
    in_namespace chroot "$root" wine --version >"$stamp.new" 2>>"$root.log" 9>&- && grep -q '^wine-' "$stamp.new" ||
        { rm -f "$stamp.new"; fail "Wine does not run in the root (see $root.log)"; }
    mv "$stamp.new" "$stamp"
    echo "wine10: $(cat "$stamp") ready in $root after $((SECONDS - start)) s"
}

case ${1:-} in
    make) make_root ;;
    run)
        shift
        stamped || { echo "wine10: no root in $root; run '$0 make' first" >&2; exit 1; }
        in_namespace "$@"
        ;;
    *) echo "usage: $0 make | run CMD ..." >&2; exit 2 ;;
esac
