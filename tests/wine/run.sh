#!/usr/bin/env bash
# Runs the Windows unit test programs under Wine: contract_tests.exe (the
# platform contract against Wine's real service control manager and kernel)
# and format_tests.exe (the formatting tests against strsafe and mingw's run-time).
#
#   tests/wine/run.sh <build root holding win32/ and win64/>
#
# Runs the build that scripts/wine-pick.sh chooses for this machine (win32
# where it executes 32-bit code, win64 otherwise) and says which and why.
# Uses a throwaway Wine prefix below <build>/wine-tests: a copy of the
# end-to-end suite's clean template when one is there, a freshly booted prefix
# otherwise. Prints each program's gtest output and ends with
# "N passed, M failed" summed over both programs. Exits non-zero when anything
# failed. Stops only the wineserver of its own prefix.
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 <build root holding win32/ and win64/>" >&2
    exit 2
fi
builds=$(cd "$1" 2>/dev/null && pwd) || { echo "no such build root: $1" >&2; exit 2; }
source "$(dirname "$0")/../../scripts/wine-pick.sh"
wine_pick_suite
build=$builds/$wine_build
work=$build/wine-tests-$wine_label
prefix=$work/prefix
template=$build/e2e-$wine_label/template
programs=(format_tests contract_tests)
program_limit_s=90

wine_limit_s=$program_limit_s
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko install prompts
export WINEDEBUG=-all
export WINEPREFIX=$prefix
unset DISPLAY WAYLAND_DISPLAY

passed=0
failed=0
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

cleanup() {
    if [ -d "$prefix" ]; then
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
        rm -rf "$prefix"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! command -v wineserver >/dev/null; then
    echo "FAIL setup: wineserver is not installed"
    failed=1
    finish
fi
for name in "${programs[@]}"; do
    if [ ! -f "$build/tests/wine/$name.exe" ]; then
        echo "FAIL setup: $build/tests/wine/$name.exe is missing (build the $wine_build preset first)"
        failed=1
        finish
    fi
done

start=$SECONDS
cleanup
mkdir -p "$work"
# The end-to-end suite leaves its template shut down cleanly, so a copy boots
# like a fresh prefix, only sooner.
if [ -f "$template/system.reg" ] && mkdir -p "$prefix" && cp -a "$template/." "$prefix/" 2>/dev/null; then
    origin="copy of $template"
else
    rm -rf "$prefix"
    origin="fresh prefix"
    # Waits for the first boot's set-up to end, so the tests start from a
    # prefix at rest.
    if ! { wine wineboot -i </dev/null >"$work/boot.log" 2>&1 && wineserver -w; }; then
        echo "FAIL setup: the Wine prefix did not boot (see $work/boot.log)"
        failed=1
        finish
    fi
fi
# One wineserver for both programs, so that the service control manager boots
# once, before the first test; the cleanup stops it.
wineserver -p </dev/null >/dev/null 2>&1
if ! wine cmd /c exit </dev/null >/dev/null 2>>"$work/boot.log"; then
    echo "FAIL setup: the Wine prefix did not start (see $work/boot.log)"
    failed=1
    finish
fi
mkdir -p "$prefix/drive_c/wine-tests"
for name in "${programs[@]}"; do
    cp "$build/tests/wine/$name.exe" "$prefix/drive_c/wine-tests/"
done
echo "(prefix: $origin, ready in $((SECONDS - start)) s)"

# Adds up gtest's closing lines: "[  PASSED  ] N tests." and
# "[  FAILED  ] N tests, listed below:". The contract program shows the run of
# its service process in between, with closing lines of its own.
count_lines() {
    local pattern=$1 file=$2
    sed -nE "s/^\[  $pattern  \] ([0-9]+) tests?[.,].*/\1/p" "$file" | awk '{ sum += $1 } END { print sum + 0 }'
}

for name in "${programs[@]}"; do
    out=$work/$name.out
    echo
    echo "=== $name.exe"
    # Standard input and output are files: Wine's own processes outlive the
    # program and would hold a pipe open.
    wine "C:\\wine-tests\\$name.exe" </dev/null >"$out" 2>"$work/$name.err"
    rc=$?
    # Wine now and then never ends a test's own service process (the
    # dispatcher cases); a failed program runs once more, and both runs show.
    if [ "$rc" -ne 0 ]; then
        cat "$out"
        echo "=== $name.exe failed (exit code $rc); running it once more"
        wine "C:\\wine-tests\\$name.exe" </dev/null >"$out" 2>"$work/$name.err"
        rc=$?
    fi
    cat "$out"
    program_passed=$(count_lines PASSED "$out")
    program_failed=$(count_lines FAILED "$out")
    if [ "$rc" -ne 0 ] && [ "$program_failed" -eq 0 ]; then
        # A crash or a timeout: gtest never got to its closing lines.
        if [ "$rc" -eq 124 ]; then
            echo "FAIL $name.exe: still running after $program_limit_s s"
        else
            echo "FAIL $name.exe: ended with code $rc before reporting a failure (see $work/$name.err)"
        fi
        program_failed=1
    elif [ "$program_passed" -eq 0 ] && [ "$program_failed" -eq 0 ]; then
        echo "FAIL $name.exe: ran no test"
        program_failed=1
    fi
    echo "=== $name.exe: exit code $rc, $program_passed passed, $program_failed failed"
    passed=$((passed + program_passed))
    failed=$((failed + program_failed))
done

echo
echo "(whole run ${SECONDS} s)"
finish
