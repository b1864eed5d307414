#!/usr/bin/env bash
# Builds the release an administrator downloads, from a clean state, into dist/:
#
#   dist/tavrilex-<version>.zip   win32/tavrilex.exe   the win32 preset (i686)
#                                 win64/tavrilex.exe   the win64 preset (x86_64)
#                                 README.txt           for administrators
#                                 SHA256SUMS           of the three files above
#   dist/tavrilex-<version>-x86.msi   Windows Installer package of win32/tavrilex.exe
#   dist/tavrilex-<version>-x64.msi   the same for win64/tavrilex.exe (scripts/msi.sh)
#   dist/SHA256SUMS               of the zip and the packages, then the lines of
#                                 the zip's own
#
# The version is project(VERSION) in CMakeLists.txt, read back from the header
# that also feeds the version resource. The output is reproducible: the same
# commit gives the same bytes in any folder, at any time, on a machine with the
# same Debian packages. The executables are made so by the build itself
# (CMakeLists.txt); the zip here by a fixed entry order, fixed permissions, no
# owner or extra time fields, and every entry dated at the commit's time (or at
# SOURCE_DATE_EPOCH when that is set, which a tree without git needs); the
# packages by derived codes and that same time (scripts/msi.sh).
#
# Given a key (TAVRILEX_SIGN_*, DEVELOPING.md "Signed releases"), both
# executables and both packages carry an Authenticode signature, SHA-256, made
# at SOURCE_DATE_EPOCH, and a timestamp from TAVRILEX_SIGN_TIMESTAMP, each
# verified before dist/ is written; a key without a timestamp is refused
# unless TAVRILEX_SIGN_NO_TIMESTAMP=1 says so. Without a key the release is
# unsigned and says so. The last dist/ stays until a new one is complete.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

die() { echo "package: $*" >&2; exit 1; }

# The key: a PKCS#12 file, or a certificate chain with a key file or a PKCS#11
# URI. Passwords and PINs only from a file, never on a command line. Decided
# before anything is built, so that a refusal costs nothing and changes nothing.
sign_args=() stamp_args=()
if [ -n "${TAVRILEX_SIGN_PKCS12:-}" ]; then
    sign_args=(-pkcs12 "$TAVRILEX_SIGN_PKCS12")
elif [ -n "${TAVRILEX_SIGN_CERT:-}" ]; then
    [ -n "${TAVRILEX_SIGN_KEY:-}" ] || die "TAVRILEX_SIGN_CERT needs TAVRILEX_SIGN_KEY (a key file or a pkcs11: URI)"
    sign_args=(-certs "$TAVRILEX_SIGN_CERT" -key "$TAVRILEX_SIGN_KEY")
    [[ $TAVRILEX_SIGN_KEY != pkcs11:* ]] || sign_args+=(-pkcs11module "${TAVRILEX_SIGN_PKCS11_MODULE:?a pkcs11: key needs TAVRILEX_SIGN_PKCS11_MODULE}")
