#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the probe as its users see it: the bytes on the standard streams, the exit status and,
# under strace, the system calls. Usage: probe.sh GROUP PROBE BUILD [EMULATOR...], where BUILD is
# musl, glibc (static) or dynamic, and EMULATOR runs a foreign build (qemu-user); ARCH in the
# environment is the binary's Debian architecture. Usage of the foreign group, which builds and
# tests another architecture: probe.sh foreign PROBE musl ARCH TRIPLET QEMU-MACHINE; of the kernel
# group, which boots ARCH's Debian kernel to run its build and those of OTHER-ARCHs in it:
# probe.sh kernel PROBE musl ARCH [OTHER-ARCH...].
# Exit 0 when every case of GROUP passes, 1 when one fails, 77 when GROUP cannot run here
# (never under CI=true, where every case must run).
set -u
group=$1
probe=$(realpath "$2")
build=$3
shift 3
emulator=("$@")
case $group in foreign | kernel) emulator=() ;; esac
run=("${emulator[@]}" "$probe")
tmp=$(mktemp -d)
# Commands that put back what a group changed on the machine, run however the script ends.
undo=()
cleanup() {
    local command
    for command in "${undo[@]}"; do eval "$command"; done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
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

# need TOOL...: skips the group unless every TOOL is installed.
need() {
    local tool
    for tool in "$@"; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
}
need_root() { [ "$(id -u)" -eq 0 ] || skip "needs root"; }
# A mount namespace of its own, which a chroot whose / is not a mount point cannot give.
need_mount_namespace() {
    need unshare
    unshare -m true 2>/dev/null || skip "no mount namespace here: $(unshare -m true 2>&1)"
}
# The python that carries Debian's libseccomp binding; the checks below use only its standard
# library otherwise.
python=/usr/bin/python3

# The default build's whole run on each architecture, as the package ships it.
runs=$SOURCE_DIR/policies/whole-run.json
# musl_run: this architecture's whole run, from execve, as call names.
musl_run() { jq -r --arg arch "$ARCH" '.architectures[$arch].run[].name' "$runs" | tr '\n' ' '; }
# scmp_arch: libseccomp's name for this architecture, then for the 64-bit machine of the shipped
# profile that also runs it, if any.
scmp_arch() {
    local native
    native=$(jq -r --arg arch "$ARCH" '.architectures[$arch].seccomp' "$runs")
    echo "${native#SCMP_ARCH_}" $(jq -r --arg native "$native" '.archMap[] |
        select(.subArchitectures | index($native)) | .architecture | ltrimstr("SCMP_ARCH_")' \
        "$SOURCE_DIR/policies/seccomp.json")
}

# bundle DIR BINARY: an OCI bundle whose read-only root holds only BINARY, its entrypoint, run as
# root with a container runtime's usual three capabilities (no CAP_SYSLOG), noNewPrivileges, its
# own namespaces and an empty /dev.
bundle() {
    mkdir -p "$1/rootfs"
    install -m 755 "$2" "$1/rootfs/probe"
    jq -n '["CAP_AUDIT_WRITE", "CAP_KILL", "CAP_NET_BIND_SERVICE"] as $caps | {ociVersion: "1.0.2",
        root: {path: "rootfs", readonly: true}, process: {args: ["/probe"], cwd: "/",
        user: {uid: 0, gid: 0}, noNewPrivileges: true,
        capabilities: {bounding: $caps, effective: $caps, permitted: $caps}},
        mounts: [{destination: "/dev", type: "tmpfs", source: "tmpfs", options: ["nosuid"]}],
        linux: {namespaces: [{type: "pid"}, {type: "network"}, {type: "ipc"}, {type: "uts"},
        {type: "mount"}]}}' >"$1/config.json"
}
# with_profile DIR [CALL]: loads the shipped profile, without CALL, into DIR's config the way a
# runtime that takes the file (podman, Docker) does: this machine's architectures and the rules.
with_profile() {
    local native
    read -r native _ <<<"$(scmp_arch)"
    jq --arg arch "SCMP_ARCH_$native" --arg drop "${2:-}" \
        --slurpfile p "$SOURCE_DIR/policies/seccomp.json" '.linux.seccomp = ($p[0] | {defaultAction,
        syscalls: [.syscalls[] | {names: (.names - [$drop]), action}], architectures:
        [.archMap[] | select(.architecture == $arch) | .architecture, .subArchitectures[]]})' \
        "$1/config.json" >"$1/profiled" && mv "$1/profiled" "$1/config.json"
}
# crun_run DIR: runs the bundle with crun, its state under $tmp. crun refuses a hybrid cgroup
# layout, so it runs in a mount namespace of its own without the cgroup v2 mount, managing no
# cgroup: nothing outlives the run, and the machine's mounts are not touched.
crun_run() {
    unshare -m sh -c 'if mountpoint -q /sys/fs/cgroup/unified; then umount /sys/fs/cgroup/unified; fi
        exec crun --cgroup-manager=disabled --root "$0/crun" run -b "$1" probe' "$tmp" "$1"
}

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
# expect_reproducible TARGET FILE: builds TARGET, which writes FILE, twice a second apart under one
# SOURCE_DATE_EPOCH: a time stamp that leaks past it makes the two differ.
expect_reproducible() {
    local round
    for round in 1 2; do
        [ $round = 1 ] || { cp "$2" "$tmp/first" && sleep 1; }
        SOURCE_DATE_EPOCH=1796688000 "$CMAKE_COMMAND" --build "$BUILD_DIR" --target "$1" \
            >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "$1: the build failed"; }
    done
    cmp -s "$2" "$tmp/first" || fail "$1: two builds of it differ"
}
# debian_kernel ARCH FLAVOUR: unpacks into $tmp/boot the kernel image and configuration of the
# package that Debian's metapackage for FLAVOUR depends on now. The package is fetched once into
# the user's cache, one fetch at a time, and checked at each use against the hash in apt's index.
debian_kernel() {
    local cache=${XDG_CACHE_HOME:-$HOME/.cache}/linux-syslog-syscall package fields deb lock fetch
    # Only that architecture's lists, read without apt's cache: quicker than all of them, and no
    # file of apt's is rewritten.
    local apt=(-o APT::Architecture="$1" -o APT::Architectures="$1" -o Dir::Cache::pkgcache=
        -o Dir::Cache::srcpkgcache=)
    # The metapackage, which names the current package, and every package of the flavour.
    fields=$(apt-cache "${apt[@]}" show --no-all-versions "linux-image-$2" "linux-image-[0-9]*-$2" \
        2>/dev/null)
    package=$(awk -v RS= -v name="linux-image-$2" '$2 == name' <<<"$fields" |
        sed -n 's/^Depends:.*\(linux-image-[0-9][^ ,]*\).*/\1/p')
    [ -n "$package" ] || skip "apt knows no linux-image-$2 for $1 (apt-get update, with $1 added)"
    fields=$(awk -v RS= -v name="$package" '$2 == name' <<<"$fields")
    deb=$cache/$(sed -n 's|^Filename: .*/||p' <<<"$fields")
    mkdir -p "$cache" && exec {lock}>"$deb.lock" && flock "$lock" || skip "cannot lock $deb"
    if [ ! -f "$deb" ]; then
        # Downloaded aside, apt checking the hash, and renamed: no one sees a partial file.
        fetch=$(mktemp -d "$cache/fetch.XXXXXX")
        undo+=("rm -rf '$fetch'")
        (cd "$fetch" && apt-get "${apt[@]}" download \
            "$package=$(sed -n 's/^Version: //p' <<<"$fields")") >"$tmp/apt" 2>&1 &&
            mv "$fetch"/*.deb "$deb" || skip "cannot fetch: $(tail -1 "$tmp/apt")"
    fi
    exec {lock}>&-
    sha256sum -c --quiet <<<"$(sed -n 's/^SHA256: //p' <<<"$fields")  $deb" ||
        { fail "$deb is not the archive's: delete it to fetch it again"; return 1; }
    # The two files sit at the front of the package: tar stops there.
    dpkg-deb --fsys-tarfile "$deb" 2>/dev/null | tar -x -C "$tmp" --wildcards --occurrence \
        "./boot/config-${package#linux-image-}" "./boot/vmlinu?-${package#linux-image-}"
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
    need jq
    traced "under strace"
    expect_tail "under strace"
    ! grep -E '^(read|write|readv|writev|pread64|pwrite64)\([01],' "$tmp/trace" ||
        fail "standard input or output was used"
    # A foreign build's whole run is checked on its architecture's kernel (the kernel group).
    if [ ${#emulator[@]} -eq 0 ] && [ "$build" = musl ]; then
        # musl's start-up makes two calls before main, so the whole run is known: any call that
        # creeps in fails here.
        { musl_run | tr ' ' '\n' && echo '+++ exited with 0 +++'; } |
            diff - <(sed 's/(.*//' "$tmp/trace") || fail "the whole run is not the documented calls"
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
    if [ "$(id -u)" -eq 0 ]; then
        # As in most containers: root, but without CAP_SYSLOG.
        expect_done "root without CAP_SYSLOG" strace_run setpriv --bounding-set=-syslog \
            --inh-caps=-syslog "${emulator[@]}" "$tmp/probe"
        grep -q '^syslog(0x9, 0, 0) *= -1 EPERM' "$tmp/trace" ||
            fail "root without CAP_SYSLOG was answered: $(grep '^syslog(' "$tmp/trace")"
    fi
    ;;
hardening)
    need readelf
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
    need prlimit
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
    need dpkg-deb lintian
    deb=$BUILD_DIR/linux-syslog-syscall_${VERSION}_$ARCH.deb
    expect_reproducible package "$deb"
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
    files+=(usr/share/linux-syslog-syscall/audit.rules)
    [ "$build" = dynamic ] || files+=(usr/share/lintian/overrides/linux-syslog-syscall)
    [ "$build" = musl ] && files+=(usr/share/linux-syslog-syscall/seccomp.json
        usr/share/linux-syslog-syscall/whole-run.json)
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
seccomp)
    # The shipped profile allows this architecture's whole run, by names libseccomp resolves here,
    # and covers the architecture, also under the 64-bit machine that runs it.
    need jq
    [ -x "$python" ] && "$python" -c 'import seccomp' 2>/dev/null ||
        skip "Debian's python3-seccomp is not installed"
    read -r native host <<<"$(scmp_arch)"
    "$python" - "$SOURCE_DIR/policies/seccomp.json" "$native" "${host:-}" $(musl_run) <<'EOF' ||
