#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the probe as its users see it: the bytes on the standard streams, the exit status, the
# system calls under strace, and the shipped policies where they are enforced: each architecture's
# kernel, audit, and the container engines running the image. Usage: probe.sh GROUP PROBE BUILD
# [EMULATOR...], where BUILD is musl, glibc (static) or dynamic, and EMULATOR runs a foreign build
# (qemu-user); ARCH in the environment is the binary's Debian architecture. Usage of the foreign
# group, which builds and tests another architecture: probe.sh foreign PROBE musl ARCH TRIPLET
# QEMU-MACHINE; of the kernel group, which boots ARCH's Debian kernel to run its build and those
# of OTHER-ARCHs in it: probe.sh kernel PROBE musl ARCH [OTHER-ARCH...].
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
# The python that carries Debian's libseccomp binding; the checks below use only its standard
# library otherwise.
python=/usr/bin/python3

# The default build's whole run on each architecture, as the package ships it.
runs=$SOURCE_DIR/policies/whole-run.json
# The image as the native default build writes it, the shipped profiles, and a copy of the
# engines' profile without syslog, under which a live profile kills the probe at the query.
image=$BUILD_DIR/linux-syslog-syscall-$VERSION-oci.tar
name=linux-syslog-syscall:$VERSION
shipped=$SOURCE_DIR/policies/seccomp.json
launcher=$SOURCE_DIR/policies/seccomp-launcher.json
# Each engine case that must be exact runs ROUNDS times in a row: a profile that lets a runtime's
# occasional call through only now and then shows as a failed round.
rounds=$(seq "${ROUNDS:-1}")
# OCI's names for the Debian architectures, with the variant that tells ARM's generations apart.
declare -A platform=([amd64]=amd64 [arm64]=arm64 [armhf]=arm/v7 [armel]=arm/v5 [i386]=386
    [ppc64el]=ppc64le [s390x]=s390x [mips64el]=mips64le [mipsel]=mipsle)

