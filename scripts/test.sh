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
# Every step's name goes into known_steps, whether it runs or not; `needed=1
# step ...` runs one that a selected step needs, whatever the pattern.
selected() { [[ $1 =~ ${TAVRILEX_STEPS:-.} ]]; }
known_steps=()
ran_steps=0
step() {
    local name=$1; shift
    known_steps+=("$name")
    [ -n "${needed:-}" ] || selected "$name" || return 0
    ran_steps=$((ran_steps + 1))
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

# Builds the release with scripts/package.sh in fresh clones of HEAD, below
# $1 and named by the other arguments, one after the other; all but "one"
# with another umask and time zone. Clones, because a release is built from
# a commit: work not yet committed is not checked here.
release_clones() {
    local base=$1 head dir
    head=$(git rev-parse HEAD) || return 1
    echo "commit $head"
    for dir in "${@:2}"; do
        echo "building the release in ${base#"$root"/}/$dir"
        rm -rf "${base:?}/$dir" && mkdir -p "$base" || return 1
        (
            if [ "$dir" != one ]; then umask 077; export TZ=XST-5:45; fi
            git clone -q --no-checkout --shared "$root" "$base/$dir" &&
                git -C "$base/$dir" checkout -q --detach "$head" &&
                "$base/$dir/scripts/package.sh"
        ) >"$logdir/release-${base##*/}-$dir.log" 2>&1 || {
            tail -n 30 "$logdir/release-${base##*/}-$dir.log"
            return 1
        }
    done
}

# The clones one and second-clone below $1 have the same dist/SHA256SUMS (the
# zip, the two Windows Installer packages, and the executables and README in
# the zip). A difference names the file.
release_same() {
    local differ
    differ=$(diff <(tr -d '\r' <"$1/one/dist/SHA256SUMS") <(tr -d '\r' <"$1/second-clone/dist/SHA256SUMS") |
             sed -n 's/^[<>] [0-9a-f]*  //p' | sort -u)
    tr -d '\r' <"$1/one/dist/SHA256SUMS"
    if [ -n "$differ" ] || [ "$(wc -l <"$1/one/dist/SHA256SUMS")" -ne 6 ]; then
        sed 's/^/differs between the two builds: /' <<<"${differ:-the list of files}"
        return 1
    fi
    echo "identical in ${1#"$root"/}/one and ${1#"$root"/}/second-clone"
}

# The release is reproducible; both clones stay for a look when it is not.
release_repro() {
    local base=$root/build/repro
    unset "${!TAVRILEX_SIGN_@}"   # the unsigned release, whatever the caller holds
    rm -rf "$base"
    if release_clones "$base" one second-clone && release_same "$base"; then
        rm -rf "$base"
        echo "1 passed, 0 failed"
    else
        echo "0 passed, 1 failed"
        return 1
    fi
}
step release-repro release_repro
count release-repro

# A timestamping server of the tests' own on 127.0.0.1, on a free port, which
# every osslsigncode asks with -ts (RFC 3161 over HTTP): python3's http.server
# hands each query to `openssl ts -reply` in $1, through files, since openssl
# fails on a pipe there. Writes its port to $1/port and its pid to $1/pid.
tsa_serve() {
    (cd "$1" && exec python3 -c '
import http.server, subprocess
class Reply(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        open("query", "wb").write(self.rfile.read(int(self.headers["Content-Length"])))
        ok = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "query", "-out", "reply"]).returncode == 0
        body = open("reply", "rb").read() if ok else b""
        self.send_response(200 if ok else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args): pass
server = http.server.HTTPServer(("127.0.0.1", 0), Reply)
open("port.new", "w").write(str(server.server_port))
__import__("os").rename("port.new", "port")
server.serve_forever()' >>log 2>&1) &
    echo $! >"$1/pid"
    local i
    for i in $(seq 100); do [ -s "$1/port" ] && return 0; sleep 0.1; done
    echo "the timestamping server did not start:"; tail -n 5 "$1/log"; return 1
}

# The signed release, by a throwaway authority made in a temporary folder and
# removed: a root, a code-signing and a timestamping certificate, valid from
# 2000 so that the commit's time lies within, and the timestamping server
# above. Signed without a timestamp (said so on purpose), two clones give the
# same bytes. A timestamp cannot: the server draws its serial and signs at the
# current time; and a package holds its timestamped exe, and its package code
# derives from its bytes. So a third clone signs with a timestamp: its four
# files verify with it, the lists hold their hashes, a changed byte fails, and
# its executables differ from the first clone's only in their timestamps.
# Then a key without a timestamp is refused, and a server that does not
# answer fails the signing, both leaving the last dist/ as it was. The third
# clone's files stay for the e2e-signed step.
release_signed() {
    local base=$root/build/signed ca n f passed=0 failed=0
    ca=$(mktemp -d) || return 1
    trap "kill \$(cat '$ca/pid' 2>/dev/null) 2>/dev/null; wait; rm -rf '$ca'" EXIT
    printf '%s\n' '[ca]' 'default_ca = ca' 'database = index.txt' 'new_certs_dir = .' \
        'serial = serial' 'default_md = sha256' 'policy = any' '[any]' 'commonName = supplied' \
        '[root]' 'basicConstraints = critical,CA:TRUE' 'keyUsage = critical,keyCertSign' \
        '[sign]' 'keyUsage = critical,digitalSignature' 'extendedKeyUsage = codeSigning' \
        '[tsa]' 'keyUsage = critical,digitalSignature' 'extendedKeyUsage = critical,timeStamping' >"$ca/ca.cnf"
    printf '%s\n' '[tsa]' 'default_tsa = local' '[local]' 'serial = tsa.serial' 'signer_cert = tsa.pem' \
        'certs = root.pem' 'signer_key = tsa.key' 'signer_digest = sha256' 'default_policy = 1.2.3.4.1' \
        'digests = sha256, sha384, sha512' 'ess_cert_id_alg = sha256' >"$ca/tsa.cnf"
    (cd "$ca" && : >index.txt && echo 01 >serial && head -c 24 /dev/urandom | base64 >pass &&
        for n in root sign tsa; do
            openssl req -new -newkey rsa:2048 -nodes -keyout $n.key -subj "/CN=Tavrilex test $n" -out $n.csr &&
            openssl ca -batch -notext -config ca.cnf -startdate 20000101000000Z -enddate 20991231235959Z \
                -extensions $n -in $n.csr -out $n.pem -keyfile root.key \
                $([ $n = root ] && echo -selfsign || echo -cert root.pem) || exit 1
        done &&
        openssl pkcs12 -export -inkey sign.key -in sign.pem -passout file:pass -out sign.p12) >"$ca/log" 2>&1 &&
        tsa_serve "$ca" || { cat "$ca/log"; echo "0 passed, 1 failed"; return 1; }
    echo "osslsigncode $(osslsigncode -v 2>&1 | sed -n 's/^osslsigncode \([0-9.]*\).*/\1/p' | head -n 1), timestamps from 127.0.0.1:$(cat "$ca/port")"
    export TAVRILEX_SIGN_PKCS12=$ca/sign.p12 TAVRILEX_SIGN_PASSFILE=$ca/pass TAVRILEX_SIGN_CAFILE=$ca/root.pem
    export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
    rm -rf "$base"
    TAVRILEX_SIGN_NO_TIMESTAMP=1 release_clones "$base" one second-clone &&
        TAVRILEX_SIGN_TIMESTAMP=http://127.0.0.1:$(cat "$ca/port")/ release_clones "$base" stamped ||
        { echo "0 passed, 1 failed"; return 1; }
    row() { if "${@:2}"; then echo "PASS $1"; passed=$((passed + 1)); else echo "FAIL $1"; failed=$((failed + 1)); fi; }
    verified() { osslsigncode verify -CAfile "$ca/root.pem" -TSA-CAfile "$ca/root.pem" -in "$1" 2>&1 |
                 grep -c 'Timestamp Server Signature verification: ok\|^Signature verification: ok' | grep -qx 2; }
    # An executable as it would be without its timestamp: its bytes without
    # the signature, and the signature's text up to its unsigned attributes.
    unstamped() {
        osslsigncode remove-signature -in "$1" -out "$1.bare" >/dev/null && sha256sum <"$1.bare" &&
            osslsigncode extract-signature -pem -in "$1" -out "$1.p7" >/dev/null &&
            openssl pkcs7 -in "$1.p7" -print | sed '/unauth_attr:/,$d' | sha256sum
    }
    exes_unstamped() { local e; for e in win32 win64; do unstamped "$1/$e/tavrilex.exe" || return 1; done; }
    listed() { (cd "$1" && head -n 3 SHA256SUMS | tr -d '\r' | sha256sum -c --quiet &&
                cd x && tr -d '\r' <SHA256SUMS | sha256sum -c --quiet); }
    changed() {   # $1 with the byte at $2 flipped, which must fail
        [ -n "$2" ] || { echo "nothing to change in $1"; return 1; }
        cp "$1" "$1.changed" && n=$(od -An -tu1 -j "$2" -N 1 "$1") &&
            printf "\\$(printf %o $((n ^ 1)))" | dd of="$1.changed" bs=1 seek="$2" conv=notrunc status=none &&
            ! verified "$1.changed" && [[ $(osslsigncode verify -in "$1.changed" 2>&1) == *MISMATCH* ]]
    }
    # The byte 200 past the cabinet's header, or nothing when there is none.
    in_cabinet() { local at; at=$(grep -obUa MSCF "$1" | head -n 1 | cut -d: -f1); [ -z "$at" ] || echo $((at + 200)); }
    # Signing runs that stop, and the release they leave behind.
    kept() {
        local before out
        release() { (cd "$base/stamped/dist" && sha256sum SHA256SUMS ./*.zip ./*.msi); }
        before=$(release) || return 1
        out=$(cd "$base/stamped" && env -u TAVRILEX_SIGN_TIMESTAMP -u TAVRILEX_SIGN_NO_TIMESTAMP scripts/package.sh 2>&1) &&
            { echo "signed without a timestamp"; return 1; }
        [[ $out == *"package: refusing to sign without a timestamp"* ]] || { echo "$out" | tail -n 3; return 1; }
        ! (cd "$base/stamped" && TAVRILEX_SIGN_TIMESTAMP=http://127.0.0.1:1/ scripts/package.sh) >/dev/null 2>&1 &&
            [ "$before" = "$(release)" ]
    }
    row "two signed clones give the same bytes" release_same "$base"
    for n in one stamped; do
        unzip -qo "$base/$n"/dist/*.zip -d "$base/$n/dist/x" || { echo "0 passed, 1 failed"; return 1; }
    done
    for f in x/win32/tavrilex.exe x/win64/tavrilex.exe tavrilex-*-x86.msi tavrilex-*-x64.msi; do
        f=$(echo "$base"/stamped/dist/$f)
        row "${f#"$base"/stamped/dist/} verifies, with its timestamp" verified "$f"
    done
    row "SHA256SUMS lists the timestamped files" listed "$base/stamped/dist"
    row "the timestamped executables differ in the timestamp alone" \
        cmp -s <(exes_unstamped "$base/one/dist/x") <(exes_unstamped "$base/stamped/dist/x")
    bare() {   # after exes_unstamped, which leaves each executable without its signature
        cmp -s "$base/stamped/dist/x/win32/tavrilex.exe.bare" "$base/stamped/build/package/win32/tavrilex.exe" &&
            cmp -s "$base/stamped/dist/x/win64/tavrilex.exe.bare" "$base/stamped/build/package/win64/tavrilex.exe"
    }
    row "without their signatures, the executables are the unsigned build" bare
    row "a byte changed in the x64 package's cabinet fails" changed "$f" "$(in_cabinet "$f")"
    row "a byte changed in win32/tavrilex.exe's code fails" changed "$base/stamped/dist/x/win32/tavrilex.exe" 4096
    row "no timestamp, or no answer from its server: refused, the last dist/ kept" kept
    rm -rf "$base/one" "$base/second-clone"
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
step release-signed release_signed
count release-signed

# No command the README gives is a bare sc, which PowerShell takes for Set-Content.
step readme-commands bash -c '! grep -nE "^\s*sc " README.md docs/*.md'

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

# The signed release's executable installs and runs as the service, and its
# package installs with msiexec: release-signed's timestamped files, with the
# helpers of this machine's build.
e2e_signed() {
    local dist=$root/build/signed/stamped/dist builds=$root/build/signed/e2e arch=x64
    [ "$wine_build" = win64 ] || arch=x86
    rm -rf "$builds" && mkdir -p "$builds/$wine_build/tests/e2e" "$builds/$wine_build/generated" &&
        cp "$dist/x/$wine_build/tavrilex.exe" "$builds/$wine_build/" &&
        cp "build/$wine_build/tests/e2e/"{quorbel_stub,message_check,sc_stub}.exe "$builds/$wine_build/tests/e2e/" &&
        cp "build/$wine_build/generated/TavrilexVersion.h" "$builds/$wine_build/generated/" ||
        { echo "missing: the signed release (release-signed) or build/$wine_build's helpers"; echo "0 passed, 1 failed"; return 1; }
    TAVRILEX_E2E_MSI=$(echo "$dist"/tavrilex-*-$arch.msi) tests/e2e/run.sh "$builds" install msi_install
}
step "e2e-signed-$wine_label-$wine_build" e2e_signed
count "e2e-signed-$wine_label-$wine_build"

# The contract and formatting unit tests as Windows programs; after the
# end-to-end suite so that they can start from a copy of its booted prefix.
step "unit-$wine_label-$wine_build" tests/wine/run.sh "$root/build"
count "unit-$wine_label-$wine_build"

# The end-to-end suite and the Windows unit programs again under a second
# Wine: the other Debian release's, in a root of its own (scripts/wine-root.sh,
# made once, about a minute, and kept outside the clone). On Debian 12 that is
# Wine 10, whose SCM notices a service process that dies, as Windows does: the
# crash rows hold there; on Debian 13, whose own Wine is 10, it is Wine 8. Its steps are named after the Wine and the build that
# run there; before the root is made, after the release's Wine. A pattern that
# selects one of them makes the root first. A root that cannot be made fails
# wine-root with its reason.
root_label=$(bash scripts/wine-root.sh label 2>/dev/null) || root_label=wine
root_needed=
for name in wine-root {e2e,unit}-"$root_label"-{win32,win64}; do
    selected "$name" && root_needed=1
done
needed=$root_needed step wine-root bash scripts/wine-root.sh make
if [ -n "$root_needed" ] && scripts/wine-root.sh run true 2>/dev/null; then
    other=$(scripts/wine-root.sh run bash -c 'source scripts/wine-pick.sh && wine_pick && echo "$wine_label-$wine_build"') ||
        other=$root_label-none
    step "e2e-$other" scripts/wine-root.sh run tests/e2e/run.sh "$root/build"
    count "e2e-$other"
    step "unit-$other" scripts/wine-root.sh run tests/wine/run.sh "$root/build"
    count "unit-$other"
else
    known_steps+=({e2e,unit}-"$root_label"-{win32,win64})
fi

# A pattern that selects nothing tests nothing: that is no pass.
if [ "$ran_steps" -eq 0 ]; then
    echo "test.sh: TAVRILEX_STEPS='${TAVRILEX_STEPS:-}' selects no step; the steps: ${known_steps[*]}"
    failed_steps+=(none-selected)
fi

echo
if [ ${#failed_steps[@]} -gt 0 ]; then
    echo "FAILED steps: ${failed_steps[*]}"
    # The root's reason, since without it the second Wine cannot run.
    [[ " ${failed_steps[*]} " != *" wine-root "* ]] || grep -h '^wine-root: ' "$logdir/wine-root.log" | tail -n 1
fi
echo "total: $total_passed passed, $total_failed failed"
[ ${#failed_steps[@]} -eq 0 ] && [ "$total_failed" -eq 0 ]
