#!/usr/bin/env bash
# A second Wine: the other Debian release's, in a root of its own. On a
# Debian 12 host that is Debian 13 with Wine 10, whose service control
# manager notices a service process that dies, as Windows does; on a Debian 13
# host it is Debian 12 with Wine 8, which does not.
#
#   scripts/wine-root.sh make           make the root when it is missing or incomplete
#   scripts/wine-root.sh run CMD ...    run CMD with the root's Wine (the root must be made)
#   scripts/wine-root.sh label          the root's Wine as the steps name it ("wine10")
#
# The root lives outside the clone, in ${TAVRILEX_ROOT_DIR:-/var/cache/tavrilex/<release>},
# so that a fresh clone reuses it; TAVRILEX_ROOT_RELEASE (bookworm or trixie)
# chooses the release instead of the host. Its stamp is written last, once a
# Wine loader runs there (the probe of scripts/wine-pick.sh, as for every
# Wine call), and names that Wine and the build it runs. A run that cannot
# make it ends non-zero with one line saying why. `run` mounts proc, sys, dev
# and this repository (at its own path) in a mount namespace of its own, so
# nothing stays mounted after it, however it ends; CMD then finds
# TAVRILEX_WINE_ROOT set, and scripts/wine-pick.sh runs Wine in the root.
# Only Wine runs there: the programs are built on the host.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
# Ends with its one-line reason; nothing is stamped.
fail() { echo "wine-root: $*" >&2; exit 1; }

host=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
release=${TAVRILEX_ROOT_RELEASE:-}
if [ -z "$release" ]; then
    case $host in
        bookworm) release=trixie ;;
        trixie) release=bookworm ;;
        *) fail "this host is '${host:-unknown}', not Debian 12 (bookworm) or 13 (trixie); name the root's release in TAVRILEX_ROOT_RELEASE" ;;
    esac
fi
# Each release's Wine, as wine-pick.sh labels it.
case $release in
    bookworm) number=12 label=wine8 ;;
    trixie) number=13 label=wine10 ;;
    *) fail "TAVRILEX_ROOT_RELEASE is '$release', not bookworm or trixie" ;;
esac
root=${TAVRILEX_ROOT_DIR:-/var/cache/tavrilex/debian$number}
stamp=$root/.tavrilex-stamp

[ "${1:-}" != label ] || { echo "$label"; exit 0; }
[ "$(id -u)" -eq 0 ] || fail "needs root (chroot, mount)"

# The Debian mirror that this machine's apt sources name.
mirror() {
    sed -n -E 's/^URIs:[[:space:]]*([^[:space:]]+).*/\1/p; s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -E '/debian/?$' | head -n 1 || true
}

# Runs "$@" with proc, sys, dev and the repository mounted in the root,
# inside a private mount namespace: the mounts end with it at the latest.
# Each mount is checked on its own line: set -e ignores a failure before &&.
in_namespace() {
    unshare --mount --propagation private bash -c '
        set -e
        r=$1 repo=$2; shift 2
        m() { mount "$@" || { echo "wine-root: mount $* failed" >&2; exit 1; }; }
        m -t proc proc "$r/proc"
        m -t sysfs sys "$r/sys"
        m --rbind /dev "$r/dev"
        m --make-rslave "$r/dev"
        mkdir -p "$r$repo"
        m --bind "$repo" "$r$repo"
        TAVRILEX_WINE_ROOT=$r "$@"
    ' in-namespace "$root" "$repo" "$@"
}

# True when the stamp is there and names a Wine that ran in the root.
stamped() { [ -s "$stamp" ] && grep -q '^wine-' "$stamp"; }