import json, sys, seccomp
profile, native, host, calls = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3], sys.argv[4:]
allowed = {name for rule in profile["syscalls"] if rule["action"] == "SCMP_ACT_ALLOW"
           for name in rule["names"]}
archs = {entry["architecture"]: entry["subArchitectures"] for entry in profile["archMap"]}
missing = [call for call in calls if call not in allowed
           or seccomp.resolve_syscall(getattr(seccomp.Arch, native), call) < 0]
if ("SCMP_ARCH_" + native not in archs
        or host and "SCMP_ARCH_" + native not in archs.get("SCMP_ARCH_" + host, [])):
    missing.append("the architecture itself")
print(" ".join(missing))
sys.exit(1 if missing else 0)
EOF
        fail "the profile does not allow, on $native: see above"
    if [ ${#emulator[@]} -eq 0 ]; then
        # In a real engine: crun loads the profile and runs the probe, alone in its root.
        need crun
        need_root
        need_mount_namespace
        bundle "$tmp/bundle" "$probe"
        with_profile "$tmp/bundle"
        expect_done "crun, shipped profile" crun_run "$tmp/bundle"
        # The profile is live: without syslog the run is killed at the query, before any output.
        bundle "$tmp/denied" "$probe"
        with_profile "$tmp/denied" syslog
        crun_run "$tmp/denied" >"$tmp/out" 2>"$tmp/err"
        status=$?
        [ "$status" -eq $((128 + 31)) ] || fail "without syslog: status $status, not SIGSYS"
        [ ! -s "$tmp/out" ] && [ ! -s "$tmp/err" ] || fail "without syslog: output: $(cat "$tmp/err")"
    fi
    ;;
audit)
    # The shipped rules, loaded for real: one record per run, with the query's arguments. Other
    # programs may use audit meanwhile: their rules and records are left alone, ours are told by
    # key and executable, and a round whose records the kernel or the socket dropped is run again.
    need auditctl setpriv
    need_root
    [ -x "$python" ] || skip "$python is not installed"
    found=$(auditctl -s 2>&1) || skip "audit is not available here: $found"
    setting() { auditctl -s | awk -v key="$1" '$1 == key { print $2 }'; }
    [ "$(setting enabled)" != 2 ] || skip "the audit configuration is locked"
    # Put back the enabled flag and the queue's limit, then delete each rule that was added.
    undo+=("auditctl -e $(setting enabled) -b $(setting backlog_limit) >/dev/null")
    # Room in the kernel's queue for others' records as well as ours.
    auditctl -e 1 -b 8192 >/dev/null || fail "audit cannot be enabled"
    while read -r rule; do
        # A rule loaded already (the package's, say) is used and left as it is.
        if auditctl $rule 2>"$tmp/log"; then
            undo+=("auditctl ${rule/-a/-d} >/dev/null 2>&1")
        elif ! grep -q 'Rule exists' "$tmp/log"; then
            fail "the rule does not load: $rule: $(cat "$tmp/log")"
        fi
    done < <(grep '^-a ' "$SOURCE_DIR/policies/audit.rules")
    # The kernel sends every record to the audit log's multicast group, with or without a daemon.
    "$python" -c '
import errno, socket, struct
s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 9)  # NETLINK_AUDIT
s.setsockopt(socket.SOL_SOCKET, 33, 1 << 22)  # SO_RCVBUFFORCE: room for a burst of records
s.bind((0, 1))  # AUDIT_NLGRP_READLOG
print("ready", flush=True)
while True:
    try:
        data = s.recv(1 << 16)
    except OSError as e:
        if e.errno != errno.ENOBUFS:
            raise
        print("dropped", flush=True)  # the socket overflowed: read on, later records still come
        continue
    size, kind = struct.unpack("=IH", data[:6])
    if kind == 1300 and b"key=\"linux-syslog-syscall\"" in data:
        print(data[16:size].decode(errors="replace"), flush=True)' >"$tmp/records" &
    listener=$!
    undo+=("kill $listener 2>/dev/null")
    for _ in $(seq 50); do grep -q ready "$tmp/records" && break; sleep 0.1; done
    chmod 755 "$tmp"
    for round in 1 2 3; do
        # A copy of the probe per round, which user 65534 may run too, tells its records apart.
        copy=$tmp/probe$round
        install -m 755 "$probe" "$copy"
        lost=$(setting lost) drops=$(grep -c '^dropped$' "$tmp/records")
        for _ in 1 2 3; do expect_done "audited run" "$copy"; done
        expect_done "audited, unprivileged" \
            setpriv --reuid=65534 --regid=65534 --clear-groups "$copy"
        for _ in $(seq 50); do
            [ "$(grep -cF "exe=\"$copy\"" "$tmp/records")" -ge 4 ] && break
            sleep 0.1
        done
        mine=$(grep -F "exe=\"$copy\"" "$tmp/records")
        [ "$(grep -c ' success=yes .* a0=9 a1=0 a2=0 .* uid=0 ' <<<"$mine")" = 3 ] &&
            grep -q ' success=no exit=-1 a0=9 a1=0 a2=0 .* uid=65534 ' <<<"$mine" && break
        if [ $round -lt 3 ] && [ "$(setting lost) $(grep -c '^dropped$' "$tmp/records")" != \
            "$lost $drops" ]; then
            echo "round $round: records were dropped under load; running it again"
            continue
        fi
        fail "3 runs and a refused one did not give their 4 records: ${mine:-none}$(
            auditctl -l | grep -q 'key=linux-syslog-syscall' || echo "; our rules are gone")"
        break
    done
    ;;
