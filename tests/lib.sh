# SPDX-License-Identifier: MIT
# The harness every group runs on: tests/groups/GROUP.sh starts with
#     source "$(dirname "$0")/../lib.sh" "$@"
# and is called by CTest as GROUP.sh PROBE KIND [EMULATOR...] (tests/CMakeLists.txt), with ARCH,
# SOURCE_DIR, BUILD_DIR, VERSION, CMAKE_COMMAND and ATTACK in its environment. It exits 0 when
# every case passes, 1 when one fails, 77 when it cannot run here (never under CI=true), 99 when
# what it runs on could not be made (lab_fault). Everything it writes goes in its own $tmp.
# shellcheck shell=bash disable=SC2034 # the groups use what this file sets
set -u
# The tables, Debian's packages and lab_fault.
# shellcheck source=SCRIPTDIR/../packaging/debian.sh
source "$SOURCE_DIR/packaging/debian.sh"
group=$(basename "$0" .sh)
probe=$(realpath "$1")
kind=$2
emulator=("${@:3}")
probe_command=("${emulator[@]}" "$probe")
tmp=$(mktemp -d)
export TMPDIR=$tmp
# Commands that put back what the group changed on the machine, run however it ends; a failure
# counted makes it exit 1 whatever path it ends by, a skip included.
undo=()
failures=0
cleanup() {
    local status=$? command
    for command in "${undo[@]}"; do eval "$command"; done
    rm -rf "$tmp"
    [ "$failures" -eq 0 ] || status=1
    [ "$status" -ne 0 ] || [ -n "${inner_said:-}" ] || echo "$group: all cases passed"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# The completion line's one call as strace shows it: musl writes through writev, whose empty first
# vector qemu hands on without its address.
if [ ${#emulator[@]} -gt 0 ]; then
    write_call='writev(2, [{iov_base=NULL, iov_len=0}, {iov_base="Done.\n", iov_len=6}], 2)'
elif [ "$kind" = musl ]; then
    write_call='writev(2, [{iov_base="", iov_len=0}, {iov_base="Done.\n", iov_len=6}], 2)'
else
    write_call='write(2, "Done.\n", 6)'
fi

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
skip() {
    [ "${CI:-}" = true ] && { echo "FAIL: cannot run in CI: $*"; exit 1; }
    echo "SKIP: $*"
    exit 77
}
need() {
    local tool
    for tool in "$@"; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
}
need_strace() {
    need strace
    strace -o /dev/null true 2>/dev/null || skip "strace cannot trace here (ptrace refused)"
}
[ ${#emulator[@]} -eq 0 ] || need "${emulator[0]}"
need_root() { [ "$(id -u)" -eq 0 ] || skip "needs root"; }
# ARCH, the build's Debian architecture, which only dpkg names.
need_arch() { [ -n "${ARCH:-}" ] || skip "no Debian architecture for the build (dpkg-dev)"; }
need_every_build() {
    local arch
    need_arch
    for arch in "${architectures[@]}"; do
        [ "$arch" = "$ARCH" ] || [ -x "$BUILD_DIR/foreign/$arch/linux-syslog-syscall" ] ||
            skip "no $arch build: its own test did not build it"
    done
}
# The python with Debian's libseccomp binding.
python=/usr/bin/python3
need_python_seccomp() {
    [ -x "$python" ] && "$python" -c 'import seccomp' 2>/dev/null ||
        skip "Debian's python3-seccomp is not installed"
}

whole_run=$SOURCE_DIR/policies/whole-run.json
image=$BUILD_DIR/linux-syslog-syscall-$VERSION-oci.tar
name=linux-syslog-syscall:$VERSION
engines_profile=$SOURCE_DIR/policies/seccomp.json
launcher_profile=$SOURCE_DIR/policies/seccomp-launcher.json
# Each exact engine case runs ROUNDS times in a row: a runtime's occasional call shows as a round.
rounds=$(seq "${ROUNDS:-1}")
# The attack program of a musl build (tests/attack.cpp).
attack=${ATTACK:-}

# shared_copy FILE NAME: FILE as $shared/NAME, which any user may run: $tmp may lie in a TMPDIR
# that other users cannot enter.
shared=
shared_copy() {
    [ -n "$shared" ] || { shared=$(mktemp -d /tmp/linux-syslog-syscall.XXXXXX) &&
        chmod 755 "$shared" && undo+=("rm -rf $shared"); } || exit 1
    install -m 755 "$1" "$shared/$2"
}
# wait_until SECONDS COMMAND...: COMMAND every tenth of a second until it succeeds, for SECONDS.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# expect LABEL STATUS OUTPUT COMMAND...: COMMAND ends with STATUS (or "failed": any but 0), writes
# nothing on stdout and on stderr OUTPUT: "done", exactly "Done.\n"; "none"; or that line.
expect() {
    local label=$1 want=$2 output=$3 status
    shift 3
    "$@" >"$tmp/out" 2>"$tmp/err"
    status=$?
    if [ "$want" = failed ]; then [ "$status" -ne 0 ]; else [ "$status" -eq "$want" ]; fi ||
        fail "$label: exit status $status, not $want: $(head -c 300 "$tmp/err")"
    [ ! -s "$tmp/out" ] || fail "$label: stdout not empty: $(head -c 300 "$tmp/out")"
    case $output in
    done) output=Done. ;;
    none) [ ! -s "$tmp/err" ] || fail "$label: output: $(head -c 300 "$tmp/err")" && return ;;
    esac
    printf '%s\n' "$output" | cmp -s - "$tmp/err" ||
        fail "$label: stderr is not exactly $output\\n: $(head -c 60 "$tmp/err" | od -An -c)"
}
expect_done() { expect "$1" 0 "done" "${@:2}"; }
# expect_killed LABEL COMMAND...: killed by SIGSYS before any output (a container that fails to
# start fails it).
expect_killed() { expect "$1" $((128 + 31)) none "${@:2}"; }
# expect_attack LABEL OUTCOME COMMAND...: the attack case that COMMAND runs ends as OUTCOME:
# "killed", or its line, "answered" or "refused ERRNO".
expect_attack() {
    if [ "$2" = killed ]; then expect_killed "$1" "${@:3}"; else expect "$1" 0 "$2" "${@:3}"; fi
}
# i386_calls: this kernel takes an i386 call from an x86-64 process (IA32 emulation, as Debian's
# kernels do; this project's VM's own kernel does not).
i386_calls() { [ "$ARCH" = amd64 ] && [ "$("$attack" i386 2>&1)" = answered ]; }

# layer_of: names, from the kernel's audit records of one run with the package's audit rule loaded,
# who decided the query: "answered"; "capability EPERM", which leaves the query's record alone;
# "apparmor ERRNO" or "selinux ERRNO", by the module's record beside it; "bpf-lsm ERRNO", by the
# line a BPF program on the module's hook left (the kernel group's, kernel-lsm.c); or "seccomp",
# which refuses the call before it enters, so that no record of the query is made.
layer_of() {
    awk 'BEGIN { name[1] = "EPERM"; name[13] = "EACCES" }
        / type=1300 .* key="linux-syslog-syscall"/ {
            query = / success=yes / ? "answered" : "refused"
            errno = -substr($0, index($0, " exit=") + 6) }
        / bpf_trace_printk: lsm\/syslog refused / { module = "bpf-lsm" }
        /apparmor="DENIED"/ { module = "apparmor" }
        / avc: +denied / { module = "selinux" }
        END {
            if (query != "refused") { print query ? query : "seccomp"; exit }
            print (module ? module : "capability"), (errno in name ? name[errno] : "exit=-" errno)
        }'
}

# strace_run STRACE-OPTION... COMMAND...: COMMAND under strace, $tmp/trace the calls of the thread
# that made the query (an emulator runs threads of its own), one file a thread, unsplit.
strace_run() {
    rm -f "$tmp"/thread.*
    strace -ff -o "$tmp/thread" -e raw=syslog "$@"
    local status=$? query
    query=$(grep -l '^syslog(' "$tmp"/thread.*)
    cat ${query:-/dev/null} >"$tmp/trace"
    return $status
}
# traced LABEL STRACE-OPTION...: the probe, exact, under strace into $tmp/trace.
traced() { expect_done "$1" strace_run "${@:2}" "${probe_command[@]}"; }
# expect_tail LABEL: the trace from the query on, results dropped, is what must never change: the
# query, the one write, the exit. An emulator's thread may take a lock (futex) in between.
expect_tail() {
    local own='^$'
    [ ${#emulator[@]} -eq 0 ] || own='^futex\('
    printf '%s\n' 'syslog(0x9, 0, 0)' "$write_call" 'exit_group(0)' '+++ exited with 0 +++' |
        diff - <(sed -n '/^syslog(/,$p' "$tmp/trace" | grep -Ev "$own" | sed 's/ *= .*//') ||
        fail "$1: the run from the query on is not query, write, exit"
}
# expect_reproducible TARGET FILE: TARGET, which writes FILE, built twice a second apart under one
# SOURCE_DATE_EPOCH, the second time under umask 077: a time or a umask that leaks in differs.
expect_reproducible() {
    local round mask=022
    for round in 1 2; do
        [ $round = 1 ] || { mv "$2" "$tmp/first" && sleep 1 && mask=077; }
        rm -f "$2"
        (umask $mask && SOURCE_DATE_EPOCH=1796688000 "$CMAKE_COMMAND" --build "$BUILD_DIR" \
            --target "$1") >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "$1: the build failed"; }
    done
    cmp -s "$2" "$tmp/first" || fail "$1: two builds of it differ"
}
