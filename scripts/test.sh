#!/usr/bin/env bash
# The whole test suite: native unit tests (plain, ASan+UBSan, TSan) against the
# simulated platform, the release built twice and compared, then the real
# tavrilex.exe under Wine's service control manager. Installs what is missing
# first. Exits non-zero when anything fails, and always ends with the failed
# steps and its "total:" line, whatever this machine lacks.
#
# TAVRILEX_STEPS=REGEX runs only the steps whose names match it.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

jobs=$(nproc 2>/dev/null || echo 2)
total_passed=0
total_failed=0
failed_steps=()
logdir=$root/build/logs
mkdir -p "$logdir"

# Runs one step; its output is shown and kept; a failure is remembered and the
# suite goes on so that one run shows every broken step.
selected() { [[ $1 =~ ${TAVRILEX_STEPS:-.} ]]; }
step() {
    local name=$1; shift
    selected "$name" || return 0
    echo
    echo "=== $name"
    local start=$SECONDS
    if "$@" 2>&1 | tee "$logdir/$name.log"; then
        echo "=== $name: ok ($((SECONDS - start)) s)"
    else
        echo "=== $name: FAILED ($((SECONDS - start)) s)"
        failed_steps+=("$name")
    fi
}

# Adds a ctest or e2e log's counts to the totals.
count() {
    local log=$logdir/$1.log line
    selected "$1" && [ -f "$log" ] || return 0
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        local failed total
        failed=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
        total_passed=$((total_passed + total - failed))
        total_failed=$((total_failed + failed))
        return
    fi
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        total_passed=$((total_passed + $(cut -d' ' -f1 <<<"$line")))
        total_failed=$((total_failed + $(cut -d' ' -f3 <<<"$line")))
    fi
}

# A package that cannot be installed fails this step; the steps that need it
# then fail in their turn, and the run goes on to its total.
step setup bash scripts/setup.sh

native_preset() {
    local preset=$1
    cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" -j "$jobs" &&
        ctest --preset "$preset" -j "$jobs"
}

for preset in native asan tsan; do
    step "unit-$preset" native_preset "$preset"
    count "unit-$preset"
done

# A simulated day of the restart policy per kind of quorbel, on the virtual
# clock: Tavrilex's own records must stay within their bound in every row.
policy_days() {
    if bench/days.sh; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; return 1; fi
}
step policy-days policy_days
count policy-days

# libFuzzer over the process entry (argument vectors and simulated machines
# from the input) for 30 s; any crash, hang or broken oracle fails the step
# and leaves the input in build/logs/fuzz-*. The corpus grows across runs.
fuzz_entry() {
    local corpus=$root/build/fuzz/corpus rc
    mkdir -p "$corpus"
    cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$jobs" || return 1
    build/fuzz/tests/fuzz/entry_fuzz -max_total_time=30 -timeout=5 -print_final_stats=1 \
        -artifact_prefix="$logdir/fuzz-" "$corpus" tests/fuzz/corpus >"$logdir/fuzz-entry-run.log" 2>&1
    rc=$?
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$logdir/fuzz-entry-run.log"
    if [ "$rc" -eq 0 ]; then
        echo "1 passed, 0 failed"
    else
        tail -n 40 "$logdir/fuzz-entry-run.log"
        echo "0 passed, 1 failed"
    fi
    return "$rc"
}
step fuzz-entry fuzz_entry
count fuzz-entry

# Both Windows builds, each checked without running it: the 32-bit file is
# the product, the 64-bit one its native twin for 64-bit Windows.
windows_build() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs" &&
        tests/e2e/check-image.sh "build/$1/tavrilex.exe" "$1"
}
for preset in win32 win64; do
    step "$preset-build" windows_build "$preset"
done

