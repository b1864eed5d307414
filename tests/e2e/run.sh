#!/usr/bin/env bash
# End-to-end suite: the real tavrilex.exe against Wine's real service control
# manager.
#
#   tests/e2e/run.sh <build root holding win32/ and win64/> [case ...]
#
# e.g. tests/e2e/run.sh build; naming cases runs only those. The probe in
# scripts/wine-pick.sh chooses the build: win32 where this machine executes
# 32-bit code, win64 under Wine's 64-bit half where it does not; the first
# line of the output says which and why.
#
# Each case gets a fresh copy of one clean, booted Wine prefix below
# <build dir>/e2e, with its own wineserver kept alive between commands: Wine
# never notices a service process that dies without reporting stopped, and a
# registration deleted while its service runs survives a killed prefix, so no
# case may inherit another's state. Prints one line per case (PASS, FAIL or
# SKIP with what was measured) and ends with "N passed, M failed". Exits
# non-zero when anything failed.
set -uo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 <build root holding win32/ and win64/> [case ...]" >&2
    exit 2
fi
builds=$(cd "$1" 2>/dev/null && pwd) || { echo "no such build root: $1" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-pick.sh"
wine_pick_suite
build=$builds/$wine_build
exe=$build/tavrilex.exe
shipped=$builds/win32/tavrilex.exe
stub=$build/tests/e2e/quorbel_stub.exe
message_check=$build/tests/e2e/message_check.exe
work=$build/e2e-$wine_label
template=$work/template
cases_dir=$work/cases
jobs_max=2

wine_limit_s=60   # per wine, sc or reg call; a hung one fails its case
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko install prompts
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
# Debug channels of the booting wine command. The service processes inherit
# its standard error, so every ReportEventW of Tavrilex lands in the case's
# services.err: the advapi fixme carries the record's type, category, id, SID,
# string count and data size, and the eventlog lines carry its strings.
# Pointers print as wide as the build's, so they are shown as plain numbers.
event_debug="-all,+eventlog,fixme+advapi"

tav='C:\e2e\tavrilex.exe'
stub_win='C:\e2e\quorbel_stub.exe'
message_check_win='C:\e2e\message_check.exe'
services_key='HKLM\System\CurrentControlSet\Services'
poll_limit_ms=6000      # one poll period (5000 ms) plus the time of a poll

# ---------------------------------------------------------------------------
# Helpers used inside a case. A case runs in a subshell of its own with its
# log as standard output; `dir` is its folder and `prefix` its Wine prefix.

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Ends the case. Also works inside $(...): the reason goes to a file and to
# standard error, which is the case's log.
fail() {
    echo "FAIL: $*" >&2
    printf '%s\n' "$*" >"$dir/reason"
    exit 1
}

# Adds one measured fact to the case's result line.
note() {
    echo "note: $*"
    printf '%s\n' "$*" >>"$dir/notes"
}

expect_eq() {
    [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
}

# Shows bytes with \r and \n spelt out, for messages about console output.
visible() {
    local text
    text=$(cat "$1"; echo x)
    text=${text%x}
    text=${text//$'\r'/\\r}
    printf '%s' "${text//$'\n'/\\n}"
}

# Copies the template into this case's folder, puts the exe and the stub in
# C:\e2e and boots the prefix. $1: the wineserver persistence switch (-p keeps
# the prefix alive until it is killed).
open_prefix() {
    prefix=$dir/prefix
    cp -a "$template" "$prefix" || fail "cannot copy the template prefix"
    export WINEPREFIX=$prefix
    mkdir -p "$prefix/drive_c/e2e"
    cp "$exe" "$stub" "$message_check" "$prefix/drive_c/e2e/" || fail "cannot copy the executables"
    cp "$work/msi/"*.msi "$prefix/drive_c/e2e/" || fail "cannot copy the packages"
    cp "$build/tests/e2e/sc_stub.exe" "$prefix/drive_c/windows/system32/sc.exe" || fail "cannot place the stand-in sc.exe"
    printf '@"%%~1" %%2 %%3 %%4\r\n@echo %%ERRORLEVEL%%>C:\\e2e\\rc.txt\r\n' >"$prefix/drive_c/e2e/rc.bat"
    boot_prefix "${1:--p}"
}

boot_prefix() {
    wineserver "$1" </dev/null >/dev/null 2>&1
    WINEDEBUG=$event_debug wine cmd /c exit </dev/null >/dev/null 2>>"$dir/services.err" ||
        fail "the prefix did not boot"
}

close_prefix() {
    if [ -n "${prefix:-}" ] && [ -d "$prefix" ]; then
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
        WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
        rm -rf "$prefix"
    fi
}

# When Wine cannot load a program's image, it runs start.exe in its place,
# which prints "ShellExecuteEx failed: ..." on standard output and exits 1.
# A loaded machine saw that once for sc.exe ("Internal error"). No program
# this suite runs prints that text, so such a call is made again, at most
# twice, and the case's result line says so.
wine() {
    local out rc try
    out=$(mktemp "${dir:-$work}/wine-out.XXXXXX") || return 1
    for try in 1 2 3; do
        timeout -k 5 "$wine_limit_s" "${wine_chroot[@]}" "$WINELOADER" "$@" >"$out"
        rc=$?
        grep -q 'ShellExecuteEx failed' "$out" || break
        [ -z "${dir:-}" ] ||
            printf 'Wine could not load %s (try %d): %s\n' "$1" "$try" "$(tr -d '\r' <"$out" | tail -n 1)" >>"$dir/notes"
        sleep 0.5
    done
    cat "$out"
    rm -f "$out"
    return "$rc"
}

sc() { wine sc "$@" </dev/null 2>/dev/null; }

# The state number that sc reports for a service; empty when sc knows none.
svc_state() { sc query "$1" | sed -n 's/^ *STATE *: *\([0-9][0-9]*\).*/\1/p' | head -n 1; }

# Waits until service $1 is in state $2, for at most $3 ms; prints the
# milliseconds waited. Returns 1 on timeout.
wait_state() {
    local start elapsed
    start=$(now_ms)
    while :; do
        elapsed=$(( $(now_ms) - start ))
        if [ "$(svc_state "$1")" = "$2" ]; then echo "$elapsed"; return 0; fi
        if [ "$elapsed" -gt "$3" ]; then echo "$elapsed"; return 1; fi
        sleep 0.05
    done
}

# Registers the stand-in quorbel: demand start, so only Tavrilex starts it;
# $1, when given, is its behaviour (see the stand-in), read at each start.
register_quorbel() {
    printf '%s' "${1:-}" >"$prefix/drive_c/e2e/quorbel.behaviour"
    sc create quorbel binPath= "$stub_win quorbel C:\\e2e\\quorbel.journal @C:\\e2e\\quorbel.behaviour" start= demand
    expect_eq "quorbel state after registering" 1 "$(svc_state quorbel)"
}

# Runs tavrilex.exe ($3, a Windows path) with the remaining arguments and
# checks what a console user sees: exit code $1, standard output equal to $2
# byte for byte, and on standard error nothing, or the usage line when the
# exit code is 87.
expect_console() {
    local want_rc=$1 expected=$2 path=$3 rc unix_rc errors expected_errors=""
    shift 3
    # A Unix exit status keeps only the low 8 bits of the Windows exit code;
    # cmd's ERRORLEVEL has all 32, so a batch file writes it down.
    rm -f "$prefix/drive_c/e2e/rc.txt"
    wine cmd /c 'C:\e2e\rc.bat' "$path" "$@" </dev/null >"$dir/console.out" 2>"$dir/console.err"
    unix_rc=$?
    rc=$(tr -d '\r\n ' <"$prefix/drive_c/e2e/rc.txt" 2>/dev/null)
    printf '%s' "$expected" >"$dir/console.expected"
    echo "console: $path $* -> rc $rc, stdout [$(visible "$dir/console.out")]"
    expect_eq "exit code of '$*'" "$want_rc" "$rc"
    expect_eq "Unix exit status of '$*'" "$(( want_rc % 256 ))" "$unix_rc"
    # WINEDEBUG=-all silences Wine itself, so whatever is left came from the
    # program; Wine's own lines would start with a thread id and a class.
    errors=$(grep -vE '^[0-9a-f]{4}:(fixme|err|warn|trace):' "$dir/console.err" | tr -d '\r')
    [ "$want_rc" != 87 ] || expected_errors="usage: tavrilex.exe -install | -remove"
    [ "$errors" = "$expected_errors" ] ||
        fail "'$*' wrote [$errors] to standard error, expected [$expected_errors]"
    cmp -s "$dir/console.expected" "$dir/console.out" ||
        fail "'$*' printed [$(visible "$dir/console.out")], expected [$(visible "$dir/console.expected")]"
}

# Installs from C:\e2e and checks the console message.
install_tavrilex() { expect_console 0 $'Tavrilex is installed.\r\n' "$tav" -install; }

event_source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\Tavrilex'

# The values of the event source, one "name type data" line each; empty when
# the key is missing (reg prints its error on standard output then).
event_source() {
    local out
    out=$(wine reg query "$event_source_key" </dev/null 2>/dev/null) || return 0
    tr -d '\r' <<<"$out" | sed -n 's/^ *\([A-Za-z]*\) *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2 \3/p'
}

start_tavrilex() {
    sc start Tavrilex >/dev/null
    wait_state Tavrilex 4 5000 >/dev/null || fail "Tavrilex did not reach RUNNING after sc start"
}

# The event records in the case's services.err, one line each:
# "type=.. category=.. id=.. sid=.. strings=.. data=.. raw=.. | string | ...".
event_records() {
    awk '
        function ptr(p) { sub(/^ */, "", p); sub(/^0+/, "", p); return p == "" ? "0" : p }
        /:fixme:advapi:ReportEventW \(/ {
            if (rec != "") print rec
            args = $0
            sub(/^[^(]*\(/, "", args); sub(/\).*$/, "", args)
            split(args, f, ",")
            rec = "type=" f[2] " category=" f[3] " id=" f[4] " sid=" ptr(f[5]) \
                  " strings=" f[6] " data=" f[7] " raw=" ptr(f[9])
            next
        }
        /:(err|warn|trace):eventlog:ReportEventW L"/ {
            s = $0
            sub(/^[^"]*L"/, "", s); sub(/"$/, "", s)
            rec = rec " | " s
        }
        END { if (rec != "") print rec }
    ' "$dir/services.err"
}

record_count() { grep -c ':fixme:advapi:ReportEventW (' "$dir/services.err"; }

error_record() {
    echo "type=0x0001 category=0x0000 id=0x00000000 sid=0 strings=0x0002 data=0x00000000 raw=0 | Tavrilex | $1"
}

# How many times the stand-in quorbel has reached RUNNING in this prefix.
quorbel_starts() {
    tr -d '\r' <"$prefix/drive_c/e2e/quorbel.journal" 2>/dev/null | grep -c '^running '
}

# Stops quorbel and measures how long Tavrilex takes to bring it back: from
# the stop request until a new quorbel process has reported RUNNING. (The
# reply to the stop may still say RUNNING, and a query may catch the old
# process, so the stand-in's journal tells the new start apart.) Prints the
# delay in ms; fails the case past one poll period.
bounce_quorbel() {
    local start before elapsed
    before=$(quorbel_starts)
    start=$(now_ms)
    sc stop quorbel >/dev/null || fail "sc stop quorbel was refused"
    while :; do
        elapsed=$(( $(now_ms) - start ))
        if [ "$(quorbel_starts)" -gt "$before" ] && [ "$(svc_state quorbel)" = 4 ]; then
            echo "$elapsed"
            return 0
        fi
        [ "$elapsed" -le "$poll_limit_ms" ] ||
            fail "quorbel not RUNNING again within $poll_limit_ms ms of being stopped"
        sleep 0.05
    done
}

# Stops quorbel (sc in the background) and measures its down time from its
# journal, read every 10 ms: from the stop control reaching it to its next
# "running" line, so that neither sc's own start-up nor a query counts.
# Prints the delay in ms; fails the case past $1 ms.
bounce_quorbel_down_time() {
    local limit=$1 journal=$prefix/drive_c/e2e/quorbel.journal controls runs start t_stop elapsed
    controls=$(tr -d '\r' <"$journal" | grep -c '^control 1 ')
    runs=$(quorbel_starts)
    start=$(now_ms)
    sc stop quorbel >/dev/null &
    while [ "$(tr -d '\r' <"$journal" | grep -c '^control 1 ')" -le "$controls" ]; do
        [ $(( $(now_ms) - start )) -le 10000 ] || fail "the stop control did not reach quorbel within 10 s"
        sleep 0.01
    done
    t_stop=$(now_ms)
    while [ "$(quorbel_starts)" -le "$runs" ]; do
        elapsed=$(( $(now_ms) - t_stop ))
        [ "$elapsed" -le "$limit" ] || fail "quorbel not RUNNING again within $limit ms of its stop"
        sleep 0.01
    done
    wait
    echo $(( $(now_ms) - t_stop ))
}

# Command lines of the processes of this case's prefix.
prefix_processes() {
    local pid
    for pid in $(pgrep -f . 2>/dev/null); do
        if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -xF "WINEPREFIX=$prefix" >/dev/null; then
            { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | sed 's/ *$//'
            echo
        fi
    done
}

# The Windows Installer packages (built in the driver) and where they install.
installed_exe='C:\Program Files\Tavrilex\tavrilex.exe'
eventlog_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\Tavrilex'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# Runs msiexec quietly, without a restart, logged into the case's folder, with
# the stand-in sc.exe (Wine prefers its own to a file in system32), and prints
# its exit code, whole from a batch file (wine's own status keeps its low byte).
msiexec_rc() {
    local log
    log="Z:${dir//\//\\}\\msiexec-$(find "$dir" -maxdepth 1 -name 'msiexec-*.log' | wc -l).log"
    printf '@msiexec %%*\r\n@echo %%errorlevel%%\r\n' >"$prefix/drive_c/e2e/msiexec.bat"
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sc.exe=n" wine cmd /c 'C:\e2e\msiexec.bat' "$@" /qn /norestart /l*v "$log" </dev/null 2>/dev/null | tr -d '\r' | tail -n 1
}

# The command lines that reached the stand-in sc.exe since the last call.
sc_calls() { tr -d '\r' <"$prefix/drive_c/e2e/sc.journal" 2>/dev/null; rm -f "$prefix/drive_c/e2e/sc.journal"; }
sc_settings=$'"C:\\windows\\system32\\sc.exe" privs Tavrilex SeChangeNotifyPrivilege\n"C:\\windows\\system32\\sc.exe" sidtype Tavrilex unrestricted'

# The log of the last msiexec_rc. Wine's leaves out a launch condition's
# message: a refusal there shows as LaunchConditions ending with 0.
msiexec_log() { echo "$dir/msiexec-$(( $(find "$dir" -maxdepth 1 -name 'msiexec-*.log' | wc -l) - 1 )).log"; }
refused_at_launch() { grep -q '^Action ended [0-9:]*: LaunchConditions\. Return value 0\.' "$(msiexec_log)"; }

# The service key and the event source key, all values and subkeys, as reg
# shows them (a missing key shows as reg's error message).
registration() {
    wine reg query "$services_key\\Tavrilex" /s </dev/null 2>/dev/null | tr -d '\r'
    wine reg query "$eventlog_key" /s </dev/null 2>/dev/null | tr -d '\r'
}

# The DisplayVersion of each Programs and Features entry named Tavrilex (reg
# lists a key's values sorted, DisplayName before DisplayVersion).
arp_versions() {
    wine reg query "$uninstall_key" /s </dev/null 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { name = "" } $1 == "DisplayName" { name = $3 }
             $1 == "DisplayVersion" && name == "Tavrilex" { print $3 }'
}

# Every mention of Tavrilex in HKLM, and every file of that name outside C:\e2e.
leftovers() {
    wine reg export HKLM 'C:\e2e\hklm.reg' /y </dev/null >/dev/null 2>&1 || echo "reg export failed"
    iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/e2e/hklm.reg" | tr -d '\r' | grep -i tavrilex
    (cd "$prefix/drive_c" && find . -path ./e2e -prune -o -iname '*tavrilex*' -print)
}

# Uninstalls Tavrilex in the state $1 names: 0 or 3010, and neither the entry
# nor the event source left. Prints the exit code.
uninstall_finishes() {
    local rc
    rc=$(msiexec_rc /x "$msi_new")
    [ "$rc" = 0 ] || [ "$rc" = 3010 ] || fail "msiexec /x of $1 exited $rc"
    expect_eq "Programs and Features after the uninstall of $1" "" "$(arp_versions)"
    ! registration | grep -q '^HKEY.*EventLog' || fail "the event source of $1 is still registered"
    echo "$rc"
}

restart_prefix() { wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; boot_prefix -p; }

# ---------------------------------------------------------------------------
# The cases.

# The file this suite runs and, when that is the 64-bit one, the shipped
# 32-bit file too, which this machine may not be able to run.
case_image() {
    local out
    out=$("$here/check-image.sh" "$exe" "$wine_build") || fail "$out"
    note "$out"
    if [ "$wine_build" != win32 ]; then
        out=$("$here/check-image.sh" "$shipped" win32) || fail "$out"
        note "$out"
    fi
}

case_console() {
    open_prefix
    local failed_to_run=$'Service failed to run w/err 0x00000427\r\n'
    expect_console 1063 "$failed_to_run" "$tav"
    expect_console 1063 "$failed_to_run" "$tav" install
    expect_console 87 "" "$tav" -help
    expect_console 87 "" "$tav" --install
    expect_console 87 "" "$tav" -
    expect_eq "registration after the console runs" "" "$(svc_state Tavrilex)"
}

case_install() {
    open_prefix
    install_tavrilex
    local reg before
    reg=$(wine reg query "$services_key\\Tavrilex" </dev/null 2>/dev/null | tr -d '\r')
    echo "$reg"
    local want
    for want in 'Type REG_DWORD 0x10' 'Start REG_DWORD 0x2' 'ErrorControl REG_DWORD 0x1' \
                'ImagePath REG_SZ "C:\e2e\tavrilex.exe"' 'ObjectName REG_SZ LocalSystem' \
                'DisplayName REG_SZ Tavrilex' 'Description REG_SZ Tavrilex'; do
        grep -qxF "$want" <<<"$(sed 's/^ *//; s/    / /g' <<<"$reg")" ||
            fail "registration lacks '$want'"
    done
    if grep -qE 'DependOnService|DependOnGroup|^ *Group ' <<<"$reg"; then
        fail "registration has dependencies or a group"
    fi
    expect_eq "state after install" 1 "$(svc_state Tavrilex)"
    # The event source names the exe as its message file, whose message 0
    # is the record's second string: what Event Viewer shows.
    local source message
    source=$(event_source)
    expect_eq "event source" $'EventMessageFile REG_EXPAND_SZ C:\\e2e\\tavrilex.exe\nTypesSupported REG_DWORD 0x7' "$source"
    message=$(wine "$message_check_win" 'C:\e2e\tavrilex.exe' 0 Tavrilex \
                   'Kelvarund - Failed to open service with error:  1060' </dev/null 2>/dev/null | tr -d '\r') ||
        fail "FormatMessage on the message file failed: $message"
    expect_eq "record 0 as Event Viewer renders it" 'Kelvarund - Failed to open service with error:  1060' "$message"
    before=$reg
    expect_console 1073 $'CreateService failed w/err 0x00000431\r\n' "$tav" -install
    reg=$(wine reg query "$services_key\\Tavrilex" </dev/null 2>/dev/null | tr -d '\r')
    [ "$reg" = "$before" ] || fail "the second install changed the registration"
    note "event source registered, record text rendered from the message table; second install: exit code 1073"
}

case_path_with_blanks() {
    open_prefix
    local folder="$prefix/drive_c/Program Files/Tavrilex Test"
    local path='C:\Program Files\Tavrilex Test\tavrilex.exe'
    mkdir -p "$folder" && cp "$exe" "$folder/"
    expect_console 0 $'Tavrilex is installed.\r\n' "$path" -install
    local image
    image=$(wine reg query "$services_key\\Tavrilex" /v ImagePath </dev/null 2>/dev/null |
            tr -d '\r' | sed -n 's/^ *ImagePath *REG_SZ *//p')
    expect_eq "ImagePath" "\"$path\"" "$image"
    register_quorbel
    start_tavrilex
    local delay
    delay=$(wait_state quorbel 4 "$poll_limit_ms") || fail "quorbel not started within $poll_limit_ms ms"
    local processes
    processes=$(prefix_processes)
    grep -qxF "$path" <<<"$processes" || fail "no process runs $path: ${processes//$'\n'/; }"
    note "running from $path; quorbel up after $delay ms"
}

case_keeps_quorbel_running() {
    open_prefix
    register_quorbel
    install_tavrilex
    local first delays=() i delay
    sc start Tavrilex >/dev/null
    first=$(wait_state quorbel 4 "$poll_limit_ms") || fail "quorbel not started within $poll_limit_ms ms of sc start"
    expect_eq "Tavrilex state" 4 "$(svc_state Tavrilex)"
    for i in 0 1 2 3 4; do
        # Another phase of the poll each time, and no quick stop (a crash loop).
        sleep "$((i + 3)).3"
        delay=$(bounce_quorbel) || exit 1
        delays+=("$delay")
    done
    note "quorbel first started after $first ms; back after ${delays[*]} ms"
    sleep 0.3   # the last record's strings; then one per start, and no alarm
    expect_eq "records, information records" "$(quorbel_starts) $(quorbel_starts)" \
        "$(record_count) $(event_records | grep -c '^type=0x0004 ')"
}

# Stopped at random moments of the poll cycle, quorbel is back within a
# second: the stop watcher answers the stop instead of the next poll. Stops
# come 5 to 10 s after the last restart, so none is a quick one.
case_back_within_a_second() {
    open_prefix
    register_quorbel
    install_tavrilex
    start_tavrilex
    wait_state quorbel 4 "$poll_limit_ms" >/dev/null || fail "quorbel not started"
    sleep 1   # the watcher's first request comes a period after the start
    local delays=() i delay pause_ms
    for i in 1 2 3 4 5; do
        pause_ms=$(( 5000 + RANDOM % 5000 ))
        sleep "$(( pause_ms / 1000 )).$(printf '%03d' $(( pause_ms % 1000 )))"
        delay=$(bounce_quorbel_down_time 1000) || exit 1
        delays+=("$delay")
    done
    note "down for ${delays[*]} ms"
    sleep 0.3   # the poll's first start, then the watcher's
    expect_eq "records, the watcher's" "6 5" "$(record_count) $(event_records | grep -c ' id=0x40000001 ')"
    expect_watcher_record_renders
}

# The watcher's last record of a start, as Event Viewer renders it.
expect_watcher_record_renders() {
    sleep 0.3   # the record's strings
    local ms text
    ms=$(event_records | grep ' id=0x40000001 ' | tail -n 1 | sed 's/.* | //')
    text=$(wine "$message_check_win" 'C:\e2e\tavrilex.exe' 40000001 quorbel "$ms" </dev/null 2>/dev/null | tr -d '\r')
    expect_eq "the watcher's record as Event Viewer renders it" \
        "Tavrilex started quorbel $ms ms after it stopped: its stop watcher asked the service control manager for the start."$'\n'"To keep quorbel stopped on purpose, disable it first: sc.exe config quorbel start= disabled" "$text"
}

# The crash rows hold only where the SCM notices a service process that dies
# without reporting, as Windows does (Wine 10); the driver's probe found out.
needs_crash_detection() {
    [ "$crash_probe" = "STOPPED 1067" ] && return 0
    ! wine_notices_crash || fail "$wine_label should notice a killed service, yet the probe's stand-in was left $crash_probe"
    echo SKIP >"$dir/skip"
    note "this SCM does not notice a killed service (the probe's stand-in was left $crash_probe)"
    exit 0
}

# A fresh prefix with quorbel (behaviour $1) kept running by Tavrilex.
start_watching() {
    open_prefix
    register_quorbel "${1:-}"
    install_tavrilex
    start_tavrilex
    wait_state quorbel 4 "$poll_limit_ms" >/dev/null || fail "quorbel not started"
}

# The ms from each journal line of kind $1 to the next start, after the first.
ms_to_next_start() {
    tr -d '\r' <"$prefix/drive_c/e2e/quorbel.journal" |
        awk -v k="$1" '$1 == "running" && t { if (n++) printf "%d ", $3 - t; t = 0 } $1 == k { t = $3 }'
}

# quorbel ends its process 4 s after each start, for two minutes: each crash
# but the first (before the watcher's first request) mended within a second,
# a warning that it keeps stopping, and no more start records than the bound.
case_crash_restart() {
    needs_crash_detection
    start_watching crash-ms=4000
    sleep 120
    local delays d
    delays=$(ms_to_next_start crash)
    note "$(quorbel_starts) starts; back after $delays ms; records $(event_records | awk '{ print $3 }' | sort | uniq -c | tr -s ' \n' ' ')"
    for d in $delays; do [ "$d" -le 1000 ] || fail "quorbel back only $d ms after a crash"; done
    [ "$(event_records | grep -c ' id=0x80000004 ')" -ge 1 ] || fail "no warning that quorbel keeps stopping"
    [ "$(event_records | grep -c '^type=0x0004 ')" -le 6 ] || fail "more start records than the bound allows"
    expect_watcher_record_renders
}

# quorbel dies 1 s after each start: the crash-loop warning, then the poll's
# pace (after the two quick stops that make the loop). Then Tavrilex's own
# process is killed: Wine runs no recovery actions (Windows restarts it in 1 s).
case_crash_loop() {
    needs_crash_detection
    start_watching crash-ms=1000
    sleep 30
    local gaps warning down
    gaps=$(ms_to_next_start running)
    warning=$(event_records | grep -m1 ' id=0x80000003 ' | cut -d'|' -f3- | tr -d '|')
    note "starts $gaps ms apart; warning:$warning"
    [ -n "$warning" ] || fail "no crash-loop warning: $(event_records)"
    # The poll's first start comes at its own phase; the ones after it a period apart.
    awk '{ for (i = 3; i <= NF; i++) if ($i < 4500) exit 1 }' <<<"$gaps" || fail "starts not at the poll's pace"
    wine taskkill /f /im tavrilex.exe </dev/null >/dev/null 2>&1
    down=$(wait_state Tavrilex 1 3000) || fail "Tavrilex not STOPPED within 3 s of taskkill /f"
    sleep 3
    expect_eq "Tavrilex's state and exit code 3 s after taskkill /f" "1 1067" \
        "$(svc_state Tavrilex) $(sc query Tavrilex | awk '$1 == "WIN32_EXIT_CODE" { print $3 }')"
    note "Tavrilex killed: STOPPED (1067) after $down ms, not started again"
}

# Deleted, then stopped, quorbel goes while Tavrilex watches: Windows refuses
# to start a service marked for deletion (1072).
case_delete_then_stop() {
    start_watching
    sleep 1   # the watcher's first request comes a period after the start
    local starts gone
    starts=$(quorbel_starts)
    sc delete quorbel >/dev/null || fail "sc delete quorbel was refused"
    sc stop quorbel >/dev/null
    gone=$(wait_state quorbel "" 3000)
    sleep 6
    if [ "$(quorbel_starts)" -gt "$starts" ]; then
        echo SKIP >"$dir/skip"
        note "this SCM started quorbel while it was marked for deletion (Windows refuses with 1072)"
    else
        expect_eq "quorbel a poll after its deletion and stop" "" "$(svc_state quorbel)"
        note "quorbel gone $gone ms after the stop, not started again"
    fi
}

case_auto_start() {
    open_prefix
    register_quorbel
    install_tavrilex
    expect_eq "Tavrilex state before the restart" 1 "$(svc_state Tavrilex)"
    local start booted up quorbel_up
    start=$(now_ms)
    restart_prefix
    booted=$(( $(now_ms) - start ))
    up=$(wait_state Tavrilex 4 10000) || fail "Tavrilex did not start by itself after the restart"
    quorbel_up=$(wait_state quorbel 4 "$poll_limit_ms") || fail "quorbel not started after the restart"
    note "restarted prefix booted in $booted ms; Tavrilex RUNNING $up ms later, quorbel RUNNING $quorbel_up ms after that"
}

case_quorbel_missing() {
    open_prefix
    install_tavrilex
    local start last=0 count times=() observe_ms=26000
    sc start Tavrilex >/dev/null
    start=$(now_ms)
    while [ $(( $(now_ms) - start )) -lt $observe_ms ]; do
        count=$(record_count)
        if [ "$count" -gt "$last" ]; then
            times+=("$(( $(now_ms) - start ))")
            last=$count
        fi
        sleep 0.1
    done
    sleep 0.3   # let the last record's strings reach the file
    event_records
    note "records at ${times[*]} ms after sc start"
    expect_eq "records in $observe_ms ms" 3 "$(record_count)"
    [ "${#times[@]}" -eq 3 ] || fail "records arrived in ${#times[@]} bursts: ${times[*]}"
    [ "${times[0]}" -le 3000 ] || fail "first record only after ${times[0]} ms"
    local gap i
    for i in 1 2; do
        gap=$(( times[i] - times[i-1] ))
        if [ "$gap" -lt 8500 ] || [ "$gap" -gt 11500 ]; then
            fail "records ${times[*]} ms: a gap of $gap ms, not about two polls (10 s)"
        fi
    done
    local expected actual
    expected=$(for i in 1 2 3; do error_record "Kelvarund - Failed to open service with error:  1060"; done)
    actual=$(event_records)
    [ "$actual" = "$expected" ] || fail "event records differ: [$actual]"
}

case_stop_refused() {
    open_prefix
    register_quorbel
    install_tavrilex
    start_tavrilex
    wait_state quorbel 4 "$poll_limit_ms" >/dev/null || fail "quorbel not started"
    local out rc delay
    out=$(wine sc stop Tavrilex </dev/null 2>/dev/null)
    rc=$?
    [ "$rc" -ne 0 ] || fail "sc stop Tavrilex succeeded: $out"
    sleep 1
    expect_eq "Tavrilex state after the refused stop" 4 "$(svc_state Tavrilex)"
    delay=$(bounce_quorbel) || exit 1
    note "sc stop refused (exit code $rc); quorbel still brought back after $delay ms"
}

case_remove() {
    open_prefix
    expect_console 1060 $'OpenService failed w/err 0x00000424\r\n' "$tav" -remove
    register_quorbel
    install_tavrilex
    start_tavrilex
    wait_state quorbel 4 "$poll_limit_ms" >/dev/null || fail "quorbel not started"
    expect_console 0 $'Tavrilex is removed.\r\n' "$tav" -remove
    expect_eq "event source after -remove" "" "$(event_source)"
    local delay
    delay=$(bounce_quorbel) || exit 1
    expect_eq "state of the removed, still running Tavrilex" 4 "$(svc_state Tavrilex)"
    # The registration stays, marked for deletion, while its process runs.
    expect_console 1072 $'DeleteService failed w/err 0x00000430\r\n' "$tav" -remove
    note "nothing registered: exit code 1060; removed while running (event source gone), quorbel still brought back after $delay ms; again: exit code 1072"
}

case_remove_stops() {
    open_prefix
    sc create Tavrilex binPath= "$stub_win Tavrilex C:\\e2e\\tavrilex-stub.journal" start= demand
    expect_eq "stand-in Tavrilex state after registering" 1 "$(svc_state Tavrilex)"
    sc start Tavrilex >/dev/null
    wait_state Tavrilex 4 5000 >/dev/null || fail "the stand-in Tavrilex did not start"
    local start
    start=$(now_ms)
    expect_console 0 $'Stopping Tavrilex.\r\nTavrilex is stopped.\r\nTavrilex is removed.\r\n' "$tav" -remove
    note "-remove took $(( $(now_ms) - start )) ms"
    expect_eq "registration after -remove" "" "$(svc_state Tavrilex)"
    tr -d '\r' <"$prefix/drive_c/e2e/tavrilex-stub.journal" | grep '^control 1 ' >/dev/null ||
        fail "the stand-in never received the stop control"
}

# Wine shuts a prefix down when its last ordinary program has ended (with a
# finite wineserver persistence). Every service process is then told at the
# same moment as services.exe: each asks services.exe for its status and sends
# SERVICE_CONTROL_SHUTDOWN to its own handler, while services.exe ends the
# service processes one by one in the order they were started. Whether the
# control reaches a given service is therefore a race. quorbel is started
# first so that Tavrilex is ended last and has the best chance; when the
# control reaches it, it must report STOPPED, and when it does not, the case
# says so (SKIP) instead of failing for Wine's ordering.
case_shutdown() {
    event_debug="-all,+service,+eventlog,fixme+advapi"
    open_prefix -p3
    register_quorbel
    sc start quorbel >/dev/null
    wait_state quorbel 4 5000 >/dev/null || fail "quorbel did not start"
    install_tavrilex
    start_tavrilex
    wine wineboot --end-session </dev/null >/dev/null 2>&1
    wine wineboot --shutdown </dev/null >/dev/null 2>&1
    local start ended stand_in="did not get it either"
    start=$(now_ms)
    timeout 30 wineserver -w >/dev/null 2>&1 || fail "the prefix did not shut down within 30 s"
    ended=$(( $(now_ms) - start ))
    tr -d '\r' <"$prefix/drive_c/e2e/quorbel.journal" | grep '^control 5 ' >/dev/null &&
        stand_in="got it"
    if ! grep -q 'service_handle_control L"Tavrilex" control 5' "$dir/services.err"; then
        echo "SKIP" >"$dir/skip"
        note "Wine ended Tavrilex's process before its shutdown control reached it (the stand-in $stand_in; prefix ended after $ended ms)"
        return 0
    fi
    # The handler runs on the thread that traced the control, so its report
    # is the STOPPED traced by that same thread.
    local thread
    thread=$(grep -m1 'service_handle_control L"Tavrilex" control 5' "$dir/services.err" | cut -d: -f1)
    grep -qE "^$thread:trace:service:SetServiceStatus [0-9A-F]+ 0x10 0x1 " "$dir/services.err" ||
        fail "Tavrilex got the shutdown control but did not report STOPPED"
    note "shutdown delivered to Tavrilex, STOPPED reported (the stand-in $stand_in); prefix ended $ended ms after the last program"
}

# The package registers Tavrilex exactly as -install does from the same
# folder, and starts it. It refuses (1603) to install over a registration it
# did not make, and leaves that alone; installed twice, it changes nothing.
case_msi_install() {
    open_prefix
    local by_hand folder="$prefix/drive_c/Program Files/Tavrilex"
    mkdir -p "$folder" && cp "$exe" "$folder/"
    expect_console 0 $'Tavrilex is installed.\r\n' "$installed_exe" -install
    by_hand=$(registration)
    expect_eq "msiexec /i over a registration made by hand" 1603 "$(msiexec_rc /i "$msi_new")"
    expect_eq "registration after the refused package" "$by_hand" "$(registration)"
    expect_eq "Programs and Features after the refused package" "" "$(arp_versions)"
    expect_console 0 $'Tavrilex is removed.\r\n' "$installed_exe" -remove
    rm -rf "$folder"

    register_quorbel
    expect_eq "msiexec /i" 0 "$(msiexec_rc /i "$msi_new")"
    [ "$(registration)" = "$by_hand" ] ||
        fail "the package's registration differs from -install's: $(diff <(echo "$by_hand") <(registration) | tr '\n' ' ')"
    expect_eq "sc.exe at the first install" "$sc_settings" "$(sc_calls)"
    local up marked
    up=$(wait_state quorbel 4 "$poll_limit_ms") || fail "quorbel not started within $poll_limit_ms ms of the install"
    expect_eq "msiexec /i again" 0 "$(msiexec_rc /i "$msi_new")"
    expect_eq "registration after the second install" "$by_hand" "$(registration)"
    expect_eq "Programs and Features" "$version" "$(arp_versions)"
    grep -qE '^ +EventMessageFile +REG_EXPAND_SZ +C:\\Program Files\\Tavrilex\\tavrilex.exe$' <<<"$by_hand" ||
        fail "-install registered no event source"

    # After sc delete (of a Tavrilex stopped by a restart without auto start)
    # a repair registers Tavrilex and starts it; after the event source alone
    # was deleted, it writes that back. Wine's msiexec answers /f itself,
    # doing nothing (1605), so the properties that /famus sets go through /i.
    wine reg add "$services_key\\Tavrilex" /v Start /t REG_DWORD /d 3 /f </dev/null >/dev/null 2>&1
    restart_prefix
    sc delete Tavrilex >/dev/null
    expect_eq "Tavrilex state after sc delete" "" "$(svc_state Tavrilex)"
    expect_eq "repair after sc delete" 0 "$(msiexec_rc /i "$msi_new" REINSTALL=ALL REINSTALLMODE=amus)"
    expect_eq "registration after the repair" "$by_hand" "$(registration)"
    wait_state Tavrilex 4 5000 >/dev/null || fail "the repair did not start Tavrilex"
    wine reg delete "$eventlog_key" /f </dev/null >/dev/null 2>&1
    expect_eq "repair without the event source (Windows: 3010, the file in use)" 0 \
        "$(msiexec_rc /i "$msi_new" REINSTALL=ALL REINSTALLMODE=amus)"
    expect_eq "registration after that repair" "$by_hand" "$(registration)"
    expect_eq "sc.exe at the two repairs" "$sc_settings"$'\n'"$sc_settings" "$(sc_calls)"

    expect_console 0 $'Tavrilex is removed.\r\n' "$installed_exe" -remove   # marked for deletion
    marked=$(uninstall_finishes "a service marked for deletion") || exit 1
    expect_console 1072 $'DeleteService failed w/err 0x00000430\r\n' "$installed_exe" -remove
    note "refused over -install's registration (1603); installed (0), quorbel up after $up ms; again (0); repaired after sc delete, and without the event source (0); marked for deletion by hand, uninstalled ($marked)"
}

# 0.0.1 (this file with bytes appended, so that another file is replaced)
# upgraded in place while it runs: one entry, the same registration, the new
# file in place after the restart that 3010 asks for.
case_msi_upgrade() {
    open_prefix
    register_quorbel
    expect_eq "msiexec /i of 0.0.1" 0 "$(msiexec_rc /i "$msi_old")"
    wait_state quorbel 4 "$poll_limit_ms" >/dev/null || fail "quorbel not started by 0.0.1"
    local before
    before=$(registration)
    expect_eq "msiexec /i of $version over 0.0.1" 3010 "$(msiexec_rc /i "$msi_new")"
    expect_eq "Programs and Features after the upgrade" "$version" "$(arp_versions)"
    # Registered and not marked for deletion (that would be 0x430).
    expect_eq "-install after the upgrade" "CreateService failed w/err 0x00000431" \
        "$(wine "$installed_exe" -install </dev/null 2>/dev/null | tr -d '\r')"
    expect_eq "msiexec /i of 0.0.1 over $version" 1603 "$(msiexec_rc /i "$msi_old")"
    restart_prefix
    wait_state Tavrilex 4 10000 >/dev/null || fail "Tavrilex did not start after the restart"
    wait_state quorbel 4 "$poll_limit_ms" >/dev/null || fail "quorbel not started after the restart"
    cmp -s "$exe" "$prefix/drive_c/Program Files/Tavrilex/tavrilex.exe" || fail "the old file is still installed"
    expect_eq "registration after the upgrade and a restart" "$before" "$(registration)"

    # b60f454's 1.0.0, the last without the hardening, upgraded while it runs:
    # quorbel untouched, -install skipped, sc.exe before the start.
    close_prefix
    [ -f "$work/msi/tavrilex-1.0.0.msi" ] || fail "no 1.0.0 package of $old_commit (see $work/msi/build-1.0.0.log)"
    open_prefix
    register_quorbel
    expect_eq "msiexec /i of 1.0.0" 0 "$(msiexec_rc /i "$msi_v1")"
    wait_state quorbel 4 "$poll_limit_ms" >/dev/null || fail "quorbel not started by 1.0.0"
    local journal=$prefix/drive_c/e2e/quorbel.journal kept v1_rc
    kept=$(tr -d '\r' <"$journal")
    v1_rc=$(msiexec_rc /i "$msi_new")
    [ "$v1_rc" = 0 ] || [ "$v1_rc" = 3010 ] || fail "msiexec /i of $version over 1.0.0 exited $v1_rc"
    expect_eq "sc.exe at the upgrade from 1.0.0" "$sc_settings" "$(sc_calls)"
    expect_eq "quorbel's journal during the upgrade from 1.0.0" "$kept" "$(tr -d '\r' <"$journal")"
    expect_eq "quorbel after the upgrade from 1.0.0" 4 "$(svc_state quorbel)"
    expect_eq "actions of the upgrade from 1.0.0" "InstallFiles TavrilexPrivileges TavrilexSidType StartServices" "$(sed -n \
        's/^Action start [0-9:]*: \(InstallFiles\|RegisterTavrilex\|Tavrilex[A-Za-z]*\|StartServices\|InstallFinalize\)\.$/\1/p' \
        "$(msiexec_log)" | sed '/^InstallFinalize$/Q' | paste -sd' ')"

    # Over a registration marked for deletion (Windows writes DeleteFlag; Wine
    # marks it in memory only) the upgrade is refused before anything changes.
    close_prefix; open_prefix
    expect_eq "msiexec /i of 1.0.0" 0 "$(msiexec_rc /i "$msi_v1")"
    # Before that, with sc.exe failing (5, access denied), an upgrade fails at its first step
    # (Windows 1603) and keeps the service key; Wine's rollback also deletes the event source.
    before=$(wine reg query "$services_key\\Tavrilex" /s </dev/null 2>/dev/null)
    expect_eq "upgrade with sc.exe failing, and sc.exe" "1627 ${sc_settings%%$'\n'*}" "$(TAVRILEX_SC_EXIT=5 msiexec_rc /i "$msi_new") $(sc_calls)"
    expect_eq "service key after the failed upgrade" "$before" "$(wine reg query "$services_key\\Tavrilex" /s </dev/null 2>/dev/null)"
    expect_console 0 $'Tavrilex is removed.\r\n' "$installed_exe" -remove
    wine reg add "$services_key\\Tavrilex" /v DeleteFlag /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1
    before=$(registration)
    expect_eq "msiexec /i of $version over a registration marked for deletion" 1603 "$(msiexec_rc /i "$msi_new")"
    refused_at_launch || fail "the upgrade over a marked registration was not refused at its launch conditions"
    expect_eq "registration after the refused upgrade" "$before" "$(registration)"
    cmp -s "$old_src/build/$wine_build/tavrilex.exe" "$prefix/drive_c/Program Files/Tavrilex/tavrilex.exe" ||
        fail "the refused upgrade replaced the file"
    note "upgrade 3010, new file running after the restart; downgrade 1603; from 1.0.0 of $old_commit: $v1_rc, quorbel untouched; over a marked registration: 1603; with sc.exe failing: 1627"
}

# Removed while stopped, or after its service key was deleted by hand, nothing
# is left. Removed while running (Tavrilex accepts no stop), the instance goes
# on and its registration stays marked for deletion; Wine neither deletes nor
# schedules the running file.
case_msi_uninstall() {
    open_prefix
    expect_eq "msiexec /i" 0 "$(msiexec_rc /i "$msi_new")"
    # Under Wine only a restart without auto start gives a stopped Tavrilex.
    wine reg add "$services_key\\Tavrilex" /v Start /t REG_DWORD /d 3 /f </dev/null >/dev/null 2>&1
    restart_prefix
    expect_eq "Tavrilex state after the restart" 1 "$(svc_state Tavrilex)"
    expect_eq "msiexec /x of the stopped Tavrilex" 0 "$(msiexec_rc /x "$msi_new")"
    local left gone
    left=$(leftovers)
    [ -z "$left" ] || fail "left behind: ${left//$'\n'/; }"

    # Its service key deleted by hand, the event source left behind.
    expect_eq "msiexec /i" 0 "$(msiexec_rc /i "$msi_new")"
    wine reg delete "$services_key\\Tavrilex" /f </dev/null >/dev/null 2>&1
    restart_prefix
    expect_eq "Tavrilex state after its key was deleted" "" "$(svc_state Tavrilex)"
    gone=$(uninstall_finishes "a service deleted by hand") || exit 1
    left=$(leftovers); [ -z "$left" ] || fail "left behind by the uninstall of a deleted service: ${left//$'\n'/; }"

    register_quorbel
    expect_eq "msiexec /i" 0 "$(msiexec_rc /i "$msi_new")"
    wait_state quorbel 4 "$poll_limit_ms" >/dev/null || fail "quorbel not started"
    local rc
    rc=$(uninstall_finishes "the running Tavrilex") || exit 1
    expect_eq "state of the removed, running Tavrilex" 4 "$(svc_state Tavrilex)"
    expect_eq "-remove again" "DeleteService failed w/err 0x00000430" \
        "$(wine "$installed_exe" -remove </dev/null 2>/dev/null | tr -d '\r')"
    note "stopped: 0, nothing left; deleted by hand: $gone, nothing left; running: $rc, still running, marked for deletion"
}

all_cases=(crash_restart crash_loop delete_then_stop
           keeps_quorbel_running back_within_a_second quorbel_missing shutdown auto_start path_with_blanks
           stop_refused remove remove_stops install console image msi_install msi_upgrade msi_uninstall)
shift
if [ $# -gt 0 ]; then
    for name in "$@"; do
        declare -F "case_$name" >/dev/null || { echo "no such case: $name" >&2; exit 2; }
    done
    all_cases=("$@")
fi

# ---------------------------------------------------------------------------
# Driver.

case_pids=()
cleanup() {
    local pid p
    for pid in "${case_pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${case_pids[@]}"; do wait "$pid" 2>/dev/null; done
    for p in "$cases_dir"/*/prefix "$template"; do
        if [ -d "$p" ]; then
            WINEPREFIX=$p wineserver -k >/dev/null 2>&1
        fi
    done
    for p in "$cases_dir"/*/prefix; do
        [ -d "$p" ] && rm -rf "$p"
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for tool in wineserver "$wine_triple-objdump" i686-w64-mingw32-objdump strings; do
    command -v "$tool" >/dev/null || { echo "FAIL setup: $tool is not installed"; echo "0 passed, 1 failed"; exit 1; }
done
for f in "$exe" "$stub" "$message_check"; do
    [ -f "$f" ] || { echo "FAIL setup: $f is missing (build the $wine_build preset first)"; echo "0 passed, 1 failed"; exit 1; }
done

mkdir -p "$work"
exec 9>"$work/.lock"
flock -n 9 || { echo "another run of the suite is using $work" >&2; exit 2; }

suite_start=$SECONDS
cleanup
rm -rf "$cases_dir" "$template"
mkdir -p "$cases_dir"

# One clean prefix, booted once and shut down cleanly; every case copies it.
if ! { WINEPREFIX=$template wine wineboot -i </dev/null >"$work/template.log" 2>&1 &&
       WINEPREFIX=$template wineserver -w; }; then
    echo "FAIL setup: the template prefix did not boot (see $work/template.log)"
    echo "0 passed, 1 failed"
    exit 1
fi
template_s=$((SECONDS - suite_start))

# The packages of the msi cases, from the file this suite runs: this version,
# and 0.0.1 of a different file (the same with bytes appended).
version=$(sed -n 's/^#define TAVRILEX_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/TavrilexVersion.h")
msi_new='C:\e2e\tavrilex.msi' msi_old='C:\e2e\tavrilex-0.0.1.msi' msi_arch=x64
[ "$wine_build" = win64 ] || msi_arch=x86
mkdir -p "$work/msi" && cp "$exe" "$work/msi/old.exe" && printf 'an older file' >>"$work/msi/old.exe"
if ! { export SOURCE_DATE_EPOCH=$(date +%s) &&
       "$here/../../scripts/msi.sh" "$msi_arch" "$exe" "$version" "$work/msi/tavrilex.msi" &&
       "$here/../../scripts/msi.sh" "$msi_arch" "$work/msi/old.exe" 0.0.1 "$work/msi/tavrilex-0.0.1.msi"; } >"$work/msi/build.log" 2>&1; then
    echo "FAIL setup: the packages were not built (see $work/msi/build.log)"; echo "0 passed, 1 failed"; exit 1
fi
# TAVRILEX_E2E_MSI: a package of this file made elsewhere (the signed one).
[ -z "${TAVRILEX_E2E_MSI:-}" ] || cp "$TAVRILEX_E2E_MSI" "$work/msi/tavrilex.msi" ||
    { echo "FAIL setup: no package $TAVRILEX_E2E_MSI"; echo "0 passed, 1 failed"; exit 1; }

# The last 1.0.0 without the hardening, built with its own scripts/msi.sh in a
# clone kept below the build root; without it msi_upgrade fails and says why.
old_commit=b60f454 old_src=$builds/old-b60f454 msi_v1='C:\e2e\tavrilex-1.0.0.msi'
rm -f "$work/msi/tavrilex-1.0.0.msi"
[[ " ${all_cases[*]} " != *" msi_upgrade "* ]] || {
    [ -f "$old_src/build/$wine_build/tavrilex.exe" ] || { rm -rf "$old_src" &&
        git clone -q --shared --no-checkout "$here/../.." "$old_src" && git -C "$old_src" checkout -q --detach "$old_commit" &&
        (cd "$old_src" && cmake --preset "$wine_build" && cmake --build --preset "$wine_build" -j 2 --target tavrilex); }
    "$old_src/scripts/msi.sh" "$msi_arch" "$old_src/build/$wine_build/tavrilex.exe" 1.0.0 "$work/msi/tavrilex-1.0.0.msi"
} >"$work/msi/build-1.0.0.log" 2>&1

crash_probe=$(wine_crash_probe "$work/probe" "$stub")
echo "crash probe: a killed service is ${crash_probe:-not seen}"

# Runs one case in the background subshell that calls it, with its log as
# output. Its exit status lands in $dir/rc whichever way it ends.
run_case() {
    local name=$1 start
    dir=$cases_dir/$name
    mkdir -p "$dir"
    exec >"$dir/log" 2>&1 </dev/null
    trap 'status=$?; close_prefix; echo "$status" >"$dir/rc"' EXIT
    trap 'exit 143' TERM
    start=$(now_ms)
    "case_$name"
    echo "case took $(( $(now_ms) - start )) ms"
}

for name in "${all_cases[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n; done
    run_case "$name" &
    case_pids+=($!)
done
wait
case_pids=()

passed=0
failed=0
for name in "${all_cases[@]}"; do
    d=$cases_dir/$name
    notes=""
    if [ -f "$d/notes" ]; then
        while IFS= read -r line; do notes+="${notes:+; }$line"; done <"$d/notes"
    fi
    if [ "$(cat "$d/rc" 2>/dev/null)" = 0 ] && [ -f "$d/skip" ]; then
        echo "SKIP $name: $notes"
    elif [ "$(cat "$d/rc" 2>/dev/null)" = 0 ]; then
        passed=$((passed + 1))
        echo "PASS $name${notes:+: $notes}"
    else
        failed=$((failed + 1))
        echo "FAIL $name: $(cat "$d/reason" 2>/dev/null || echo "ended early, see $d/log")"
        sed 's/^/    | /' "$d/log" | tail -n 25
    fi
done
echo "($wine_label, build $wine_build; template prefix booted in ${template_s} s; whole suite ${SECONDS} s; logs in $cases_dir)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
