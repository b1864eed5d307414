#!/usr/bin/env bash
# Checks a built tavrilex.exe without running it:
#
#   tests/e2e/check-image.sh <tavrilex.exe> win32|win64
#
# its PE headers (PE32 for i386 or PE32+ for x86-64, console subsystem 3), that it
# imports only DLLs every Windows ships (KERNEL32, ADVAPI32, msvcrt), its
# version resource, its embedded manifest and the event log's message table
# (message 0 is the record's second string). Prints one line per finding and
# exits non-zero when anything is wrong.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 <tavrilex.exe> win32|win64" >&2
    exit 2
fi
exe=$1 bits=$2
case $bits in
    win32) kind_want="signature 17744, machine 332, magic 267, subsystem 3"; name="PE32 i386"; objdump=i686-w64-mingw32-objdump
           windres=i686-w64-mingw32-windres ;;
    win64) kind_want="signature 17744, machine 34404, magic 523, subsystem 3"; name="PE32+ x86-64"; objdump=x86_64-w64-mingw32-objdump
           windres=x86_64-w64-mingw32-windres ;;
    *) echo "usage: $0 <tavrilex.exe> win32|win64" >&2; exit 2 ;;
esac
[ -f "$exe" ] || { echo "image $bits: $exe is missing"; exit 1; }

# The version the build took from the project's one statement of it.
version=$(sed -n 's/^project(Tavrilex VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")

bad=0
wrong() { echo "image $bits: $*"; bad=1; }

# The kind from the headers themselves, not from file(1), whose wording
# changes between releases: signature, machine, optional header's magic, subsystem.
num() { od -An -tu"$2" -j "$1" -N "$2" "$exe" 2>/dev/null | tr -d ' '; }
pe=$(num 60 4)
kind="signature $(num "${pe:-0}" 4), machine $(num $((pe + 4)) 2), magic $(num $((pe + 24)) 2), subsystem $(num $((pe + 92)) 2)"
[ "$kind" = "$kind_want" ] || wrong "the headers say [$kind], expected [$kind_want]"

dlls=$("$objdump" -p "$exe" 2>/dev/null | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$dlls" ] || wrong "$objdump finds no imports"
unexpected=$(grep -viE '^(kernel32|advapi32|msvcrt)\.dll$' <<<"$dlls")
[ -z "$unexpected" ] || wrong "imports DLLs beyond KERNEL32, ADVAPI32 and msvcrt: $(echo $unexpected)"

strings=$(strings -el "$exe")
for key in FileDescription=Tavrilex ProductName=Tavrilex FileVersion=$version \
           ProductVersion=$version OriginalFilename=tavrilex.exe; do
    value=$(grep -A1 -x "${key%%=*}" <<<"$strings" | sed -n 2p)
    [ "$value" = "${key#*=}" ] || wrong "version resource ${key%%=*} is [$value], expected [${key#*=}]"
done
grep -q 'requestedExecutionLevel level="asInvoker"' <(strings "$exe") ||
    wrong "no embedded manifest asking for asInvoker"

# windres reads the resources back and dumps a message table in the
# message compiler's own syntax.
messages=$("$windres" -i "$exe" -O rc 2>/dev/null | tr -d '\r')
grep -q 'RT_MESSAGETABLE' <<<"$messages" || wrong "no message table resource"
grep -A1 -x '   MessageId = 0x0' <<<"$messages" | grep -qF '%2%0' ||
    wrong "message 0 of the message table is not the record's second string"

[ "$bad" -eq 0 ] && echo "image $bits: $name console; imports $(echo $dlls); version resource, manifest and message table present"
exit "$bad"
