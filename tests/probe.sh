#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the probe as its users see it: the bytes on the standard streams, the exit status and,
# under strace, the system calls. Usage: probe.sh GROUP PROBE BUILD [EMULATOR...], where BUILD is
# musl, glibc (static) or dynamic, and EMULATOR runs a foreign build (qemu-user); ARCH in the
# environment is the binary's Debian architecture. Usage of the foreign group, which builds and
# tests another architecture: probe.sh foreign PROBE musl ARCH TRIPLET QEMU-MACHINE.
# Exit 0 when every case of GROUP passes, 1 when one fails, 77 when GROUP cannot run here
# (never under CI=true, where every case must run).
set -u
group=$1
probe=$(realpath "$2")
build=$3
shift 3
emulator=("$@")
[ "$group" = foreign ] && emulator=()
run=("${emulator[@]}" "$probe")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# The completion line's one system call, as strace shows it: musl's stdio writes through writev,
# whose empty first vector qemu hands on to the host without its address.
if [ ${#emulator[@]} -gt 0 ]; then
    write_call='writev(2, [{iov_base=NULL, iov_len=0}, {iov_base="Done.\n", iov_len=6}], 2)'
elif [ "$build" = musl ]; then
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
need_strace() {
    command -v strace >/dev/null || skip "strace is not installed"
    strace -o /dev/null true 2>/dev/null || skip "strace cannot trace here (ptrace refused)"
}
[ ${#emulator[@]} -eq 0 ] || command -v "${emulator[0]}" >/dev/null ||
    skip "the emulator ${emulator[0]} is not installed"

# expect_done LABEL COMMAND...: COMMAND exits 0, writes nothing on stdout and exactly "Done.\n" on
# stderr.
expect_done() {
    local label=$1 status
    shift
    "$@" >"$tmp/out" 2>"$tmp/err"
    status=$?
    [ "$status" -eq 0 ] || fail "$label: exit status $status"
    [ ! -s "$tmp/out" ] || fail "$label: stdout not empty"
    printf 'Done.\n' | cmp -s - "$tmp/err" ||
        fail "$label: stderr is not exactly Done.\\n: $(head -c 60 "$tmp/err" | od -An -c)"
}
# strace_run STRACE-OPTION... COMMAND...: runs COMMAND under strace, keeping in $tmp/trace the calls
# of the thread that made the query: the probe's own, or on a foreign build, what its emulator
# makes of them on the host (the emulator runs threads of its own).
strace_run() {
    rm -f "$tmp"/thread.*
    # A file per thread: threads running side by side would split each other's lines.
    strace -ff -o "$tmp/thread" -e raw=syslog "$@"
    local status=$? query
    query=$(grep -l '^syslog(' "$tmp"/thread.*)
    cat ${query:-/dev/null} >"$tmp/trace"
    return $status
}
# traced LABEL STRACE-OPTION...: runs the probe under strace into $tmp/trace and checks its output.
traced() {
    local label=$1
    shift
    expect_done "$label" strace_run "$@" "${run[@]}"
}
# expect_tail LABEL: the trace from the query on, results dropped, is the part of a run that must
# never change: one query, the one write, the exit. Under an emulator, its thread may take a lock
# that its other thread holds (futex) between two of the guest's calls: that is the emulator's.
expect_tail() {
    local own='^$'
    [ ${#emulator[@]} -eq 0 ] || own='^futex\('
    printf '%s\n' 'syslog(0x9, 0, 0)' "$write_call" 'exit_group(0)' '+++ exited with 0 +++' |
        diff - <(sed -n '/^syslog(/,$p' "$tmp/trace" | grep -Ev "$own" | sed 's/ *= .*//') ||
        fail "$1: the run from the query on is not query, write, exit"
}
# write_result: what the completion line's write returned.
write_result() { grep -F "$write_call" "$tmp/trace" | sed 's/.* = //'; }

case $group in
output)
    expect_done "no arguments" "${run[@]}"
    expect_done "a thousand arguments" "${run[@]}" $(seq 1000)
    expect_done "option-like arguments" "${run[@]}" --help -h --version -- -
    expect_done "empty and non-UTF-8 arguments" "${run[@]}" '' $'\xff\xfe' $'\x80'
    expect_done "empty environment" env -i "${run[@]}"
    expect_done "standard input closed" "${run[@]}" <&-
    expect_done "standard input and output closed" sh -c 'exec "$@" <&- >&-' sh "${run[@]}"
    ;;
trace)
    need_strace
    traced "under strace"
    expect_tail "under strace"
    ! grep -E '^(read|write|readv|writev|pread64|pwrite64)\([01],' "$tmp/trace" ||
        fail "standard input or output was used"
    if [ ${#emulator[@]} -gt 0 ]; then
        # The guest's own calls, as the emulator logs them, addresses and IDs masked. It does not
        # log ARM's private set_tls, which musl's start-up makes before set_tid_address.
        case $ARCH in
        i386 | mips*) start=('set_thread_area(ADDRESS) = 0') ;;
        *) start=() ;;
        esac
        "${emulator[@]}" -strace -D "$tmp/guest" "$probe" 2>/dev/null
        printf '%s\n' "${start[@]}" 'set_tid_address(...) = ID' \
            'syslog(SYSLOG_ACTION_SIZE_UNREAD,NULL,0) = ANSWER' 'writev(2,ADDRESS,0x2) = 6' \
            'exit_group(0)' | diff - <(sed -E 's/^[0-9]+ //; s/^(set_tid_address\().*\) = .*/\1...) = ID/
                s/^(syslog\(.*\)) = .*/\1 = ANSWER/; s/0x[0-9a-f]{5,}/ADDRESS/' "$tmp/guest") ||
            fail "the guest's whole run is not the documented calls for $ARCH"
    elif [ "$build" = musl ]; then
        # musl's start-up makes two calls before main, so the whole run is known: any call that
        # creeps in fails here.
        printf '%s\n' execve arch_prctl set_tid_address syslog writev exit_group \
            '+++ exited with 0 +++' | diff - <(sed 's/(.*//' "$tmp/trace") ||
            fail "the whole run is not the documented six calls"
    fi
    ;;
answer)
    need_strace
    for answer in error=EPERM error=ENOSYS retval=0 retval=2147483647; do
        traced "query answered $answer" -e inject=syslog:$answer
        grep -q '^syslog(0x9, 0, 0) .*(INJECTED)' "$tmp/trace" || fail "$answer was not injected"
        expect_tail "query answered $answer"
    done
    ;;
stderr)
    # Closed, then open but failing: either way one write, nothing elsewhere, status 0.
    need_strace
    strace_run "${run[@]}" >"$tmp/out" 2>&-
    status=$?
    [[ $(write_result) == "-1 EBADF"* ]] || fail "stderr was not closed: $(write_result)"
    expect_tail "stderr closed"
    strace_run -e inject="${write_call%%(*}":error=EIO "${run[@]}" >>"$tmp/out" 2>"$tmp/err"
    status2=$?
    [[ $(write_result) == "-1 EIO"*"(INJECTED)" ]] || fail "EIO was not injected: $(write_result)"
    expect_tail "write failing"
    for s in $status $status2; do [ "$s" -eq 0 ] || fail "failing stderr: exit status $s"; done
    [ ! -s "$tmp/out" ] && [ ! -s "$tmp/err" ] || fail "failing stderr: output went elsewhere"
    ;;
unprivileged)
    need_strace
    # A copy anyone may run: the build tree can sit in a directory closed to other users.
    chmod 755 "$tmp"
    install -m 755 "$probe" "$tmp/probe"
    drop=()
    if [ "$(id -u)" -eq 0 ]; then
        command -v setpriv >/dev/null || skip "setpriv is not installed to drop root"
        drop=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    fi
    expect_done "unprivileged" strace_run "${drop[@]}" "${emulator[@]}" "$tmp/probe"
    grep -q '^syslog(0x9, 0, 0) *= -1 EPERM' "$tmp/trace" ||
        skip "the kernel did not refuse this user's query: $(grep '^syslog(' "$tmp/trace")"
    ;;
hardening)
    command -v readelf >/dev/null || skip "readelf is not installed"
    headers=$(readelf -hldW "$probe")
    grep -q 'Type: *DYN' <<<"$headers" || fail "not position-independent"
    grep -q 'GNU_RELRO' <<<"$headers" || fail "no RELRO segment"
    grep -q 'FLAGS_1.* NOW' <<<"$headers" || fail "symbols not bound at start-up (partial RELRO)"
    grep 'GNU_STACK' <<<"$headers" | grep -q ' RW ' || fail "stack is executable"
    if [ "$build" != dynamic ]; then
        ! grep -E 'INTERP|\(NEEDED\)' <<<"$headers" || fail "static build needs a loader or library"
    fi
    ;;
limits)
    # Sandboxes cap memory; the start-up must not die under caps a small process meets.
    command -v prlimit >/dev/null || skip "prlimit is not installed"
    need_strace
    expect_done "address space 512 KiB, data 64 KiB" \
        strace_run prlimit --as=524288 --data=65536 "$probe"
    expect_tail "address space 512 KiB, data 64 KiB"
    ;;
