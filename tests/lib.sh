# SPDX-License-Identifier: MIT
# What two or more test groups share. Each group is a script in tests/groups/, named for what it
# checks, which starts with
#     source "$(dirname "$0")/../lib.sh" "$@"
# and is called by CTest as GROUP.sh PROBE KIND [EMULATOR...]: KIND is the build's, musl, glibc
# (static) or dynamic, and EMULATOR runs a foreign build (qemu-user). A group whose further
# arguments are its own passes only the first two. ARCH in the environment is the binary's Debian architecture;
# SOURCE_DIR, BUILD_DIR, VERSION and CMAKE_COMMAND come from CMake too.
# A group exits 0 when every case passes, 1 when one fails, 77 when it cannot run here (never
# under CI=true, where every case must run). Every file it writes, its tools' temporary files
# included, goes in its own directory $tmp, which is removed however it ends.
# The groups use what this file sets, which shellcheck cannot see from here.
# shellcheck shell=bash disable=SC2034
set -u
group=$(basename "$0" .sh)
probe=$(realpath "$1")
kind=$2
emulator=("${@:3}")
probe_command=("${emulator[@]}" "$probe")
tmp=$(mktemp -d)
export TMPDIR=$tmp
# Commands that put back what a group changed on the machine, run however the script ends. A
# group that counted a failure exits 1, whatever path it ends by.
undo=()
failures=0
cleanup() {
    local status=$? command
    for command in "${undo[@]}"; do eval "$command"; done
    rm -rf "$tmp"
    # A failure counted before a skip is still a failure.
    [ "$failures" -eq 0 ] || status=1
    [ "$status" -ne 0 ] || [ -n "${inner_said:-}" ] || echo "$group: all cases passed"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# The completion line's one system call, as strace shows it: musl's stdio writes through writev,
# whose empty first vector qemu hands on to the host without its address.
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
need_python_seccomp() {
    [ -x "$python" ] && "$python" -c 'import seccomp' 2>/dev/null ||
        skip "Debian's python3-seccomp is not installed"
}

# The default build's whole run on each architecture, as the package ships it.
whole_run=$SOURCE_DIR/policies/whole-run.json
# The image as the native default build writes it, the shipped profiles, and a copy of the
# engines' profile without syslog, under which a live profile kills the probe at the query.
image=$BUILD_DIR/linux-syslog-syscall-$VERSION-oci.tar
name=linux-syslog-syscall:$VERSION
engines_profile=$SOURCE_DIR/policies/seccomp.json
launcher_profile=$SOURCE_DIR/policies/seccomp-launcher.json
# Each engine case that must be exact runs ROUNDS times in a row: a profile that lets a runtime's
# occasional call through only now and then shows as a failed round.
rounds=$(seq "${ROUNDS:-1}")
# OCI's names for the Debian architectures, with the variant that tells ARM's generations apart.
declare -A platform=([amd64]=amd64 [arm64]=arm64 [armhf]=arm/v7 [armel]=arm/v5 [i386]=386
    [ppc64el]=ppc64le [s390x]=s390x [mips64el]=mips64le [mipsel]=mipsle [riscv64]=riscv64)

# own_namespaces: runs this group again in a cgroup, mount and PID namespace of its own, so that
# every mount an engine makes and every process it starts, daemons included, end with the group.
# There /run is empty, /var/lib read-only, and each cgroup hierarchy's root is a cgroup of the
# group's own, removed afterwards: on a hybrid host each v1 hierarchy, with no cgroup v2 mount
# beside them (crun refuses that layout); on a pure cgroup v2 host, the v2 one.
hierarchies() {
    awk '$3 == "cgroup" { print $2, $4; v1 = 1 } $3 == "cgroup2" { v2 = $2 }
        END { if (!v1 && v2) print v2, "cgroup2" }' /proc/self/mounts
}
# controllers CGROUP: lets CGROUP's children have each controller CGROUP has.
controllers() { sed 's/[^ ][^ ]*/+&/g' "$1/cgroup.controllers" >"$1/cgroup.subtree_control"; }
own_namespaces() {
    need_root
    need unshare
    local hierarchy options found
    found=$(hierarchies)
    case ${OWN_NAMESPACES:-} in
    v2)
        # The engines enable controllers below the cgroup namespace's root, which must then hold
        # no process, unshare included: this process, alone in its cgroup, makes that the root.
        read -r hierarchy _ <<<"$found"
        echo $$ >"$hierarchy/$OWN_CGROUP/namespace/cgroup.procs" &&
            OWN_NAMESPACES=1 exec unshare -C "$0" "$probe" "$kind"
        exit 1
        ;;
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
        return
        ;;
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
            cp "$hierarchy/$file" "$hierarchy/$cgroup/$file"
        done
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
    # The run in the namespaces has said how it went.
    inner_said=1
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
# podman_store: pm runs podman with its store and configuration under $tmp, where no name is looked
# up in a registry unless it names one, and its state in the group's own /run (own_namespaces):
# podman refuses a run root of more than 50 characters, which $tmp may well be.
podman_store() {
    need podman
    printf '%s\n' '[containers]' 'default_ulimits = []' '[engine]' 'cgroup_manager = "cgroupfs"' \
        'events_logger = "file"' >"$tmp/containers.conf"
    echo 'unqualified-search-registries = []' >"$tmp/registries.conf"
    mkdir "$tmp/podman"
    # podman 5 warns on standard error, where the probe's output goes, of every use of cgroup v1.
    export CONTAINERS_CONF=$tmp/containers.conf CONTAINERS_REGISTRIES_CONF=$tmp/registries.conf \
        TMPDIR=$tmp/podman PODMAN_IGNORE_CGROUPSV1_WARNING=1
    pm() {
        podman --root "$tmp/podman/root" --runroot /run/podman --tmpdir /run/libpod \
            --storage-driver vfs --network-config-dir "$tmp/podman/networks" "$@"
    }
}
# load_image ENGINE LOADED-AS: ENGINE loads the image, and then knows it by its name as LOADED-AS
# (asked of its store: what engines print on loading differs between versions); a profile
# without syslog.
load_image() {
    "$1" load -i "$image" >"$tmp/load" 2>&1 && "$1" image inspect "$2" >/dev/null 2>&1 ||
        fail "$1 load: $(tail -3 "$tmp/load")"
    jq '.syscalls[].names -= ["syslog"]' "$engines_profile" >"$tmp/no-syslog.json"
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
    expect_done "$label" strace_run "$@" "${probe_command[@]}"
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
