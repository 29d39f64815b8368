# shellcheck shell=bash disable=SC2034,SC2154 # lib.sh sets what this uses, and reads what it sets
# SPDX-License-Identifier: MIT
# The container engines' plumbing, sourced after lib.sh by the groups that run them.

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
# podman_store: group_podman's store and configuration under $tmp, with no registry looked up
# unless named, and its state in the group's own /run: podman takes no run root of more than 50
# characters, which $tmp may be.
podman_store() {
    need podman
    printf '%s\n' '[containers]' 'default_ulimits = []' '[engine]' 'cgroup_manager = "cgroupfs"' \
        'events_logger = "file"' >"$tmp/containers.conf"
    echo 'unqualified-search-registries = []' >"$tmp/registries.conf"
    mkdir "$tmp/podman"
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
    echo "$group: runsc is not in the booted host's image: its cases are left out"
    return 1
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
    tracer=$!
    undo+=("kill $tracer 2>/dev/null")
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
    undo+=("kill $!")
    registry=127.0.0.1:$port
    wait_until 10 bash -c ': >/dev/tcp/127.0.0.1/$0' "$port" 2>/dev/null ||
        fail "the registry did not start: $(tail -3 "$tmp/registry.log")"
}
# engine_attacks LABEL RUN [LAUNCHER]: the attack cases in containers that RUN PROFILE CASE...
# starts with CAP_SYSLOG: under the engines' profile, the launcher's too with LAUNCHER, and where
# CONTROL is set none (unconfined), each killed or the case's line. The runtimes make openat under
# the filter, which the profile then allows to the program too.
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
        # shellcheck disable=SC2086 # the case's words
        expect_attack "$label, $case" "$engines" "$run" "$engines_profile" $case
        # shellcheck disable=SC2086
        [ -z "$launcher" ] || expect_attack "$label, $case, the launcher's profile" "$alone" \
            "$run" "$launcher_profile" $case
        # shellcheck disable=SC2086
        [ -z "${CONTROL:-}" ] || expect_attack "$label, $case, unconfined" "$control" "$run" \
            unconfined $case
    done <<<"syslog 3|killed|killed|answered
syslog 10|killed|killed|answered
open /|answered|killed|answered
connect /nothing|killed|killed|refused ENOENT
i386|killed|killed|answered"
}
