#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A host as most are today: Debian 13 booted under qemu-system-x86_64, systemd as PID 1, a pure
# cgroup v2 hierarchy. There the engine groups run as they run here, with that release's podman,
# crun, runc and Docker; Docker again as the distribution starts it, by systemd; and systemd's own
# filter, from the shipped drop-in, runs the probe exactly and kills it without syslog. The machine
# is the lab's (tests/lab/vm-image.sh, vm.sh). In it, this same file runs the cases (VM_GUEST=1),
# started by a unit of the image; its result lines come back on a second serial port.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
# shellcheck source=SCRIPTDIR/../engines.sh
source "$(dirname "$0")/../engines.sh"
dropin=$SOURCE_DIR/policies/systemd.conf

# result NAME [WORDS...]: one line for the host to read.
result() { echo "@ $*"; }
# check NAME COMMAND...: runs COMMAND, a check that counts its failures, and says how it went.
check() {
    local before=$failures start=$EPOCHREALTIME seconds
    "${@:2}"
    seconds=$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }")
    [ "$failures" = "$before" ] && result "$1" ok "$seconds s" || result "$1" FAIL "$seconds s"
}
# engine_group GROUP: that group's own file, as CTest runs it, with no skip allowed.
engine_group() {
    CI=true "$SOURCE_DIR/tests/groups/$1.sh" "$probe" "$kind" || fail "the $1 group failed"
}
# docker_service: dockerd as Debian starts it, by its unit; the engines' profile exact, killed
# without syslog.
docker_service() {
    local start=$EPOCHREALTIME
    systemctl start docker || { fail "systemctl start docker: $(systemctl status docker)"; return; }
    echo "dockerd started in $(awk "BEGIN { print $EPOCHREALTIME - $start }") s"
    dk() { in_time docker "$@"; }
    load_image dk "$name"
    without_syslog "$engines_profile" "$tmp/no-syslog.json"
    local round
    for round in $rounds; do
        expect_done "Docker's service, round $round" dk run --rm --pull never --network none \
            --security-opt "seccomp=$engines_profile" "$name"
    done
    expect_killed "Docker's service, without syslog" dk run --rm --pull never --network none \
        --security-opt "seccomp=$tmp/no-syslog.json" "$name"
}
# systemd_filter: the drop-in's settings as systemd-run's properties: exact, with and without
# no-new-privileges; without syslog, the probe killed, for systemd-run, and by SIGSYS in systemd's
# own record of a unit.
systemd_filter() {
    local settings=() no_syslog=() round nnp unit
    mapfile -t settings < <(sed -n '/^\[Service\]/,/^\[/s/^\([A-Za-z]*=.*\)/-p\n\1/p' "$dropin")
    [ ${#settings[@]} -gt 0 ] || { fail "no setting in $dropin"; return; }
    mapfile -t no_syslog < <(printf '%s\n' "${settings[@]}" |
        sed -E '/^SystemCallFilter=/s/([= ])syslog( |$)/\1/')
    [ "${no_syslog[*]}" != "${settings[*]}" ] || { fail "$dropin allows no syslog"; return; }
    for nnp in no yes; do
        for round in $rounds; do
            expect_done "systemd-run, NoNewPrivileges=$nnp, round $round" systemd-run --wait --pipe \
                --quiet -p NoNewPrivileges=$nnp "${settings[@]}" "$probe"
        done
    done
    # systemd-run only fails for a unit whose process was killed.
    expect "systemd-run without syslog" failed none systemd-run --wait --pipe --quiet \
        "${no_syslog[@]}" "$probe"
    # A named oneshot unit that remains after its run keeps systemd's record of how its process
    # ended: exited 0, or killed by signal 31.
    for unit in shipped no-syslog; do
        local props=("${settings[@]}") code="ExecMainCode=1 ExecMainStatus=0"
        [ $unit = shipped ] || props=("${no_syslog[@]}") code="ExecMainCode=2 ExecMainStatus=31"
        systemd-run --quiet --unit="probe-$unit" -p Type=oneshot -p RemainAfterExit=yes \
            "${props[@]}" "$probe" 2>/dev/null
        said=$(systemctl show -p ExecMainCode -p ExecMainStatus "probe-$unit" | sort | xargs)
        [ "$said" = "$code" ] || fail "probe-$unit: $said, not $code"
        systemctl stop "probe-$unit" 2>/dev/null
        systemctl reset-failed "probe-$unit" 2>/dev/null
    done
}

if [ -n "${VM_GUEST:-}" ]; then
    result started "$(cut -d' ' -f1 /proc/uptime) s after the kernel"
    result pid1 "$(cat /proc/1/comm)"
    result cgroupfs "$(stat -fc %T /sys/fs/cgroup)"
    for engine in podman kube docker; do check "$engine" engine_group "$engine"; done
    check docker-service docker_service
    check systemd systemd_filter
    result end
    exit 0
fi

# The host's side: the image, a drive with the tests and this build's probe and image, the boot.
need_root
[ "$ARCH" = amd64 ] || skip "the machine is an x86-64 one; this build is $ARCH"
need qemu-system-x86_64 mkfs.ext4 timeout flock
[ -f "$image" ] || skip "no image at $image: the image group builds it"
# The machine's image, made once in the user's cache from the mirror this machine's apt uses.
# shellcheck source=SCRIPTDIR/../architectures.sh
source "$SOURCE_DIR/tests/architectures.sh"
# shellcheck source=SCRIPTDIR/../lab/packages.sh
source "$SOURCE_DIR/tests/lab/packages.sh"
# shellcheck source=SCRIPTDIR/../lab/vm-image.sh
source "$SOURCE_DIR/tests/lab/vm-image.sh"
[ -n "$vm_mirror" ] || skip "$debian_no_mirror: the machine's root comes from there"
vm_image

# The second drive: the tests, the policies, the Pod, and this build's probe and image.
drive=$tmp/drive
mkdir -p "$drive/src" "$drive/build"
cp -r "$SOURCE_DIR/tests" "$SOURCE_DIR/policies" "$SOURCE_DIR/deploy" "$drive/src/"
cp "$probe" "$image" "$drive/build/"
cat >"$drive/run" <<EOF
#!/bin/sh
exec env VM_GUEST=1 CI=true SOURCE_DIR=/srv/probe/src BUILD_DIR=/srv/probe/build VERSION=$VERSION \\
    ARCH=$ARCH ROUNDS=${ROUNDS:-1} /srv/probe/src/tests/groups/$group.sh /srv/probe/build/${probe##*/} $kind
EOF
chmod 755 "$drive/run"

# shellcheck source=SCRIPTDIR/../lab/vm.sh
source "$SOURCE_DIR/tests/lab/vm.sh"
limit=600
vm_boot "$drive" $limit
status=$?
if [ $status -eq 124 ]; then
    fail "the machine timed out after $limit s; its console ends:"
    tr -d '\r' <"$tmp/console" | tail -20
    exit 1
fi
value() { sed -n "s/^@ $1 //p" "$tmp/log"; }
[ "$(value pid1)" = systemd ] || fail "PID 1 is not systemd: $(value pid1)"
[ "$(value cgroupfs)" = cgroup2fs ] || fail "/sys/fs/cgroup is not cgroup v2 alone: $(value cgroupfs)"
for case in podman kube docker docker-service systemd; do
    said=$(value "$case")
    [[ $said == "ok "* ]] || fail "$case: ${said:-no result line}"
done
grep -qx '@ end' "$tmp/log" || fail "no end line: the cases did not all run"