# Writes the stamp when a Wine loader runs in the root: its version and the
# build it runs ("wine-10.0 (Debian 10.0~repack-6), build win64").
stamp_root() {
    local found
    # Wine finds itself through /proc, so it is asked inside the namespace.
    found=$(in_namespace bash -c 'source "$0/scripts/wine-pick.sh" && { wine_pick || { echo "$wine_why"; exit 1; }; } &&
                                  echo "$(wine --version), build $wine_build"' "$repo" 2>>"$root.log" 9>&-) &&
        [[ $found == wine-* ]] || fail "no Wine runs in the root: ${found:-see $root.log}"
    echo "$found" >"$stamp.new" && mv "$stamp.new" "$stamp"
}

make_root() {
    stamped && return 0
    mkdir -p "$(dirname "$root")" || fail "cannot make $(dirname "$root")"
    # One run makes the root; another waits for it, then finds the stamp.
    exec 9>"$root.lock"
    if ! flock -n 9; then
        echo "wine-root: another run is making $root; waiting for it"
        flock 9
    fi
    stamped && return 0
    local url start=$SECONDS mounted
    # Only a folder this script made (its marker is written right after
    # mkdir) is ever removed; a folder found at the path is left alone.
    if [ -e "$root" ] && [ ! -e "$root/.tavrilex-made" ] && [ -n "$(ls -A "$root" 2>/dev/null)" ]; then
        fail "$root is not empty and was not made by this script; remove it yourself (rm -rf --one-file-system $root) or name another folder in TAVRILEX_ROOT_DIR"
    fi
    mounted=$(awk -v r="$root/" 'index($2, r) == 1 {print $2}' /proc/mounts | sort -r | tr '\n' ' ')
    [ -z "$mounted" ] || fail "left mounted below $root: $mounted; undo with: umount -R -l $mounted"
    # Wine installed, but no stamp: only the probe is to be done again.
    if [ ! -e "$root/.tavrilex-installed" ]; then
        bash "$repo/scripts/setup.sh" root || fail "debootstrap is missing and could not be installed"
        url=$(mirror)
        [ -n "$url" ] || fail "no Debian mirror in the apt sources (/etc/apt/sources.list*)"
        # An unreachable mirror answers in seconds here, not after a silent wait.
        timeout 15 wget -q -T 10 -t 1 -O /dev/null "$url/dists/$release/Release" ||
            fail "the mirror $url does not serve dists/$release/Release within 10 s; check the network or the apt sources"
        [ ! -e "$root/.tavrilex-made" ] || rm -rf --one-file-system "$root"
        mkdir -p "$root" && : >"$root/.tavrilex-made" || fail "cannot make $root"
        echo "wine-root: making $root, Debian $number ($release) with its Wine, from $url (about a minute)"
        # debootstrap mounts proc and sys in the target: in a namespace of its
        # own those mounts end with it, however it ends.
        unshare --mount --propagation private debootstrap --variant=minbase "$release" "$root" "$url" >"$root.log" 2>&1 9>&- ||
            fail "debootstrap failed: $(grep -m 1 -E '^(E|W): ' "$root.log" || tail -n 1 "$root.log") (all of it in $root.log)"
        echo "deb $url $release main" >"$root/etc/apt/sources.list"
        # wine32 is installed even where the host cannot execute it: the
        # probe then finds the 64-bit loader alone.
        in_namespace chroot "$root" bash -c '
            export DEBIAN_FRONTEND=noninteractive
            dpkg --add-architecture i386 || exit 1
            apt-get update -qq || echo "warning: the package index update failed; installing from the lists at hand"
            apt-get install -y -qq --no-install-recommends wine wine64 wine32:i386 >/dev/null || exit 1
            apt-get clean' >>"$root.log" 2>&1 9>&- ||
            fail "Wine could not be installed in the root: $(grep -E 'Depends:|^E: ' "$root.log" | tail -n 1) (all of it in $root.log)"
        : >"$root/.tavrilex-installed"
    fi
    stamp_root
    echo "wine-root: $(cat "$stamp") ready in $root after $((SECONDS - start)) s"
}

case ${1:-} in
    make) make_root ;;
    run)
        shift
        stamped || fail "no root in $root; run '$0 make' first"
        in_namespace "$@"
        ;;
    *) echo "usage: $0 make | run CMD ... | label" >&2; exit 2 ;;
esac