empty-root)
    # The static build needs no loader, library or device: a root holding only the binary.
    mkdir "$tmp/root"
    install -m 755 "$probe" "$tmp/root/probe"
    if [ "$(id -u)" -eq 0 ]; then
        expect_done "empty root" chroot "$tmp/root" /probe
    elif unshare -r true 2>/dev/null; then
        expect_done "empty root" unshare -r chroot "$tmp/root" /probe
    else
        skip "neither root nor a user namespace to chroot in"
    fi
    ;;
install)
    command -v groff >/dev/null || skip "groff is not installed to check the manual page"
    DESTDIR="$tmp/stage" "$CMAKE_COMMAND" --install "$BUILD_DIR" --prefix /opt/probe >/dev/null ||
        fail "cmake --install failed"
    expect_done "installed binary" "${emulator[@]}" "$tmp/stage/opt/probe/bin/linux-syslog-syscall"
    page=$tmp/stage/opt/probe/share/man/man1/linux-syslog-syscall.1.gz
    [ -f "$page" ] || fail "manual page not installed"
    warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1) && [ -z "$warnings" ] ||
        fail "manual page: $warnings"
    gzip -dc "$page" | grep -q "^\.TH .*linux\\\\-syslog\\\\-syscall $VERSION\"" ||
        fail "manual page does not carry version $VERSION"
    ;;