fi
if [ ${#sign_args[@]} -gt 0 ]; then
    [ -z "${TAVRILEX_SIGN_PASSFILE:-}" ] || sign_args+=(-readpass "$TAVRILEX_SIGN_PASSFILE")
    # Without a timestamp every signature turns invalid when the certificate
    # expires; only a builder who says so on purpose (the tests' bit-for-bit
    # rows) gets one without.
    if [ -n "${TAVRILEX_SIGN_TIMESTAMP:-}" ]; then
        stamp_args=(-ts "$TAVRILEX_SIGN_TIMESTAMP")
    elif [ "${TAVRILEX_SIGN_NO_TIMESTAMP:-}" != 1 ]; then
        die "refusing to sign without a timestamp: set TAVRILEX_SIGN_TIMESTAMP to an RFC 3161 server's URL, or TAVRILEX_SIGN_NO_TIMESTAMP=1 for signatures that expire with the certificate"
    fi
    cafile=${TAVRILEX_SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
fi

bash scripts/setup.sh package || die "could not install the build tools"
[ ${#sign_args[@]} -eq 0 ] || command -v osslsigncode >/dev/null || die "osslsigncode is not installed"

# Flags from the caller's environment would change the executables.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS
jobs=$(nproc 2>/dev/null || echo 2)
work=$root/build/package
dist=$root/dist

commit=unknown
if git -C "$root" rev-parse --verify -q HEAD >/dev/null 2>&1; then
    commit=$(git -C "$root" rev-parse HEAD)
    : "${SOURCE_DATE_EPOCH:=$(git -C "$root" log -1 --format=%ct HEAD)}"
    # build/ and dist/ are ignored, so anything listed here is source that
    # would go into the exe (the build globs host/, watchdog/ and cli/).
    if [ -n "$(git -C "$root" status --porcelain)" ]; then
        echo "package: WARNING: the tree differs from commit $commit; this zip matches no commit" >&2
        commit="$commit with changes"
    fi
fi
[ -n "${SOURCE_DATE_EPOCH:-}" ] || die "not a git checkout: set SOURCE_DATE_EPOCH to the source's time"

# Signs $1 in place, once its signature (and timestamp, unless refused) checks
# against $cafile. The tool's output stays in build/package/ and names only
# certificates' subjects.
sign() {
    local log=$work/sign-$(basename "$(dirname "$1")")-${1##*/}.log
    { osslsigncode sign "${sign_args[@]}" "${stamp_args[@]}" -h sha256 -n Tavrilex \
          -time "$SOURCE_DATE_EPOCH" -in "$1" -out "$1.signed" &&
      osslsigncode verify -CAfile "$cafile" -TSA-CAfile "$cafile" -in "$1.signed" &&
      { [ ${#stamp_args[@]} -eq 0 ] || grep -q 'Timestamp Server Signature verification: ok' "$log"; }
    } >"$log" 2>&1 || { tail -n 20 "$log" >&2; die "signing ${1##*/} failed or did not verify"; }
    mv "$1.signed" "$1"
}

rm -rf "$work"
mkdir -p "$work"
for preset in win32 win64; do
    echo "package: building tavrilex.exe, preset $preset, in ${work#"$root"/}/$preset"
    cmake --preset "$preset" -B "$work/$preset" >"$work/configure-$preset.log" 2>&1 ||
        { cat "$work/configure-$preset.log" >&2; die "configuring $preset failed"; }
    cmake --build "$work/$preset" --target tavrilex -j "$jobs" || die "building $preset failed"
done

# The package that ships the library $2 (its soname's start) that the
# program $1 loads: found by the file, since releases rename such packages
# (Debian 13's libmsi-1.0-0 and libssl3t64).
lib_package() {
    local lib
    lib=$(ldd "$(command -v "$1")" | awk -v l="$2" 'index($1, l) == 1 { print $3; exit }')
    [ -n "$lib" ] || die "$1 loads no $2"
    dpkg -S "$(basename "$lib")" | awk -F': ' -v f="/$(basename "$lib")" \
        'substr($2, length($2) - length(f) + 1) == f { sub(/:.*/, "", $1); print $1; exit }' | grep . ||
        die "no package ships $lib"
}
# The Debian packages whose versions decide the bytes, for the README.
libs=("$(lib_package wixl libmsi)" "$(lib_package wixl libgcab)")
[ ${#sign_args[@]} -eq 0 ] || libs+=(osslsigncode "$(lib_package osslsigncode libssl)")
toolchain=$(dpkg-query -W -f '    ${Package} ${Version}\n' \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev zip \
    wixl msitools "${libs[@]}")

version=$(sed -n 's/^#define TAVRILEX_VERSION_TEXT "\(.*\)"$/\1/p' "$work/win32/generated/TavrilexVersion.h")
[ -n "$version" ] || die "no version in $work/win32/generated/TavrilexVersion.h"
zip_name=tavrilex-$version.zip
msi_names=("tavrilex-$version-x86.msi" "tavrilex-$version-x64.msi")

# The tree that becomes the zip. Text files get Windows line ends.
stage=$work/zip
crlf() { sed 's/\r*$/\r/'; }
signed_text=   # in the README of a signed release only: unsigned, the bytes stay as they were
[ ${#sign_args[@]} -eq 0 ] || signed_text="Both executables and both packages carry an Authenticode signature. Check
one in PowerShell: Status must be Valid, and the signer the one you expect.

    Get-AuthenticodeSignature .\\win64\\tavrilex.exe | Format-List

"
rebuild_text='Running that script on the same commit with the same packages gives the
same SHA256SUMS; the source'"'"'s DEVELOPING.md, "Reproducible builds", tells how.'
[ ${#sign_args[@]} -eq 0 ] || rebuild_text='Running that script on the same commit with the same packages, without a
key, gives both executables as they are here with their signatures removed
(osslsigncode remove-signature); the source'"'"'s DEVELOPING.md, "Signed
releases", tells how.'
out=$work/dist   # becomes dist/ once everything in it is made and verified
mkdir -p "$stage/win32" "$stage/win64" "$out"
cp "$work/win32/tavrilex.exe" "$stage/win32/tavrilex.exe"
cp "$work/win64/tavrilex.exe" "$stage/win64/tavrilex.exe"
if [ ${#sign_args[@]} -gt 0 ]; then sign "$stage/win32/tavrilex.exe" && sign "$stage/win64/tavrilex.exe"; fi
crlf >"$stage/README.txt" <<EOF
Tavrilex $version
=============

Tavrilex is a Windows service that keeps the service quorbel running: it
starts quorbel within a fraction of a second of a stop, and checks it every
5 seconds. It writes to the Application event log, source Tavrilex.
Windows 7 / Server 2008 R2 or later. The full manual is README.md in the
source.

Before you install
------------------
- Tavrilex refuses to stop: sc.exe stop Tavrilex is refused, and a removal
  lets the running instance go on until the next restart.
- It starts quorbel again whenever quorbel stops. To keep quorbel down,
  disable it first (see Maintenance).
- It watches the service quorbel and has no settings.

What is in this zip
-------------------
win32\\tavrilex.exe   32-bit; runs on 32-bit and 64-bit Windows.
win64\\tavrilex.exe   64-bit; native on 64-bit Windows only.
SHA256SUMS           SHA-256 of README.txt and of both executables.

${signed_text}Check the files (PowerShell, in the unzipped folder; compare each hash with
its line in SHA256SUMS):

    Get-FileHash .\\README.txt -Algorithm SHA256
    Get-FileHash .\\win32\\tavrilex.exe -Algorithm SHA256
    Get-FileHash .\\win64\\tavrilex.exe -Algorithm SHA256

Install on one server (elevated command prompt, in the unzipped folder)
-----------------------------------------------------------------------
It runs as LocalSystem: keep it in a folder only administrators can write.

    mkdir "C:\\Program Files\\Tavrilex"
    copy win32\\tavrilex.exe "C:\\Program Files\\Tavrilex\\"
    "C:\\Program Files\\Tavrilex\\tavrilex.exe" -install
    sc.exe start Tavrilex

Deploy to many machines
-----------------------
Use the Windows Installer packages published beside this zip,
${msi_names[0]} (32-bit) or ${msi_names[1]} (64-bit), one per machine:

    start /wait msiexec /i ${msi_names[1]} /qn /norestart /l*v C:\\Windows\\Temp\\tavrilex.log
    echo %ERRORLEVEL%

0 installed, 3010 done with a restart pending, 1603 failed (see the log).

Maintenance (elevated prompt)
-----------------------------
Keep quorbel stopped:   sc.exe config quorbel start= disabled
                        sc.exe stop quorbel
Give it back:           sc.exe config quorbel start= demand
Check:                  sc.exe query Tavrilex
                        sc.exe qfailure Tavrilex
Remove Tavrilex:        "C:\\Program Files\\Tavrilex\\tavrilex.exe" -remove
                        (it runs on until the next restart)
Stop it at once:        -remove as above first, then taskkill /f /im tavrilex.exe
                        (the other way round, Windows restarts it)

Rebuild it bit for bit
----------------------
Built from commit $commit
by scripts/package.sh on $(. /etc/os-release && echo "${PRETTY_NAME:-Debian}") with these packages:
$toolchain
$rebuild_text
EOF
chmod 0644 "$stage/README.txt"
chmod 0755 "$stage/win32/tavrilex.exe" "$stage/win64/tavrilex.exe"
files=(README.txt win32/tavrilex.exe win64/tavrilex.exe)
(cd "$stage" && sha256sum "${files[@]}") | crlf >"$stage/SHA256SUMS"
chmod 0644 "$stage/SHA256SUMS"
files=(README.txt SHA256SUMS win32/tavrilex.exe win64/tavrilex.exe)
touch -d "@$SOURCE_DATE_EPOCH" "${files[@]/#/$stage/}"

# zip stores local time, hence TZ; -X leaves out owners and extra time
# fields; -D adds no folder entries; the entries go in the order named.
(cd "$stage" && TZ=UTC zip -X -D -q -9 "$out/$zip_name" "${files[@]}") || die "zip failed"
export SOURCE_DATE_EPOCH
scripts/msi.sh x86 "$stage/win32/tavrilex.exe" "$version" "$out/${msi_names[0]}" || die "the x86 package failed"
scripts/msi.sh x64 "$stage/win64/tavrilex.exe" "$version" "$out/${msi_names[1]}" || die "the x64 package failed"
if [ ${#sign_args[@]} -gt 0 ]; then sign "$out/${msi_names[0]}" && sign "$out/${msi_names[1]}"; fi
{ (cd "$out" && sha256sum "$zip_name" "${msi_names[@]}") | crlf; cat "$stage/SHA256SUMS"; } >"$out/SHA256SUMS"
# The new release replaces the last one only whole and checked; until this
# point a failed run has left dist/ as it was.
(cd "$out" && tr -d '\r' <SHA256SUMS | head -n 3 | sha256sum -c --quiet) || die "the new release does not match its SHA256SUMS"
rm -rf "$dist.old"
[ ! -e "$dist" ] || mv "$dist" "$dist.old"
mv "$out" "$dist"
rm -rf "$dist.old"

echo
echo "package: wrote dist/$zip_name, dist/${msi_names[0]}, dist/${msi_names[1]} and dist/SHA256SUMS"
echo "package: commit $commit, entries dated $(TZ=UTC date -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC')"
if [ ${#sign_args[@]} -gt 0 ]; then
    echo "package: signed with SHA-256 at that time${stamp_args:+, timestamped}; every signature verified against $cafile"
else
    echo "package: unsigned: no signing key given (DEVELOPING.md, \"Signed releases\")"
fi
tr -d '\r' <"$dist/SHA256SUMS"
