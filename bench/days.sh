#!/usr/bin/env bash
# Simulated days of Tavrilex (bench/PolicyDays.cpp), native: the real watch
# loop and stop watcher on the simulation's clock, stepped from one moment
# to the next. The fixed rows, then seeded random days (50 by default,
# a minute or two; --write runs 1000 and puts the tables into
# bench/RESULTS.md). Exits non-zero when a promise breaks, after printing the
# day's seed and a short stretch of its runs that breaks it again.
#
#   bench/days.sh [--write] [--days N] [--seed S]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
die() { echo "days: $*" >&2; exit 1; }

native=build/days
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRILEX_TESTS=OFF >/dev/null &&
    cmake --build "$native" --target tavrilex_core win32_sim >/dev/null || die "the native build failed"
g++ -O2 -std=c++17 -Wall -Wextra -Werror -Ihost -Iwatchdog -Icli -Iplatform -Itests/sim \
    bench/PolicyDays.cpp "$native/libtavrilex_core.a" "$native/tests/sim/libwin32_sim.a" -pthread \
    -o "$native/policydays" || die "PolicyDays did not build"

write=false days=50 seed=20261209
while [ $# -gt 0 ]; do
    case $1 in
    --write) write=true days=1000 ;;
    --days) days=$2; shift ;;
    --seed) seed=$2; shift ;;
    *) die "unknown argument $1" ;;
    esac
    shift
done
table=$("$native/policydays" --days "$days" --seed "$seed")
status=$?
echo "$table"
[ "$status" -eq 0 ] || echo "days: a promise breaks" >&2

if $write && [ "$status" -eq 0 ]; then
    body=$(mktemp)
    trap 'rm -f "$body"' EXIT
    {
        echo "<!-- begin days -->"
        echo "## bench/days.sh"
        echo
        echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
        echo "- Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), Linux $(uname -r)"
        echo "- Command: \`bench/days.sh --write\` (native, the simulation's virtual clock; fixed rows seed 20261209, random days seeded $seed to $((seed + days - 1)))"
        echo
        echo "A day per row of the real watch loop and stop watcher (CSampleService)"
        echo "beside a simulated quorbel, on the simulation's clock, which moves from"
        echo "one moment a thread wakes or quorbel changes to the next. The random days"
        echo "draw each day's quorbel from its seed: quick crashes, runs of seconds to"
        echo "hours, bursts, an administrator's stops, stops answered by someone"
        echo "else's start (often before the watcher's), stops that hang in"
        echo "STOP_PENDING, stops while a record of ours is written or right after the"
        echo "poll's look, wrong logons passing or lasting; one day in twenty a status"
        echo "that cannot be read, one in twenty a wrong logon from boot. The promises,"
        echo "checked after every step: at most seven of the policy's own records in"
        echo "any hour, warnings an hour apart, none of them before the start of its"
        echo "stop; every figure in a record one that could be true; every stop"
        echo "mended at once outside a fast crash loop, which is told at once; a"
        echo "lockout count (CIS: 5 failures, reset 15 minutes after the last;"
        echo "Windows' default: 10, 10 minutes; the SCM's try at boot counted, no"
        echo "success counted) that never reaches its threshold; no try within a"
        echo "minute of a wrong logon, at most two within 30 minutes; a logon failing"
        echo "for a minute over within two; the first wrong logon told within a poll."
        echo "Worst hour: the most records of the policy's own within any 60 minutes;"
        echo "worst day: the most in one day. The error records (ID 0) are not the"
        echo "policy's."
        echo
        echo "Before this bench drove the real loop and watcher (commit 339e577), its"
        echo "days found none of a probe's faults that the unit tests missed. On that"
        echo "code this bench breaks at once: the row whose stops someone else answers"
        echo "first gets \"quorbel,8,5,1271310021\" (ID 5's seconds wrapped), the"
        echo "first random day (seed 20261209) an ID 5 naming more starts of ours than"
        echo "there were, and the wrong logon from boot reaches CIS's threshold at the"
        echo "fifth failure, 30 minutes after boot."
        echo
        echo "$table"
        echo "<!-- end days -->"
    } >"$body"
    source bench/results-lib.sh && write_section days "$body"
fi
exit "$status"