package)
    for tool in dpkg-deb lintian; do
        command -v $tool >/dev/null || skip "$tool is not installed"
    done
    deb=$BUILD_DIR/linux-syslog-syscall_${VERSION}_$ARCH.deb
    # Twice, a second apart: a time stamp that leaks past SOURCE_DATE_EPOCH makes the two differ.
    for round in 1 2; do
        [ $round = 1 ] || { cp "$deb" "$tmp/first.deb" && sleep 1; }
        SOURCE_DATE_EPOCH=1796688000 "$CMAKE_COMMAND" --build "$BUILD_DIR" --target package \
            >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "packaging failed"; }
    done
    cmp -s "$deb" "$tmp/first.deb" || fail "two packages of one build differ"
    # The libc version that the dynamic build depends on is the build machine's to compute.
    fields=$(dpkg-deb -f "$deb" Package Version Architecture Section Priority Depends Built-Using |
        sed -E 's/^(Depends: libc6|Built-Using: musl) \((>=|=) [0-9.+~-]*\)$/\1/')
    expected=("Package: linux-syslog-syscall" "Version: $VERSION" "Section: utils"
        "Architecture: $ARCH" "Priority: optional")
    [ "$build" = dynamic ] && expected+=("Depends: libc6")
    [ "$build" = musl ] && expected+=("Built-Using: musl")
    diff <(printf '%s\n' "${expected[@]}" | sort) <(sort <<<"$fields") || fail "package fields"
    [ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 1 ] || fail "no extended description"
    declare -A carries=([musl]="static, musl" [glibc]="static, glibc" [dynamic]="shared glibc")
    dpkg-deb -f "$deb" Description | head -1 | grep -qF "(${carries[$build]})" ||
        fail "the summary does not say which build the package holds"
    # Files only, as paths, then any entry not owned by root.
    listing=$(dpkg-deb -c "$deb")
    files=(usr/bin/linux-syslog-syscall usr/share/doc/linux-syslog-syscall/changelog.gz
        usr/share/doc/linux-syslog-syscall/copyright usr/share/man/man1/linux-syslog-syscall.1.gz)
    [ "$build" = dynamic ] || files+=(usr/share/lintian/overrides/linux-syslog-syscall)
    diff <(printf './%s\n' "${files[@]}" | sort) \
        <(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort) || fail "package files"
    ! awk '$2 != "root/root"' <<<"$listing" | grep . || fail "files not owned by root"
    tar -tzf "$BUILD_DIR/linux-syslog-syscall-$VERSION-linux-$ARCH.tar.gz" |
        grep -v '/$' | sed 's|^[^/]*/||' | sort | diff <(printf '%s\n' "${files[@]}" | sort) - ||
        fail "the tarball's files are not the package's"
    dpkg-deb -x "$deb" "$tmp/root"
    expect_done "packaged binary" "${emulator[@]}" "$tmp/root/usr/bin/linux-syslog-syscall"
    ! readelf -S "$tmp/root/usr/bin/linux-syslog-syscall" | grep -q '\.symtab' ||
        fail "packaged binary is not stripped"
    lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1 ||
        fail "lintian: $(grep -v 'root privileges' "$tmp/lintian")"
    ;;
foreign)
    # Another architecture's default build, made with the plain cross configure and tested with its
    # own groups through qemu-user.
    arch=$1 triplet=$2 machine=$3
    for tool in "$triplet-g++" "qemu-$machine"; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
    dir=$BUILD_DIR/foreign/$arch
    { "$CMAKE_COMMAND" --preset default -S "$SOURCE_DIR" -B "$dir" -DCMAKE_SYSTEM_NAME=Linux \
        -DCMAKE_SYSTEM_PROCESSOR="$machine" -DCMAKE_CXX_COMPILER="$triplet-g++" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-$machine" && "$CMAKE_COMMAND" --build "$dir" &&
        "$(dirname "$CMAKE_COMMAND")/ctest" --test-dir "$dir" --output-on-failure; } >"$tmp/log" 2>&1 ||
        { cat "$tmp/log"; fail "$arch: the build or one of its groups failed"; }
    ;;
*)
    echo "unknown group: $group" >&2
    exit 2
    ;;
esac

[ "$failures" -eq 0 ] || exit 1
echo "$group: all cases passed"
