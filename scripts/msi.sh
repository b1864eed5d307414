#!/usr/bin/env bash
# Builds one Windows Installer package of tavrilex.exe from cli/tavrilex.wxs:
#
#   SOURCE_DATE_EPOCH=<seconds> scripts/msi.sh <x86|x64> <tavrilex.exe> <version> <out.msi>
#
# The same inputs give the same bytes. wixl would draw a new package code and
# stamp the build time into the summary information, and its cabinet keeps
# the file's modification time; so the codes are derived here, and every time
# is SOURCE_DATE_EPOCH, in UTC. The product code comes from version and
# architecture; the package code from the package's own bytes, built with a
# placeholder in its place, so that it changes whenever anything that shapes
# them does: the file, the .wxs, this script, wixl and the libraries it uses,
# or the time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "msi: $*" >&2; exit 1; }

[ $# -eq 4 ] || die "usage: scripts/msi.sh <x86|x64> <tavrilex.exe> <version> <out.msi>"
arch=$1 exe=$2 version=$3 out=$4
case $arch in x86|x64) ;; *) die "architecture '$arch' is neither x86 nor x64" ;; esac
[ -f "$exe" ] || die "no such file: $exe"
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "version '$version' is not major.minor.patch"
[ -n "${SOURCE_DATE_EPOCH:-}" ] || die "SOURCE_DATE_EPOCH is not set"
for tool in wixl msibuild msiinfo; do
    command -v "$tool" >/dev/null || die "$tool is not installed (scripts/setup.sh package)"
done
wxs=$root/cli/tavrilex.wxs
export TZ=UTC

# A name-based GUID: 128 bits of the name's SHA-256 with the version and
# variant bits of a name-based UUID, in the upper case Windows Installer wants.
derived_guid() {
    local h
    h=$(printf '%s' "$1" | sha256sum | cut -c1-32)
    printf '%s-%s-5%s-%x%s-%s\n' "${h:0:8}" "${h:8:4}" "${h:13:3}" \
        $(( (0x${h:16:1} & 3) | 8 )) "${h:17:3}" "${h:20:12}" | tr a-f A-F
}
product_code=$(derived_guid "Tavrilex product $arch $version")

# -install's required privileges and service SID type, written once, in
# cli/Commands.cpp; the package gives them to a registration it keeps with
# sc.exe (a privilege list there is separated by slashes).
commands=$root/cli/Commands.cpp
privileges=$(sed -n 's#^ *SERVICE_REQUIRED_PRIVILEGES_INFOW privileges = {const_cast<LPWSTR>(L"\(.*\)\\0")};$#\1#p' "$commands")
privileges=${privileges//\\0//}
sid_type=$(sed -n 's/^ *SERVICE_SID_INFO sid = {SERVICE_SID_TYPE_\([A-Z]*\)};$/\1/p' "$commands" | tr A-Z a-z)
[[ $privileges =~ ^Se[A-Za-z]+(/Se[A-Za-z]+)*$ && $sid_type =~ ^(none|unrestricted|restricted)$ ]] ||
    die "cannot read -install's required privileges and SID type from $commands"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/tavrilex.exe"
touch -d "@$SOURCE_DATE_EPOCH" "$work/tavrilex.exe"

# wixl reports unknown attributes as warnings and goes on; they are errors here.
# wixl takes relative file names only; it finds them from the current folder.
(cd "$work" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D ProductCode="$product_code" \
    -D Exe=tavrilex.exe -D Privileges="$privileges" -D SidType="$sid_type" -o out.msi "$wxs") 2>"$work/wixl.err" ||
    { cat "$work/wixl.err" >&2; die "wixl failed"; }
[ ! -s "$work/wixl.err" ] || { cat "$work/wixl.err" >&2; die "wixl warned"; }

# wixl writes the undo actions as immediate ones (no in-script and rollback
# bits), which would run them at once; 3410 = rollback | in-script |
# no impersonation | ignore the exit code | exe from an installed file (18).
msibuild "$work/out.msi" -q "UPDATE CustomAction SET Type = 3410
    WHERE Action = 'UndoRegisterTavrilex' OR Action = 'UndoUnregisterTavrilex'"
# The uninstall's action runs cmd.exe, the settings' actions sc.exe, each
# whole command line in its target: 3106 = deferred | no impersonation | exe
# named by the target, run in the folder that the source names (34).
msibuild "$work/out.msi" -q "UPDATE CustomAction SET Type = 3106, Source = 'TavrilexFolder'
    WHERE Action = 'UnregisterTavrilex' OR Action = 'TavrilexPrivileges' OR Action = 'TavrilexSidType'"
# The event source's message file, REG_EXPAND_SZ as -install writes it.
msibuild "$work/out.msi" -q "UPDATE Registry SET Value = '#%[#TavrilexExe]' WHERE Name = 'EventMessageFile'"
# The settings after -install (4020), before StartServices (5900): checked in
# the package as built, since wixl may renumber the standard actions.
order=$(msiinfo export "$work/out.msi" InstallExecuteSequence | tr -d '\r' | tail -n +4 | sort -t $'\t' -k3n |
        awk -F'\t' '$1 ~ /^(RegisterTavrilex|TavrilexPrivileges|TavrilexSidType|StartServices)$/ { print $1 }' | paste -sd' ')
[ "$order" = "RegisterTavrilex TavrilexPrivileges TavrilexSidType StartServices" ] ||
    die "sc.exe does not act between -install and the start: $order"

actions=$(msiinfo export "$work/out.msi" CustomAction | tr -d '\r' | tail -n +4 | cut -f1,2,3 | sort | tr '\t\n' ' ')
[ "$actions" = "RegisterTavrilex 3090 TavrilexExe TavrilexPrivileges 3106 TavrilexFolder TavrilexSidType 3106 TavrilexFolder UndoRegisterTavrilex 3410 TavrilexExe UndoUnregisterTavrilex 3410 TavrilexExe UnregisterTavrilex 3106 TavrilexFolder " ] ||
    die "unexpected custom action types: $actions"

# The summary information with the pinned time and a placeholder code; then
# the code derived from those bytes in its place.
stamp=$(date -d "@$SOURCE_DATE_EPOCH" '+%Y/%m/%d %H:%M:%S')
placeholder=00000000-0000-0000-0000-000000000000
msiinfo export "$work/out.msi" _SummaryInformation |
    sed "s#^9\t.*#9\t{$placeholder}\r#; s#^\(1[23]\)\t.*#\1\t$stamp\r#" \
    >"$work/_SummaryInformation.idt"
(cd "$work" && msibuild out.msi -i _SummaryInformation.idt)
package_code=$(derived_guid "Tavrilex package $(sha256sum <"$work/out.msi" | cut -c1-64)")
sed -i "s#^9\t{$placeholder}#9\t{$package_code}#" "$work/_SummaryInformation.idt"
(cd "$work" && msibuild out.msi -i _SummaryInformation.idt)
msiinfo suminfo "$work/out.msi" | grep -qxF "Revision number (UUID): {$package_code}" ||
    die "the package code did not reach the summary information"

mv "$work/out.msi" "$out"