image)
    # The OCI image: reproducible, for this architecture, the binary alone, and natively, run by
    # crun.
    need umoci jq
    image=$BUILD_DIR/linux-syslog-syscall-$VERSION-oci.tar
    expect_reproducible image "$image"
    mkdir "$tmp/layout" && tar -xf "$image" -C "$tmp/layout"
    blob() { cat "$tmp/layout/blobs/sha256/${1#sha256:}"; }
    manifest=$(blob "$(jq -r '.manifests[0].digest' "$tmp/layout/index.json")")
    declare -A oci=([i386]=386 [armhf]=arm [armel]=arm [ppc64el]=ppc64le [mips64el]=mips64le
        [mipsel]=mipsle)
    blob "$(jq -r .config.digest <<<"$manifest")" |
        jq -e --arg arch "${oci[$ARCH]:-$ARCH}" '.architecture == $arch and .os == "linux" and
            .config.Entrypoint == ["/linux-syslog-syscall"] and
            .created == "2026-12-08T00:00:00Z"' >/dev/null || fail "image configuration"
    [ "$(jq '.layers | length' <<<"$manifest")" = 1 ] &&
        [ "$(blob "$(jq -r '.layers[0].digest' <<<"$manifest")" | tar -tz)" = \
            "$(printf '.\nlinux-syslog-syscall')" ] || fail "the image holds more than the binary"
    if [ ${#emulator[@]} -eq 0 ]; then
        need crun
        need_root
        need_mount_namespace
        umoci unpack --image "$tmp/layout:$VERSION" "$tmp/unpacked" >/dev/null 2>&1 ||
            fail "umoci unpack failed"
        jq '.process.terminal = false' "$tmp/unpacked/config.json" >"$tmp/config" &&
            mv "$tmp/config" "$tmp/unpacked/config.json"
        expect_done "the image, run by crun" crun_run "$tmp/unpacked"
    fi
    ;;
foreign)
    # Another architecture's default build, made with the plain cross configure and tested with its
    # own groups through qemu-user.
    arch=$1 triplet=$2 machine=$3
    need "$triplet-g++" "qemu-$machine"
    dir=$BUILD_DIR/foreign/$arch
    { "$CMAKE_COMMAND" --preset default -S "$SOURCE_DIR" -B "$dir" -DCMAKE_SYSTEM_NAME=Linux \
        -DCMAKE_SYSTEM_PROCESSOR="$machine" -DCMAKE_CXX_COMPILER="$triplet-g++" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-$machine" && "$CMAKE_COMMAND" --build "$dir" &&
        "$(dirname "$CMAKE_COMMAND")/ctest" --test-dir "$dir" --output-on-failure; } >"$tmp/log" 2>&1 ||
        { cat "$tmp/log"; fail "$arch: the build or one of its groups failed"; }
    ;;
kernel)
    # The shipped profiles where a kernel enforces them: this architecture's Debian 12 kernel,
    # booted under qemu-system, runs its own build and those of the other ABIs it runs. Each
    # build runs under each profile, under it less each call of the build's whole run, and under
    # a filter of that run alone. The initramfs's /init, tests/loader.c, makes the runs, shows the
    # kernel's audit records and exits, which panics the kernel and so ends the machine.
    kernel=$1
    case $kernel in
    amd64) flavour=cloud-amd64 console=ttyS0 machine=(qemu-system-x86_64 -m 512) ;;
    i386) flavour=686 console=ttyS0 machine=(qemu-system-i386 -m 512) ;;
    arm64)
        flavour=cloud-arm64 console=ttyAMA0
        machine=(qemu-system-aarch64 -M virt -cpu cortex-a57 -m 512)
        ;;
    armhf)
        flavour=armmp console=ttyAMA0
        machine=(qemu-system-arm -M virt -cpu cortex-a15 -m 512)
        ;;
    ppc64el)
        # Without the Spectre mitigations TCG lacks, and with qemu's small firmware: SLOF takes
        # 15 s more.
        flavour=powerpc64le console=hvc0
        caps=cap-cfpc=broken,cap-sbbc=broken,cap-ibs=broken,cap-ccf-assist=off
        machine=(qemu-system-ppc64 -m 1024 -M pseries,$caps,x-vof=on)
        ;;
    s390x)
        flavour=s390x console=ttysclp0
        machine=(qemu-system-s390x -M s390-ccw-virtio -cpu max -m 512)
        ;;
    mips64el)
        flavour=5kc-malta console=ttyS0
        machine=(qemu-system-mips64el -M malta -cpu 5KEc -m 256 -vga none)
        ;;
    mipsel)
        flavour=4kc-malta console=ttyS0
        machine=(qemu-system-mipsel -M malta -m 256 -vga none)
        ;;
    *) fail "no Debian kernel is set up for $kernel" && exit 1 ;;
    esac
    triplet=$(dpkg-architecture -a"$kernel" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    need jq cpio flock apt-cache apt-get dpkg-deb timeout "${machine[0]}" "$triplet-gcc"
    [ -x "$python" ] && "$python" -c 'import seccomp' 2>/dev/null ||
        skip "Debian's python3-seccomp is not installed"
    mkdir -p "$tmp/root/filters"
    for build in "$@"; do
        binary=$BUILD_DIR/foreign/$build/linux-syslog-syscall
        [ "$build" = "$ARCH" ] && binary=$probe
        [ -x "$binary" ] || skip "no $build build at $binary"
        cp "$binary" "$tmp/root/$build"
    done
    "$triplet-gcc" -static -Os -Wall -Wextra -Werror -o "$tmp/root/init" \
        "$SOURCE_DIR/tests/loader.c" || { fail "the loader does not build for $kernel"; exit 1; }
    # On this machine's own architecture the guest also loads the shipped audit rules, with this
    # machine's auditctl and its libraries: each exact run must then leave its query's record.
    rules=
    if [ "$kernel" = "$ARCH" ]; then
        need auditctl ldd
        rules=rules
        auditctl=$(command -v auditctl)
        cp "$SOURCE_DIR/policies/audit.rules" "$tmp/root/"
        for file in "$auditctl" $(ldd "$auditctl" | grep -o '/[^ ]*'); do
            cp -L --parents "$file" "$tmp/root"
        done
        echo "rules - $auditctl -R /audit.rules" >"$tmp/root/runs"
    fi
    # The runs, each labelled NAME,STATUS,OUTPUT,RECORD-TYPE,ARCH,CALL-NUMBER: what it must give
    # (OUTPUT: done or none), and the audit record it must leave where the kernel audits calls.
    "$python" - "$SOURCE_DIR/policies" "$tmp/root" "$rules" "$@" <<'EOF' >"$tmp/runs" ||
import glob, json, sys, seccomp
policies, root, rules, builds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
with open(policies + "/whole-run.json") as file:
    whole = json.load(file)
runs, query, kernel = whole["architectures"], whole["query"]["name"], builds[0]
native = runs[kernel]["seccomp"]
def number(build, call):
    return next(entry["number"] for entry in runs[build]["run"] if entry["name"] == call)
def run(label, profile, allow, build):
    # As a runtime loads it on this kernel: its architecture and the others it runs.
    archs = [[native] + entry["subArchitectures"] for entry in profile["archMap"]
             if entry["architecture"] == native]
    if not archs:
        sys.exit(f"{label}: the profile does not list {native}")
    # The filter in the guest's byte order: this machine's own architecture left out.
    bpf = seccomp.SyscallFilter(getattr(seccomp, profile["defaultAction"][len("SCMP_ACT_"):]))
    bpf.remove_arch(seccomp.Arch.NATIVE)
    for arch in archs[0]:
        bpf.add_arch(getattr(seccomp.Arch, arch[len("SCMP_ARCH_"):]))
    for names, action in allow:
        for name in names:
            bpf.add_rule(getattr(seccomp, action[len("SCMP_ACT_"):]), name)
    path = f"/filters/{len(glob.glob(root + '/filters/*'))}"
    with open(root + path, "wb") as file:
        bpf.export_bpf(file)
    print(label, path, "/" + build)
for path in sorted(glob.glob(policies + "/*.json")):
    with open(path) as file:
        profile = json.load(file)
    if "syscalls" not in profile:
        continue
    # Conditions and errno actions would need more than names: refuse rather than drop them.
    if any(set(rule) - {"names", "action", "comment"} for rule in profile["syscalls"]):
        sys.exit(f"{path}: a rule with more than names and an action")
    name = path.split("/")[-1][:-len(".json")]
    allowed = [(rule["names"], rule["action"]) for rule in profile["syscalls"]]
    for build in builds:
        calls = [entry["name"] for entry in runs[build]["run"]]
        record = f"{'1300' if rules else '-'},{runs[build]['audit']},{number(build, query)}"
        run(f"{name}:{build}:profile,0,done,{record}", profile, allowed, build)
        for index, call in enumerate(calls):
            # The first call, execve, is the loader's, in the kernel's own ABI. The query is
            # followed by the write: a run killed after that has written.
            abi = kernel if index == 0 else build
            output = "done" if index > calls.index(query) + 1 else "none"
            killed = f"{128 + runs[build]['sigsys']},{output},1326,{runs[abi]['audit']}"
            less = [([n for n in names if n != call], action) for names, action in allowed]
            run(f"{name}:{build}:without-{call},{killed},{number(abi, call)}", profile, less,
                build)
        run(f"{name}:{build}:run-alone,0,done,{record}", profile, [(calls, "SCMP_ACT_ALLOW")],
            build)
EOF
        { fail "the filters cannot be made"; exit 1; }
    cat "$tmp/runs" >>"$tmp/root/runs"
    (cd "$tmp/root" && find . | cpio -o -H newc -R 0:0 --quiet >"$tmp/initrd") ||
        { fail "the initramfs cannot be made"; exit 1; }
    debian_kernel "$kernel" "$flavour" || exit 1
    # Every record printed, to the log if not to the console; the crypto self-tests, a second of
    # an emulated boot, left out.
    append="console=$console panic=-1 quiet audit=1 sysctl.kernel.printk_ratelimit=0"
    start=$EPOCHREALTIME
    timeout -k 5 60 "${machine[@]}" -kernel "$tmp"/boot/vmlinu?-* -initrd "$tmp/initrd" \
        -append "$append cryptomgr.notests" -nographic -no-reboot -monitor none -nic none \
        </dev/null >"$tmp/console" 2>&1
    status=$?
    echo "$kernel: the machine ran for $(awk "BEGIN { print $EPOCHREALTIME - $start }") s"
    tr -d '\r' <"$tmp/console" >"$tmp/log"
    if [ $status -ne 0 ] || ! grep -qx '@ end' "$tmp/log"; then
        [ $status -eq 124 ] && status="timed out after 60 s" || status="ended, status $status,"
        fail "$kernel: the machine $status before the loader's end; its console:"
        tail -n 20 "$tmp/log"
        exit 1
    fi
    if [ -n "$rules" ]; then
        grep -q '@ rules pid=[0-9]* status=0 ' "$tmp/log" ||
            fail "the audit rules did not load: $(grep '@ rules ' "$tmp/log")"
    fi
    audits=$(grep -c '^CONFIG_AUDITSYSCALL=y' "$tmp"/boot/config-*)
    done=$(printf 'Done.\n' | od -An -tx1 | tr -d ' \n')
    # The query's arguments as audit shows them, in hex, and the rules' key.
    key=$(sed -n '/^-a /s/.* -k \([^ ]*\).*/key="\1"/p' "$SOURCE_DIR/policies/audit.rules" |
        head -1)
    args=$(jq -r '.query.arguments[]' "$runs" |
        awk '{ printf "%sa%d=%x", (NR > 1 ? " " : ""), NR - 1, $1 }')
    while read -r label _; do
        IFS=, read -r name expected output type arch number <<<"$label"
        result=$(grep -F "@ $label " "$tmp/log")
        [ "$(grep -c . <<<"$result")" = 1 ] || { fail "$name: not one result: $result"; continue; }
        read -r pid status out err <<<"${result#*"@ $label "}"
        want="status=$expected out=0: err=0:"
        [ "$output" = done ] && want="status=$expected out=0: err=6:$done"
        [ "$status $out $err" = "$want" ] ||
            fail "$name: $status $out $err, not $want (stderr: $(printf '%b' \
                "$(sed 's/../\\x&/g' <<<"${err#*:}")"))"
        [ "$audits" = 1 ] && [ "$type" != - ] || continue
        record=$(grep "type=$type .* $pid " "$tmp/log")
        pattern=" sig=$((expected - 128)) arch=$arch syscall=$number "
        [ "$type" = 1300 ] && pattern=" arch=$arch syscall=$number success=yes .* $args .* $key"
        [ "$(grep -c . <<<"$record")" = 1 ] && grep -qE "$pattern" <<<"$record" ||
            fail "$name: the audit record is not one with$pattern: $record"
    done <"$tmp/runs"
    echo "$kernel: $(wc -l <"$tmp/runs") runs checked"
    ;;
*)
    echo "unknown group: $group" >&2
    exit 2
    ;;
esac

[ "$failures" -eq 0 ] || exit 1
echo "$group: all cases passed"