# The release is reproducible: scripts/package.sh in two fresh clones of HEAD
# below build/repro/, one after the other, in folders of different names and
# the second with another umask and time zone, must give the same
# dist/SHA256SUMS (the zip, the two Windows Installer packages, and the
# executables and README in the zip). Clones,
# because a release is built from a commit: work not yet committed is not
# checked here. A difference names the file; both clones stay for a look.
release_repro() {
    local base=$root/build/repro head dir differ
    head=$(git rev-parse HEAD) || return 1
    rm -rf "$base" && mkdir -p "$base" || return 1
    echo "commit $head"
    for dir in one second-clone; do
        echo "building the release in build/repro/$dir"
        (
            if [ "$dir" != one ]; then umask 077; export TZ=XST-5:45; fi
            git clone -q --no-checkout --shared "$root" "$base/$dir" &&
                git -C "$base/$dir" checkout -q --detach "$head" &&
                "$base/$dir/scripts/package.sh"
        ) >"$logdir/release-repro-$dir.log" 2>&1 || {
            tail -n 30 "$logdir/release-repro-$dir.log"
            echo "0 passed, 1 failed"
            return 1
        }
    done
    differ=$(diff <(tr -d '\r' <"$base/one/dist/SHA256SUMS") \
                  <(tr -d '\r' <"$base/second-clone/dist/SHA256SUMS") |
             sed -n 's/^[<>] [0-9a-f]*  //p' | sort -u)
    tr -d '\r' <"$base/one/dist/SHA256SUMS"
    if [ -n "$differ" ] || [ "$(wc -l <"$base/one/dist/SHA256SUMS")" -ne 6 ]; then
        sed 's/^/differs between the two builds: /' <<<"${differ:-the list of files}"
        echo "0 passed, 1 failed"
        return 1
    fi
    echo "identical in build/repro/one and build/repro/second-clone"
    rm -rf "$base"
    echo "1 passed, 0 failed"
}
step release-repro release_repro
count release-repro

# No command the README gives is a bare sc, which PowerShell takes for Set-Content.
step readme-commands bash -c '! grep -nE "^\s*sc " README.md'

# The probe's outcomes, with stand-in loaders.
step wine-pick tests/e2e/wine-pick-test.sh
count wine-pick

# The Wine suites run the build this machine can execute; the step names say
# which, and the suites' first line says why.
source scripts/wine-pick.sh
wine_pick || { wine_build=none wine_label=${wine_label:-wine}; }
echo
echo "Wine suites: ${wine_why}"

step "e2e-$wine_label-$wine_build" tests/e2e/run.sh "$root/build"
count "e2e-$wine_label-$wine_build"

# The contract and formatting unit tests as Windows programs; after the
# end-to-end suite so that they can start from a copy of its booted prefix.
step "unit-$wine_label-$wine_build" tests/wine/run.sh "$root/build"
count "unit-$wine_label-$wine_build"

# The end-to-end suite and the Windows unit programs again on Wine 10, whose SCM notices a service process
# that dies, as Windows does: the crash rows hold there. Its root is made
# once (about 80 s) and kept outside the clone; a root that cannot be made
# fails this step with its reason.
step wine10-root bash scripts/wine10.sh make
if selected wine10-root &&
   [ -f "${TAVRILEX_WINE10_ROOT:-/var/cache/tavrilex/wine10}/.tavrilex-stamp" ]; then
    wine10=$(scripts/wine10.sh run bash -c 'source scripts/wine-pick.sh && wine_pick && echo "$wine_label-$wine_build"') ||
        wine10=wine10-none
    step "e2e-$wine10" scripts/wine10.sh run tests/e2e/run.sh "$root/build"
    count "e2e-$wine10"
    step "unit-$wine10" scripts/wine10.sh run tests/wine/run.sh "$root/build"
    count "unit-$wine10"
fi

echo
if [ ${#failed_steps[@]} -gt 0 ]; then
    echo "FAILED steps: ${failed_steps[*]}"
    # The root's reason, since without it the crash rows cannot run.
    [[ " ${failed_steps[*]} " != *" wine10-root "* ]] || grep -h '^wine10: ' "$logdir/wine10-root.log" | tail -n 1
fi
echo "total: $total_passed passed, $total_failed failed"
[ ${#failed_steps[@]} -eq 0 ] && [ "$total_failed" -eq 0 ]
