# SPDX-License-Identifier: MIT
# The harness every group sources with its arguments from CTest, PROBE KIND [EMULATOR...], and
# ARCH, SOURCE_DIR, BUILD_DIR, VERSION, CMAKE_COMMAND and ATTACK in its environment. A group exits
# 0 when every case passes, 1 when one fails, 77 when it cannot run here (never under CI=true), 99
# when what it runs on could not be made (lab_fault). Everything it writes goes in its own $tmp.
# shellcheck shell=bash disable=SC2034,SC2154 # the groups use what this file sets
set -u
# shellcheck source=SCRIPTDIR/../packaging/debian.sh # the tables, Debian's packages, lab_fault
source "$SOURCE_DIR/packaging/debian.sh"
group=$(basename "$0" .sh) probe=$(realpath "$1") kind=$2
emulator=("${@:3}") probe_command=("${@:3}" "$probe")
tmp=$(mktemp -d) && export TMPDIR=$tmp
# Commands that put back what the group changed on the machine, run however it ends; a failure
# counted makes it exit 1 whatever path it ends by, a skip included.
undo=() failures=0
cleanup() {
    local status=$? command
    for command in "${undo[@]}"; do eval "$command"; done
    rm -rf "$tmp"
    [ "$failures" -eq 0 ] || status=1
    [ "$status" -ne 0 ] || [ -n "${inner_said:-}" ] || echo "$group: all cases passed"
    exit "$status"
}
trap cleanup EXIT && trap 'exit 1' HUP INT TERM