# own_namespaces: runs this group again in a cgroup, mount and PID namespace of its own, so that
# every mount an engine makes and every process it starts, daemons included, end with the group.
# There /run is empty, /var/lib read-only, each cgroup hierarchy's root is a cgroup of the group's
# own, removed afterwards, and crun sees no cgroup v2 mount (it refuses this hybrid layout).
hierarchies() { awk '$3 == "cgroup" { print $2, $4 }' /proc/self/mounts; }
own_namespaces() {
    need_root
    need unshare
    local hierarchy options
    if [ -n "${OWN_NAMESPACES:-}" ]; then
        # Mounted again in the namespace, a hierarchy shows the group's cgroup as its root.
        while read -r hierarchy options; do
            umount "$hierarchy" && mount -t cgroup -o "$options" cgroup "$hierarchy"
        done <<<"$(hierarchies)"
        awk '$3 == "cgroup2" { print $2 }' /proc/self/mounts | xargs -r umount
        mount -t tmpfs tmpfs /run
        # skopeo would keep a cache in /var/lib/containers: read-only, it keeps none.
        mount --bind /var/lib /var/lib && mount -o remount,bind,ro /var/lib
        return
    fi
    # A chroot whose / is not a mount point, for one, gives no mount namespace.
    unshare -C -m -p -f true 2>/dev/null ||
        skip "no cgroup, mount and PID namespaces here: $(unshare -C -m -p -f true 2>&1)"
    local cgroup=linux-syslog-syscall-$group-$$
    undo+=("remove_cgroup $cgroup")
    hierarchies | while read -r hierarchy options; do
        mkdir "$hierarchy/$cgroup"
        # A new cpuset has no CPU and no memory node to run on until given its parent's.
        [[ ,$options, != *,cpuset,* ]] || for file in cpuset.cpus cpuset.mems; do
            cp "$hierarchy/$file" "$hierarchy/$cgroup/$file"
        done
    done
    (
        pid=$BASHPID
        hierarchies | while read -r hierarchy _; do
            echo "$pid" >"$hierarchy/$cgroup/cgroup.procs"
        done
        # Should unshare be killed, the namespace's first process goes too, and with it the rest.
        OWN_NAMESPACES=1 TMPDIR=$tmp exec unshare -C -m -p --kill-child --mount-proc "$0" "$group" \
            "$probe" "$build"
    )
    local status=$?
    # Every process of the group has ended with its namespace: a cgroup still in use is a fault.
    remove_cgroup "$cgroup" || fail "cgroups left behind: $(ls -d /sys/fs/cgroup/*/"$cgroup")"
    [ "$failures" -eq 0 ] || exit 1
    exit $status
}
# remove_cgroup NAME: removes the cgroup NAME from each hierarchy, deepest first; fails if one in
# use stays.
remove_cgroup() {
    local hierarchy
    for hierarchy in $(hierarchies | cut -d' ' -f1); do
        [ ! -d "$hierarchy/$1" ] || find "$hierarchy/$1" -depth -type d -exec rmdir {} + 2>/dev/null
        [ ! -d "$hierarchy/$1" ] || return 1
    done
}
# podman_store: pm runs podman with its store, state and configuration under $tmp, where no name
# is looked up in a registry unless it names one.
podman_store() {
    need podman
    printf '%s\n' '[containers]' 'default_ulimits = []' '[engine]' 'cgroup_manager = "cgroupfs"' \
        'events_logger = "file"' >"$tmp/containers.conf"
    echo 'unqualified-search-registries = []' >"$tmp/registries.conf"
    mkdir "$tmp/podman"
    export CONTAINERS_CONF=$tmp/containers.conf CONTAINERS_REGISTRIES_CONF=$tmp/registries.conf \
        TMPDIR=$tmp/podman
    pm() {
        podman --root "$tmp/podman/root" --runroot "$tmp/podman/run" --tmpdir "$tmp/podman/libpod" \
            --storage-driver vfs --network-config-dir "$tmp/podman/networks" "$@"
    }
}
# load_image ENGINE LOADED-AS: ENGINE loads the image under its name; a profile without syslog.
load_image() {
    "$1" load -i "$image" >"$tmp/load" 2>&1 && grep -qx "Loaded image: $2" "$tmp/load" ||
        fail "$1 load: $(tail -3 "$tmp/load")"
    jq '.syscalls[].names -= ["syslog"]' "$shipped" >"$tmp/no-syslog.json"
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
# expect_killed LABEL COMMAND...: COMMAND, a container's run, ends as its seccomp profile kills
# the probe at the query: by SIGSYS, before any output. A container that fails to start fails.
expect_killed() {
    local label=$1 status
    shift
    "$@" >"$tmp/out" 2>"$tmp/err"
    status=$?
    [ "$status" -eq $((128 + 31)) ] ||
        fail "$label: status $status, not SIGSYS: $(head -c 300 "$tmp/err")"
    [ ! -s "$tmp/out" ] && [ ! -s "$tmp/err" ] || fail "$label: output: $(head -c 300 "$tmp/err")"
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
# SOURCE_DATE_EPOCH, FILE removed before each: a time stamp that leaks past it makes the two differ.
expect_reproducible() {
    local round
    for round in 1 2; do
        [ $round = 1 ] || { mv "$2" "$tmp/first" && sleep 1; }
        rm -f "$2"
        SOURCE_DATE_EPOCH=1796688000 "$CMAKE_COMMAND" --build "$BUILD_DIR" --target "$1" \
            >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "$1: the build failed"; }
    done
    cmp -s "$2" "$tmp/first" || fail "$1: two builds of it differ"
}
# debian_kernel ARCH FLAVOUR: unpacks into $tmp/boot the kernel image and configuration of the
# package that Debian's metapackage for FLAVOUR depends on now. The package is fetched once into
# the user's cache, one fetch at a time, and checked at each use against the hash in apt's index.
debian_kernel() {
    local cache=${XDG_CACHE_HOME:-~/.cache}/linux-syslog-syscall package fields deb lock fetch
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
    traced "under strace"
    expect_tail "under strace"
    ! grep -E '^(read|write|readv|writev|pread64|pwrite64)\([01],' "$tmp/trace" ||
        fail "standard input or output was used"
    # A foreign build's whole run is checked on its architecture's kernel (the kernel group).
    if [ ${#emulator[@]} -eq 0 ] && [ "$build" = musl ]; then
        # musl's start-up makes two calls before main, so the whole run is known: any call that
        # creeps in fails here.
        need jq
        { jq -r --arg arch "$ARCH" '.architectures[$arch].run[].name' "$runs" &&
            echo '+++ exited with 0 +++'; } |
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
    # Read whole: dpkg-deb killed by a closed pipe leaves its temporary directory behind.
    description=$(dpkg-deb -f "$deb" Description)
    [ "$(wc -l <<<"$description")" -gt 1 ] || fail "no extended description"
    declare -A carries=([musl]="static, musl" [glibc]="static, glibc" [dynamic]="shared glibc")
    head -1 <<<"$description" | grep -qF "(${carries[$build]})" ||
        fail "the summary does not say which build the package holds"
    # Files only, as paths, then any entry not owned by root.
    listing=$(dpkg-deb -c "$deb")
    files=(usr/bin/linux-syslog-syscall usr/share/doc/linux-syslog-syscall/changelog.gz
        usr/share/doc/linux-syslog-syscall/copyright usr/share/man/man1/linux-syslog-syscall.1.gz)
    files+=(usr/share/linux-syslog-syscall/audit.rules)
    [ "$build" = dynamic ] || files+=(usr/share/lintian/overrides/linux-syslog-syscall)
    [ "$build" = musl ] && files+=(usr/share/linux-syslog-syscall/seccomp.json
        usr/share/linux-syslog-syscall/seccomp-launcher.json
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
    # Both shipped profiles against every architecture's whole run, by libseccomp: each call allowed
    # by the name that resolves there to the number listed, and the architecture covered, a 32-bit
    # one also under the 64-bit machine that runs it. The launcher's is the engines' at most, and
    # each name is a call somewhere: a runtime skips a name it cannot resolve, without a word.
    [ -x "$python" ] && "$python" -c 'import seccomp' 2>/dev/null ||
        skip "Debian's python3-seccomp is not installed"
    "$python" - "$runs" "$shipped" "$launcher" <<'EOF' || fail "the profiles: see above"
import json, sys, seccomp
runs = json.load(open(sys.argv[1]))["architectures"]
host = {"SCMP_ARCH_X86": "SCMP_ARCH_X86_64", "SCMP_ARCH_ARM": "SCMP_ARCH_AARCH64",
        "SCMP_ARCH_MIPSEL": "SCMP_ARCH_MIPSEL64"}
def number(arch, name):
    return seccomp.resolve_syscall(getattr(seccomp.Arch, arch.removeprefix("SCMP_ARCH_")), name)
faults, allowed = [], {}
for path in sys.argv[2:]:
    profile = json.load(open(path))
    allowed[path] = {name for rule in profile["syscalls"] if rule["action"] == "SCMP_ACT_ALLOW"
                     for name in rule["names"]}
    archs = {entry["architecture"]: entry["subArchitectures"] for entry in profile["archMap"]}
    if profile["defaultAction"] != "SCMP_ACT_KILL_PROCESS":
        faults.append(f"{path}: kills nothing by default")
    for debian, arch in runs.items():
        native = arch["seccomp"]
        if native not in archs or native in host and native not in archs.get(host[native], []):
            faults.append(f"{path}: {debian} is not covered")
        faults += [f"{path}: {debian}: {call['name']}" for call in arch["run"]
                   if call["name"] not in allowed[path]
                   or number(native, call["name"]) != call["number"]]
    faults += [f"{path}: {name} is no call" for name in allowed[path]
               if all(number(arch, name) < 0 for arch in archs)]
if not allowed[sys.argv[3]] <= allowed[sys.argv[2]]:
    faults.append("the launcher's profile allows what the engines' does not")
print("\n".join(faults))
sys.exit(1 if faults else 0)
EOF
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
    # The OCI image: reproducible, for this architecture, labelled, holding the package's binary
    # alone, and named alike for OCI tools and for Docker's loader.
    need umoci jq
    expect_reproducible image "$image"
    mkdir "$tmp/layout" && tar -xf "$image" -C "$tmp/layout"
    blob() { cat "$tmp/layout/${1/sha256:/blobs/sha256/}"; }
    jq -e --arg name "$name" '.manifests[0].annotations["org.opencontainers.image.ref.name"] ==
        $name' "$tmp/layout/index.json" >/dev/null || fail "the image is not named $name"
    manifest=$(blob "$(jq -r '.manifests[0].digest' "$tmp/layout/index.json")")
    blob "$(jq -r .config.digest <<<"$manifest")" | jq -e --arg arch "${platform[$ARCH]%/*}" \
        --arg version "$VERSION" '.architecture == $arch and .os == "linux" and
            .config.Entrypoint == ["/linux-syslog-syscall"] and .created == "2026-12-08T00:00:00Z"
            and (.config.Labels | with_entries(.key |= ltrimstr("org.opencontainers.image.")) |
            .version == $version and .licenses == "MIT" and (.source | startswith("https://")))
        ' >/dev/null || fail "image configuration"
    layer=$(jq -r '.layers[0].digest' <<<"$manifest")
    [ "$(jq '.layers | length' <<<"$manifest")" = 1 ] &&
        [ "$(blob "$layer" | tar -tz)" = "$(printf '.\nlinux-syslog-syscall')" ] ||
        fail "the image holds more than the binary"
    # The package's binary is the install step's, stripped, as CPack runs it.
    DESTDIR=$tmp/stage "$CMAKE_COMMAND" --install "$BUILD_DIR" --prefix /p --strip >/dev/null &&
        blob "$layer" | tar -xzO linux-syslog-syscall | cmp -s - "$tmp/stage/p/bin/${name%:*}" ||
        fail "the image's binary is not the package's"
    diff <(jq -r '.[] | .Config, .Layers[], .RepoTags[]' "$tmp/layout/manifest.json") \
        <(jq -r '.config.digest, .layers[].digest' <<<"$manifest" |
        sed 's|^sha256:|blobs/sha256/|' && echo "$name") ||
        fail "Docker's manifest.json does not name the image's blobs and name"
    ;;
podman)
    # podman with crun and with runc, each with no-new-privileges and without: the engines' profile
    # exact, and live (killed without syslog); the launcher's exact where it suffices.
    need crun runc jq
    own_namespaces
    podman_store
    load_image pm "localhost/$name"
    for runtime in crun runc; do
        for nnp in "" no-new-privileges; do
            run_in() { pm run --rm --pull never --network none --runtime "$runtime" \
                ${nnp:+--security-opt "$nnp"} --security-opt "seccomp=$1" "$name"; }
            label="$runtime${nnp:+, $nnp}"
            for round in $rounds; do expect_done "$label, round $round" run_in "$shipped"; done
            expect_killed "$label, without syslog" run_in "$tmp/no-syslog.json"
            [ "$runtime $nnp" != "crun no-new-privileges" ] || for round in $rounds; do
                expect_done "$label, launcher's profile, round $round" run_in "$launcher"
            done
        done
    done
    ;;
docker)
    # Docker with a daemon of its own. Its default profile refuses the query itself: the call
    # returns EPERM without entering the kernel, unless the container holds CAP_SYSLOG. The
    # engines' profile lets it through to the kernel, which refuses it without CAP_SYSLOG, and
    # without syslog kills the probe before it returns.
    need dockerd containerd runc bpftrace jq
    [ -x /usr/bin/docker ] || skip "Debian's docker client (docker.io) is not installed"
    own_namespaces
    mkdir "$tmp/docker"
    # Its key would go to /etc/docker.
    echo "{\"deprecated-key-path\": \"$tmp/docker/key.json\"}" >"$tmp/docker/daemon.json"
    dockerd --config-file "$tmp/docker/daemon.json" --data-root "$tmp/docker/data" \
        --exec-root "$tmp/docker/exec" --pidfile "$tmp/docker/pid" -H "unix://$tmp/docker/sock" \
        --storage-driver vfs --exec-opt native.cgroupdriver=cgroupfs --bridge=none \
        --iptables=false --ip6tables=false --ip-forward=false --ip-masq=false \
        --userland-proxy=false >"$tmp/docker/log" 2>&1 &
    undo+=("kill $!")
    dk() { /usr/bin/docker -H "unix://$tmp/docker/sock" "$@"; }
    for _ in $(seq 100); do dk version >/dev/null 2>&1 && break; sleep 0.1; done
    dk version >/dev/null 2>&1 || { fail "dockerd: $(tail -3 "$tmp/docker/log")"; exit 1; }
    load_image dk "$name"
    # The documented one-liner, each line led by the container's host name to tell the runs apart,
    # and the call's return, which a call refused by seccomp makes without entering.
    mount -t tracefs nodev /sys/kernel/tracing
    bpftrace -o "$tmp/queries" -e 'tracepoint:syscalls:sys_enter_syslog /comm == "linux-syslog-sy"/
        { printf("%s type=%d buf=%p len=%d\n", curtask->nsproxy->uts_ns->name.nodename,
        args->type, args->buf, args->len); }
        tracepoint:syscalls:sys_exit_syslog /comm == "linux-syslog-sy"/
        { printf("%s returned %d\n", curtask->nsproxy->uts_ns->name.nodename, args->ret); }' \
        2>"$tmp/bpftrace" &
    tracer=$!
    for _ in $(seq 100); do grep -qs '^Attaching' "$tmp/queries" && break; sleep 0.1; done
    run_as() { dk run --rm --pull never --network none --hostname "probe-$1" "${@:2}" "$name"; }
    expect_done "Docker's default profile" run_as default
    expect_done "Docker's default profile, CAP_SYSLOG" run_as cap-syslog --cap-add SYSLOG
    for round in $rounds; do
        expect_done "shipped profile, round $round" run_as shipped --security-opt "seccomp=$shipped"
    done
    expect_killed "without syslog" run_as no-syslog --security-opt "seccomp=$tmp/no-syslog.json"
    kill -INT $tracer && wait $tracer
    # Killed at the query, the probe never enters it; the exit event it leaves carries no answer.
    query='type=9 buf=(nil) len=0'
    { printf '%s\n' "probe-default returned -1" "probe-cap-syslog $query" \
        "probe-cap-syslog returned a count"
        for round in $rounds; do printf '%s\n' "probe-shipped $query" "probe-shipped returned -1"
        done
    } | sort | diff - <(grep '^probe-' "$tmp/queries" | grep -v '^probe-no-syslog returned' |
        sed -E 's/returned [0-9]+$/returned a count/' | sort) ||
        fail "the queries as bpftrace saw them: $(cat "$tmp/queries")"
    ;;
kube)
    # The Pod manifest, played by podman with the engines' profile as its Localhost profile: exact,
    # with no new privileges and a read-only root; without syslog in the profile, killed.
    need crun catatonit jq
    own_namespaces
    podman_store
    load_image pm "localhost/$name"
    pod=$SOURCE_DIR/deploy/kubernetes/probe.yaml
    grep -q "^ *image: $name\$" "$pod" || fail "the Pod's image is not $name"
    mkdir "$tmp/profiles"
    # kube play would take a directory named as the image, here the build's binary, for the context
    # to build the image in.
    cd "$tmp" || exit 1
    # play PROFILE: the Pod, its probe's output and status, with PROFILE as the Localhost profile.
    play() {
        cp "$1" "$tmp/profiles/linux-syslog-syscall.json"
        pm kube play --replace --network none --seccomp-profile-root "$tmp/profiles" "$pod" \
            >"$tmp/play" 2>&1 || { cat "$tmp/play" >&2; return 125; }
        local status
        status=$(pm wait linux-syslog-syscall-probe) || status=125
        pm logs linux-syslog-syscall-probe
        pm inspect -f '{{.HostConfig.ReadonlyRootfs}} {{.HostConfig.SecurityOpt}}' \
            linux-syslog-syscall-probe >"$tmp/settings"
        pm kube down "$pod" >/dev/null
        return "$status"
    }
    for round in $rounds; do expect_done "kube play, round $round" play "$shipped"; done
    grep -qsx 'true \[no-new-privileges\]' "$tmp/settings" ||
        fail "the Pod's settings: $(cat "$tmp/settings" 2>/dev/null)"
    expect_killed "kube play without syslog" play "$tmp/no-syslog.json"
    ;;
multiarch)
    # The image index of every architecture: reproducible, each platform as OCI names it; pushed to
    # a registry of this group's own on 127.0.0.1 and pulled back by podman, for amd64 and arm64,
    # as that architecture's image, with its binary.
    need skopeo docker-registry jq
    for arch in "${!platform[@]}"; do
        [ "$arch" = "$ARCH" ] || [ -x "$BUILD_DIR/foreign/$arch/linux-syslog-syscall" ] ||
            skip "no $arch build: its own test did not build it"
    done
    own_namespaces
    multiarch=$BUILD_DIR/linux-syslog-syscall-$VERSION-oci-multiarch.tar
    expect_reproducible multiarch-image "$multiarch"
    mkdir "$tmp/index" && tar -xf "$multiarch" -C "$tmp/index"
    list=$tmp/index/blobs/sha256/$(jq -r '.manifests[0].digest | ltrimstr("sha256:")' \
        "$tmp/index/index.json")
    diff <(printf 'linux/%s\n' "${platform[@]}" | sort) <(jq -r '.manifests[].platform |
        [.os, .architecture, .variant // empty] | join("/")' "$list" | sort) ||
        fail "the index's platforms"
    port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
    printf '%s\n' 'version: 0.1' 'storage: {filesystem: {rootdirectory: '"$tmp/registry"'}}' \
        "http: {addr: 127.0.0.1:$port}" >"$tmp/registry.yml"
    docker-registry serve "$tmp/registry.yml" >"$tmp/registry.log" 2>&1 &
    undo+=("kill $!")
    for _ in $(seq 100); do (: >/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
    remote=127.0.0.1:$port/$name
    skopeo copy -q --all --dest-tls-verify=false "oci-archive:$multiarch" "docker://$remote" ||
        fail "the push failed"
    podman_store
    # binary TAR: the binary in the one layer of an architecture's image.
    binary() { tar -xOf "$1" "./$(tar -xOf "$1" ./manifest.json | jq -r '.[0].Layers[0]')" |
        tar -xzO linux-syslog-syscall; }
    for arch in amd64 arm64; do
        tar=$BUILD_DIR/foreign/$arch/linux-syslog-syscall-$VERSION-oci.tar
        [ "$arch" != "$ARCH" ] || tar=$image
        pm pull -q --tls-verify=false --arch "$arch" "$remote" >/dev/null || fail "$arch: no pull"
        [ "$(pm image inspect -f '{{.Architecture}}' "$remote")" = "$arch" ] ||
            fail "$arch: the pulled image is not for $arch"
        root=$(pm image mount "$remote") && binary "$tar" | cmp -s - "$root/linux-syslog-syscall" ||
            fail "$arch: the pulled image's binary is not that architecture's"
        pm image rm -f "$remote" >/dev/null
    done
    ;;
foreign)
    # Another architecture's default build, made with the plain cross configure and tested with its
    # own groups through qemu-user.
    arch=$1 triplet=$2 machine=$3
    need "$triplet-g++" "qemu-$machine"
    dir=$BUILD_DIR/foreign/$arch
    { "$CMAKE_COMMAND" -DSOURCE_DIR="$SOURCE_DIR" -DDIR="$dir" -DTRIPLET="$triplet" \
        -DMACHINE="$machine" -DCONFIGURE=ON -P "$SOURCE_DIR/cmake/foreign.cmake" &&
        "$(dirname "$CMAKE_COMMAND")/ctest" --test-dir "$dir" --output-on-failure; } \
        >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "$arch: the build or one of its groups failed"; }
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
        machine=(qemu-system-ppc64 -m 1024 -M "pseries,$caps,x-vof=on")
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
    # Every record kept in the log, none lost to a queue without a daemon; on the console only the
    # loader's lines, which a kernel message could otherwise split; and the crypto self-tests, a
    # second of an emulated boot, left out.
    append="console=$console panic=-1 loglevel=1 audit=1 audit_backlog_limit=8192"
    append+=" sysctl.kernel.printk_ratelimit=0"
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
        [ "$output" = "done" ] && want="status=$expected out=0: err=6:$done"
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