# The completion line's one call as strace shows it: musl writes through writev, whose empty first
# vector qemu hands on without its address.
write_call='write(2, "Done.\n", 6)' base='""'
[ ${#emulator[@]} -eq 0 ] || base=NULL
[ "$kind" != musl ] && [ ${#emulator[@]} -eq 0 ] ||
    write_call="writev(2, [{iov_base=$base, iov_len=0}, {iov_base=\"Done.\\n\", iov_len=6}], 2)"

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() {
    [ "${CI:-}" = true ] && { echo "FAIL: cannot run in CI: $*"; exit 1; }
    echo "SKIP: $*"; exit 77
}
need() { local t; for t; do command -v "$t" >/dev/null || skip "$t is not installed"; done; }
need_strace() {
    need strace
    strace -o /dev/null true 2>/dev/null || skip "strace cannot trace here (ptrace refused)"
}
[ ${#emulator[@]} -eq 0 ] || need "${emulator[0]}"
need_root() { [ "$(id -u)" -eq 0 ] || skip "needs root"; }
need_arch() { [ -n "${ARCH:-}" ] || skip "no Debian architecture for the build (dpkg-dev)"; }
need_every_build() {
    local arch && need_arch
    for arch in "${architectures[@]}"; do
        [ "$arch" = "$ARCH" ] || [ -x "$BUILD_DIR/foreign/$arch/linux-syslog-syscall" ] ||
            skip "no $arch build: its own test did not build it"
    done
}
python=/usr/bin/python3 # Debian's, with libseccomp's binding
need_python_seccomp() {
    "$python" -c 'import seccomp' 2>/dev/null || skip "Debian's python3-seccomp is not installed"
}

whole_run=$SOURCE_DIR/policies/whole-run.json engines_profile=$SOURCE_DIR/policies/seccomp.json
launcher_profile=$SOURCE_DIR/policies/seccomp-launcher.json name=linux-syslog-syscall:$VERSION
image=$BUILD_DIR/linux-syslog-syscall-$VERSION-oci.tar attack=${ATTACK:-} # tests/attack.cpp, musl's
# Each exact engine case runs ROUNDS times in a row: a runtime's occasional call shows as a round.
rounds=$(seq "${ROUNDS:-1}")

# shared_copy FILE NAME: FILE as $shared/NAME, which any user may run: $tmp may lie in a TMPDIR
# that other users cannot enter.
shared_copy() {
    [ -n "${shared:-}" ] || { shared=$(mktemp -d /tmp/linux-syslog-syscall.XXXXXX) &&
        chmod 755 "$shared" && undo+=("rm -rf $shared"); } || exit 1
    install -m 755 "$1" "$shared/$2"
}
# wait_until SECONDS COMMAND...: COMMAND every tenth of a second until it succeeds, for SECONDS.
wait_until() {
    local deadline=$((SECONDS + $1))
    until "${@:2}"; do [ "$SECONDS" -lt "$deadline" ] && sleep 0.1 || return 1; done
}

# expect LABEL STATUS OUTPUT COMMAND...: COMMAND ends with STATUS (or "failed": any but 0), writes
# nothing on stdout and on stderr OUTPUT: "done", exactly "Done.\n"; "none"; or that line.
expect() {
    local label=$1 want=$2 output=$3 status
    "${@:4}" >"$tmp/out" 2>"$tmp/err"
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
# start fails it); expect_attack LABEL OUTCOME COMMAND...: the attack case that COMMAND runs ends
# as OUTCOME: "killed", or its line, "answered" or "refused ERRNO".
expect_killed() { expect "$1" $((128 + 31)) none "${@:2}"; }
expect_attack() {
    if [ "$2" = killed ]; then expect_killed "$1" "${@:3}"; else expect "$1" 0 "$2" "${@:3}"; fi
}
# i386_calls: this kernel takes an x86-64 process's i386 call (Debian's do; this VM's own does not).
i386_calls() { [ "$ARCH" = amd64 ] && [ "$("$attack" i386 2>&1)" = answered ]; }

# layer_of: from the kernel's audit records of one run with the package's audit rule loaded, who
# decided the query: "answered"; "capability EPERM", which leaves the query's record alone;
# "apparmor ERRNO" or "selinux ERRNO", by the module's record beside it; "bpf-lsm ERRNO", by the
# line a BPF program on the module's hook left (kernel-lsm.c); or "seccomp", which refuses the
# call before it enters, so that no record of the query is made.
layer_of() {
    awk 'BEGIN { name[1] = "EPERM"; name[13] = "EACCES" }
        / type=1300 .* key="linux-syslog-syscall"/ {
            query = / success=yes / ? "answered" : "refused"
            errno = -substr($0, index($0, " exit=") + 6) }
        / bpf_trace_printk: lsm\/syslog refused / { module = "bpf-lsm" }
        /apparmor="DENIED"/ { module = "apparmor" } / avc: +denied / { module = "selinux" }
        END { if (query != "refused") { print query ? query : "seccomp"; exit }
        print (module ? module : "capability"), (errno in name ? name[errno] : "exit=-" errno) }'
}

# strace_run STRACE-OPTION... COMMAND...: COMMAND under strace, $tmp/trace the calls of the thread
# that made the query (an emulator runs threads of its own), one file a thread, unsplit.
strace_run() {
    rm -f "$tmp"/thread.* && strace -ff -o "$tmp/thread" -e raw=syslog "$@"
    local status=$?
    grep -l '^syslog(' "$tmp"/thread.* | xargs cat /dev/null >"$tmp/trace"
    return $status
}
# traced LABEL STRACE-OPTION...: the probe, exact, under strace into $tmp/trace.
traced() { expect_done "$1" strace_run "${@:2}" "${probe_command[@]}"; }
# expect_tail LABEL: the trace from the query on, results dropped, is what must never change: the
# query, the one write, the exit. An emulator's thread may take a lock (futex) in between.
expect_tail() {
    local own='^$' && [ ${#emulator[@]} -eq 0 ] || own='^futex\('
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

# in_time COMMAND...: every engine call, killed after two minutes: a hung engine fails its case.
in_time() { timeout -k 10 120 "$@"; }

# own_namespaces: runs this group again in a cgroup, mount and PID namespace of its own, where every
# mount an engine makes and every process it starts end with the group: /run is empty, /var/lib
# read-only, and each hierarchy's root a cgroup of the group's, removed after: on a hybrid host
# each v1 hierarchy, with no v2 mount beside them (crun refuses that layout); else the v2 one.
hierarchies() {
    awk '$3 == "cgroup" { print $2, $4; v1 = 1 } $3 == "cgroup2" { v2 = $2 }
        END { if (!v1 && v2) print v2, "cgroup2" }' /proc/self/mounts
}
# controllers CGROUP: lets CGROUP's children have each controller CGROUP has.
controllers() { sed 's/[^ ][^ ]*/+&/g' "$1/cgroup.controllers" >"$1/cgroup.subtree_control"; }
own_namespaces() {
    need_root && need unshare
    local hierarchy options found
    found=$(hierarchies)
    case ${OWN_NAMESPACES:-} in
    v2)
        # The engines enable controllers below the cgroup namespace's root, which must then hold
        # no process, unshare included: this process, alone in its cgroup, makes that the root.
        read -r hierarchy _ <<<"$found"
        echo $$ >"$hierarchy/$OWN_CGROUP/namespace/cgroup.procs" &&
            OWN_NAMESPACES=1 exec unshare -C "$0" "$probe" "$kind"
        exit 1 ;;
    ?*)
        # Mounted again in the namespace, a hierarchy shows the group's cgroup as its root.
        while read -r hierarchy options; do
            umount "$hierarchy" || exit 1
            if [ "$options" = cgroup2 ]; then
                # The group's own processes in a leaf, the engines' cgroups beside it.
                mount -t cgroup2 cgroup2 "$hierarchy" && mkdir "$hierarchy/group" &&
                    echo $$ >"$hierarchy/group/cgroup.procs" && controllers "$hierarchy" || exit 1
            else
                mount -t cgroup -o "$options" cgroup "$hierarchy" || exit 1
            fi
        done <<<"$found"
        [[ $found == *" cgroup2" ]] ||
            awk '$3 == "cgroup2" { print $2 }' /proc/self/mounts | xargs -r umount
        mount -t tmpfs tmpfs /run
        # skopeo would keep a cache in /var/lib/containers: read-only, it keeps none.
        mount --bind /var/lib /var/lib && mount -o remount,bind,ro /var/lib
        return ;;
    esac
    [ -n "$found" ] || skip "no cgroup hierarchy is mounted"
    # A chroot whose / is not a mount point, for one, gives no mount namespace.
    unshare -C -m -p -f true 2>/dev/null ||
        skip "no cgroup, mount and PID namespaces here: $(unshare -C -m -p -f true 2>&1)"
    local cgroup=linux-syslog-syscall-$group-$$ leaf='' stage=1 flags=(-C)
    undo+=("remove_cgroup $cgroup")
    while read -r hierarchy options; do
        mkdir "$hierarchy/$cgroup"
        # A new cpuset has no CPU and no memory node to run on until given its parent's.
        [[ ,$options, != *,cpuset,* ]] || for file in cpuset.cpus cpuset.mems; do
            cp "$hierarchy/$file" "$hierarchy/$cgroup/$file"; done
        # On cgroup v2, unshare waits in one leaf and the namespace's root is the other.
        if [ "$options" = cgroup2 ]; then
            mkdir "$hierarchy/$cgroup/unshare" "$hierarchy/$cgroup/namespace" &&
                controllers "$hierarchy/$cgroup" || exit 1
            leaf=/unshare stage=v2 flags=()
        fi
    done <<<"$found"
    (
        pid=$BASHPID
        while read -r hierarchy _; do
            echo "$pid" >"$hierarchy/$cgroup$leaf/cgroup.procs"
        done <<<"$found"
        # Should unshare be killed, the namespace's first process goes too, and with it the rest.
        OWN_NAMESPACES=$stage OWN_CGROUP=$cgroup exec unshare "${flags[@]}" -m -p --kill-child \
            --mount-proc "$0" "$probe" "$kind"
    )
    local status=$?
    # Every process of the group has ended with its namespace: a cgroup still in use is a fault.
    remove_cgroup "$cgroup" || fail "cgroups left behind: $(hierarchies |
        while read -r hierarchy _; do find "$hierarchy/$cgroup" -type d; done 2>/dev/null)"
    inner_said=1 # the run in the namespaces has said how it went
    exit $status
}
# remove_cgroup NAME: the cgroup NAME out of each hierarchy, deepest first; fails if one stays.
remove_cgroup() {
    local hierarchy
    for hierarchy in $(hierarchies | cut -d' ' -f1); do
        [ ! -d "$hierarchy/$1" ] || find "$hierarchy/$1" -depth -type d -exec rmdir {} + 2>/dev/null
        [ ! -d "$hierarchy/$1" ] || return 1
    done
}
# podman_store: group_podman's store and configuration under $tmp, no registry looked up unless
# named, its state in the group's own /run: podman takes no run root over 50 characters, as $tmp.
podman_store() {
    need podman
    printf '%s\n' '[containers]' 'default_ulimits = []' '[engine]' 'cgroup_manager = "cgroupfs"' \
        'events_logger = "file"' >"$tmp/containers.conf"
    echo 'unqualified-search-registries = []' >"$tmp/registries.conf" && mkdir "$tmp/podman"
    # podman 5 warns on standard error, where the probe's output goes, of every use of cgroup v1.
    export CONTAINERS_CONF=$tmp/containers.conf CONTAINERS_REGISTRIES_CONF=$tmp/registries.conf \
        TMPDIR=$tmp/podman PODMAN_IGNORE_CGROUPSV1_WARNING=1
}
group_podman() {
    in_time podman --root "$tmp/podman/root" --runroot /run/podman --tmpdir /run/libpod \
        --storage-driver vfs --network-config-dir "$tmp/podman/networks" "$@"
}
# gVisor's runsc takes a namespace with /proc/sys/net/core/rmem_default for the host's, which it
# sets up no network in, and this machine's kernel (6.18) gives every namespace that file.
runsc_flag=network=none
# have_runsc: whether gVisor's runsc is here; where not, the group skips, but in the booted host,
# whose image has none, where its cases are left out, saying so.
have_runsc() {
    command -v runsc >/dev/null && return
    [ -n "${VM_GUEST:-}" ] || skip "runsc is not installed"
    echo "$group: runsc is not in the booted host's image: its cases are left out"; return 1
}
# load_image ENGINE LOADED-AS: ENGINE loads the image, and then knows it as LOADED-AS (asked of its
# store: what engines print on loading differs between versions).
load_image() {
    "$1" load -i "$image" >"$tmp/load" 2>&1 && "$1" image inspect "$2" >/dev/null 2>&1 ||
        fail "$1 load: $(tail -3 "$tmp/load")"
}
# trace_queries FILE PROGRAM: bpftrace runs PROGRAM into FILE until stop_tracing; tracefs mounted
# in the group's own namespace.
trace_queries() {
    mount -t tracefs nodev /sys/kernel/tracing
    bpftrace -o "$1" -e "$2" >/dev/null 2>"$1.log" &
    tracer=$! undo+=("kill $! 2>/dev/null")
    wait_until 10 grep -qs '^Attaching' "$1" || fail "bpftrace did not start: $(tail -3 "$1.log")"
}
stop_tracing() { kill -INT "$tracer" && wait "$tracer"; }
# start_registry: a registry of the group's own on 127.0.0.1, at $registry (HOST:PORT), listening.
start_registry() {
    local port
    port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
    printf '%s\n' 'version: 0.1' 'storage: {filesystem: {rootdirectory: '"$tmp/registry"'}}' \
        "http: {addr: 127.0.0.1:$port}" >"$tmp/registry.yml"
    docker-registry serve "$tmp/registry.yml" >"$tmp/registry.log" 2>&1 &
    undo+=("kill $!") registry=127.0.0.1:$port
    wait_until 10 bash -c ': >/dev/tcp/127.0.0.1/$0' "$port" 2>/dev/null ||
        fail "the registry did not start: $(tail -3 "$tmp/registry.log")"
}
# engine_attacks LABEL RUN [LAUNCHER]: the attack cases in containers that RUN PROFILE CASE...
# starts with CAP_SYSLOG, under the engines' profile, the launcher's with LAUNCHER, none
# (unconfined) with CONTROL set: each killed or the case's line. The runtimes' openat under the
# filter is allowed to the program too.
# shellcheck disable=SC2086 # the case's words
engine_attacks() {
    local label=$1 run=$2 launcher=${3:-} case engines alone control
    while IFS='|' read -r case engines alone control; do
        if [ "$case" = i386 ] && ! i386_calls; then
            echo "$label, i386: this kernel takes no i386 call (the booted host's run has it)"
            continue
        fi
        # The booted host adds the i386 calls; the other release's leg runs the rest with the same
        # runtimes, which TCG would take minutes over.
        [ -z "${VM_GUEST:-}" ] || [ "$case" = i386 ] || continue
        expect_attack "$label, $case" "$engines" "$run" "$engines_profile" $case
        [ -z "$launcher" ] || expect_attack "$label, $case, the launcher's profile" "$alone" \
            "$run" "$launcher_profile" $case
        [ -z "${CONTROL:-}" ] || expect_attack "$label, $case, unconfined" "$control" "$run" \
            unconfined $case
    done <<<"syslog 3|killed|killed|answered
syslog 10|killed|killed|answered
open /|answered|killed|answered
connect /nothing|killed|killed|refused ENOENT
i386|killed|killed|answered"
}
