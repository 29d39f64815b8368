#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A host as most are today: Debian 13 booted under qemu-system-x86_64, systemd as PID 1, a pure
# cgroup v2 hierarchy, AppArmor on. There the engine groups run as they run here, with that
# release's podman, crun, runc and Docker; Docker again as the distribution starts it, by systemd;
# systemd's own filter, from the shipped drop-in, runs the probe exactly, kills it without syslog
# and replaces a service's own; firejail's profile meets an i386 call; and the kernel's other gates
# decide the query as the docs say, the run exact each time: systemd's ProtectKernelLogs= and
# capability settings, and the shipped AppArmor profile, alone and under podman. The same machine
# booted again with SELinux in AppArmor's place runs the shipped SELinux module. Each module
# refuses the attack program (tests/attack.cpp) what the probe never does. The machine is the
# lab's (tests/lab/vm-image.sh, vm.sh). In it, this same file runs the cases (VM_GUEST=1), started
# by a unit of the image; its result lines come back on a second serial port.
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
service_docker() { in_time docker "$@"; }
docker_service() {
    local start=$EPOCHREALTIME
    systemctl start docker || { fail "systemctl start docker: $(systemctl status docker)"; return; }
    echo "dockerd started in $(awk "BEGIN { print $EPOCHREALTIME - $start }") s"
    load_image service_docker "$name"
    without_syslog "$engines_profile" "$tmp/no-syslog.json"
    local round
    for round in $rounds; do
        expect_done "Docker's service, round $round" service_docker run --rm --pull never --network none \
            --security-opt "seccomp=$engines_profile" "$name"
    done
    expect_killed "Docker's service, without syslog" service_docker run --rm --pull never --network none \
        --security-opt "seccomp=$tmp/no-syslog.json" "$name"
}
# The drop-in's settings as systemd-run's properties, each after its -p.
mapfile -t settings < <(sed -n '/^\[Service\]/,/^\[/s/^\([A-Za-z]*=.*\)/-p\n\1/p' "$dropin")
# systemd_filter: the drop-in's settings as systemd-run's properties: exact, with and without
# no-new-privileges; without syslog, the probe killed, for systemd-run, and by SIGSYS in systemd's
# own record of a unit. The drop-in in a service's drop-in directory replaces the service's own
# filter: what that let through is killed.
systemd_filter() {
    local no_syslog=() round nnp unit case said
    [ ${#settings[@]} -gt 0 ] || { fail "no setting in $dropin"; return; }
    mapfile -t no_syslog < <(printf '%s\n' "${settings[@]}" |
        sed -E '/^SystemCallFilter=/s/([= ])syslog( |$)/\1/')
    [ "${no_syslog[*]}" != "${settings[*]}" ] || { fail "$dropin allows no syslog"; return; }
    for nnp in no yes; do
        for round in $rounds; do
            expect_done "systemd-run, NoNewPrivileges=$nnp, round $round" systemd-run --wait \
                --pipe --quiet -p NoNewPrivileges=$nnp "${settings[@]}" "$probe"
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
    # A service with settings of its own, as many have: its filter, error number and architectures
    # let a file be opened and an i386 call through (answered, as root, with CAP_SYSLOG: its line
    # in a file). The drop-in, installed as the docs say beside a copy of it, replaces them: both
    # are killed. Each unit is new to systemd, which reads it when it is first started.
    local units=/run/systemd/system want
    for unit in own drop-in; do
        printf '%s\n' '[Service]' Type=oneshot RemainAfterExit=yes \
            "ExecStart=$attack %i /etc/shadow" "StandardError=file:$tmp/unit" \
            SystemCallFilter=@system-service SystemCallErrorNumber=EPERM \
            'SystemCallArchitectures=native x86' >"$units/probe-$unit@.service"
        undo+=("rm -rf $units/probe-$unit@.service $units/probe-$unit@.service.d")
    done
    mkdir "$units/probe-drop-in@.service.d" && cp "$dropin" "$units/probe-drop-in@.service.d/"
    for unit in own drop-in; do
        want="ExecMainCode=1 ExecMainStatus=0 answered"
        [ $unit = own ] || want="ExecMainCode=2 ExecMainStatus=31"
        for case in open i386; do
            : >"$tmp/unit"
            systemctl start "probe-$unit@$case" 2>/dev/null
            said=$(systemctl show -p ExecMainCode -p ExecMainStatus "probe-$unit@$case" | sort |
                cat - "$tmp/unit" | xargs)
            [ "$said" = "$want" ] || fail "a unit's own settings, $unit, $case: $said, not $want"
            systemctl stop "probe-$unit@$case" 2>/dev/null
            systemctl reset-failed "probe-$unit@$case" 2>/dev/null
        done
    done
}
# firejail_cases: the shipped profile, on a kernel that runs i386 calls: the probe exact; the
# attack program's i386 call, answered under firejail without a profile, refused by the profile's
# block of the other ABI (firejail's own filter for it, which refuses whatever the error action).
firejail_cases() {
    local profile=$SOURCE_DIR/policies/firejail.profile
    expect_done "firejail, the profile" firejail --profile="$profile" "$probe"
    expect_attack "firejail, no profile, i386" answered firejail --quiet --noprofile "$attack" i386
    expect_attack "firejail, the profile, i386" "refused EPERM" firejail --profile="$profile" \
        "$attack" i386
}

# audit_mark: the serial of the kernel's last audit record so far.
audit_mark() { dmesg | sed -n 's/.* audit([0-9.]*:\([0-9]*\)).*/\1/p' | tail -1; }
# recorded COMMAND...: runs COMMAND, and keeps in $tmp/records the kernel's audit records since it
# started of the runs at the probe's path (its name, as the kernel cuts it).
recorded() {
    local mark
    mark=$(audit_mark)
    "$@"
    # The kernel's audit thread prints the records a moment after the run.
    sleep 0.2
    dmesg | awk -v mark="${mark:-0}" 'match($0, / audit\([0-9.]+:[0-9]+\)/) {
        split(substr($0, RSTART + 7, RLENGTH - 8), stamp, ":"); if (stamp[2] > mark + 0) print }' |
        grep 'comm="linux-syslog-sy"' >"$tmp/records"
}
# decided LABEL LAYER SUBJECT COMMAND...: COMMAND, one run of the probe, is exact, and its records
# say who decided its query: LAYER, as layer_of names it; SUBJECT, where not -, matches the query's
# record's subject, the label that AppArmor or SELinux ran the probe under.
decided() {
    local label=$1 layer=$2 subject=$3 said
    shift 3
    recorded expect_done "$label" "$@"
    said=$(layer_of <"$tmp/records")
    [ "$said" = "$layer" ] || fail "$label: the query $said, not $layer: $(cat "$tmp/records")"
    [ "$subject" = - ] || grep -q "type=1300 .* subj=$subject key=" "$tmp/records" ||
        fail "$label: the query's record is not of subject $subject: $(cat "$tmp/records")"
    echo "$label: $said"
}
# attacked LABEL OUTCOME RECORD COMMAND...: COMMAND, one run of the attack program, ends as OUTCOME
# (expect_attack; "none" for an exec that was answered: the program run prints nothing), and its
# records hold the security module's RECORD, a pattern for grep -E.
attacked() {
    local label=$1 outcome=$2 record=$3
    shift 3
    recorded expect_attack "$label" "$outcome" "$@"
    grep -Eq "$record" "$tmp/records" || fail "$label: no record $record: $(cat "$tmp/records")"
}
# audit_rules: the rules as the build writes them for the package, so that each run leaves its
# query's record, which the kernel writes to its log with no audit daemon.
audit_rules() {
    auditctl -R "$BUILD_DIR/packaging/audit.rules" >/dev/null && auditctl -e 1 >/dev/null ||
        fail "the audit rules do not load"
}
# systemd_gates: what a unit's settings do to the query. ProtectKernelLogs= refuses it by a
# seccomp filter, before the call enters, even beside the drop-in's filter that allows it;
# CapabilityBoundingSet= without CAP_SYSLOG by the capability check; another user with CAP_SYSLOG
# as an ambient capability is answered.
in_unit() { systemd-run --wait --pipe --quiet "$@" "$probe"; }
systemd_gates() {
    decided "a unit as root" answered - in_unit
    decided "ProtectKernelLogs=yes" seccomp - in_unit -p ProtectKernelLogs=yes
    decided "the drop-in with ProtectKernelLogs=yes" seccomp - in_unit "${settings[@]}" \
        -p ProtectKernelLogs=yes
    decided "CapabilityBoundingSet=~CAP_SYSLOG" "capability EPERM" - in_unit \
        -p CapabilityBoundingSet=~CAP_SYSLOG
    decided "User=nobody, AmbientCapabilities=CAP_SYSLOG" answered - in_unit -p User=nobody \
        -p AmbientCapabilities=CAP_SYSLOG
}
# listening: a Unix stream socket that listens at $tmp/socket, for the attack program's connect.
listening() {
    systemd-socket-activate -l "$tmp/socket" sleep 600 >/dev/null 2>&1 &
    undo+=("kill $! 2>/dev/null")
    wait_until 10 test -S "$tmp/socket" || fail "no socket listens at $tmp/socket"
}
# attacks MODULE COMMAND...: the attack program, as root (with CAP_SYSLOG), at the probe's path,
# where MODULE confines it, and at its own, where nothing does, each run by COMMAND. Each row of
# attack_rows for MODULE, "MODULE CASE|UNCONFINED|CONFINED|RECORD", ends as those outcomes, and
# confined leaves the module's RECORD: AppArmor's DENIED for the operation RECORD begins with, or
# SELinux's AVC for the permission.
attacks() {
    local module=$1 row which words case=() control confined record
    local prefix='apparmor="DENIED" operation="'
    [ "$module" = apparmor ] || prefix='avc: +denied +\{ '
    shift
    for row in "${attack_rows[@]}"; do
        IFS='|' read -r which control confined record <<<"$row"
        read -r which words <<<"$which"
        read -ra case <<<"$words"
        [ "$which" = "$module" ] || continue
        rm -f "$tmp/new"
        expect_attack "$module, unconfined, $words" "$control" "$@" "$attack" "${case[@]}"
        rm -f "$tmp/new"
        attacked "$module, $words" "$confined" "$prefix$record" "$@" \
            /usr/bin/linux-syslog-syscall "${case[@]}"
    done
}
# What the probe never does, each refused under the profile and the module by the module's own
# record, and answered unconfined (an exec answered runs true, which prints nothing).
attack_rows=(
    "apparmor create $tmp/new|answered|refused EACCES|mknod\" .* name=\"$tmp/new\""
    "apparmor open /etc/shadow|answered|refused EACCES|open\" .* name=\"/etc/shadow\""
    "apparmor connect $tmp/socket|answered|refused EACCES|create\" class=\"net\" .* family=\"unix\""
    "apparmor exec /bin/true|none|refused EACCES|exec\" .* name=\"/usr/bin/true\""
    # The domain may not even look in /tmp, nor follow /bin, a link; it may not read the log.
    "selinux create $tmp/new|answered|refused EACCES|search \\} .* name=\"/\" .*:tmp_t:"
    "selinux open /etc/shadow|answered|refused EACCES|read \\} .* name=\"shadow\" .*:shadow_t:"
    "selinux connect $tmp/socket|answered|refused EACCES|search \\} .* name=\"/\" .*:tmp_t:"
    "selinux exec /bin/true|none|refused EACCES|read \\} .* name=\"bin\" .* tclass=lnk_file"
    "selinux syslog 3|answered|refused EACCES|syslog_read \\} .*:kernel_t:"
)
# apparmor_cases: the shipped profile, loaded: the probe at its path answered in the profile, with
# standard error a file, a pipe or a terminal from an unconfined shell, the journal's socket, or a
# pipe from a confined caller; under podman by name, refused without CAP_SYSLOG by the capability
# check and answered with it; the attack program at its path refused what the probe never does. A
# copy without capability syslog: refused by AppArmor, whose record names the capability. Both are
# unloaded after.
apparmor_cases() {
    local profile=$SOURCE_DIR/policies/apparmor.profile path=/usr/bin/linux-syslog-syscall
    local subject=linux-syslog-syscall container=(--rm --pull never --network none) said
    install -m 755 "$probe" "$path"
    apparmor_parser -r "$profile" || { fail "apparmor_parser -r $profile"; return; }
    decided "AppArmor, the profile" answered "$subject" "$path"
    decided "AppArmor, standard error a pipe" answered "$subject" sh -c "$path 2>&1 | cat >&2"
    # script's terminal, whose output script copies, a carriage return before each newline.
    decided "AppArmor, standard error a terminal" answered "$subject" \
        sh -c "script -qec $path /dev/null | tr -d '\r' >&2"
    decided "AppArmor, standard input and output closed" answered "$subject" \
        sh -c "exec $path <&- >&-"
    # journald's stream socket, which AppArmor checks at each write.
    systemd-run --wait --quiet --unit=probe-journal -p StandardError=journal "$path"
    wait_until 10 sh -c 'journalctl -q _SYSTEMD_UNIT=probe-journal.service -o cat | grep -q .'
    said=$(journalctl -q _SYSTEMD_UNIT=probe-journal.service -o cat)
    [ "$said" = Done. ] || fail "AppArmor, standard error the journal: '$said'"
    # A caller under a profile of its own (complain mode: it is allowed everything) hands over a
    # pipe it made, which AppArmor does not check again; the change of profile marks the run
    # secure, so the C library fills the closed streams.
    printf '%s\n' 'abi <abi/3.0>,' "profile probe-caller flags=(complain) { $path Px, }" |
        apparmor_parser -r || fail "the caller's profile does not load"
    decided "AppArmor, standard error a pipe from a confined caller" answered "$subject" \
        aa-exec -p probe-caller -- sh -c "$path 2>&1 <&- >&- | cat >&2"
    apparmor_parser -R <<<"profile probe-caller {}"
    listening
    install -m 755 "$attack" "$path"
    attacks apparmor
    install -m 755 "$probe" "$path"
    podman_store
    load_image group_podman "localhost/$name"
    decided "podman, the profile" "capability EPERM" "$subject" group_podman run "${container[@]}" \
        --security-opt apparmor=linux-syslog-syscall "$name"
    decided "podman, the profile, CAP_SYSLOG" answered "$subject" group_podman run "${container[@]}" \
        --cap-add SYSLOG --security-opt apparmor=linux-syslog-syscall "$name"
    sed '/^ *capability syslog,/d' "$profile" >"$tmp/no-syslog.profile"
    ! cmp -s "$profile" "$tmp/no-syslog.profile" || fail "$profile allows no capability syslog"
    apparmor_parser -r "$tmp/no-syslog.profile" || fail "the copy without syslog does not load"
    decided "AppArmor, without capability syslog" "apparmor EPERM" "$subject" "$path"
    grep -q 'apparmor="DENIED" operation="capable" .* capname="syslog"' "$tmp/records" ||
        fail "AppArmor's record names no syslog: $(cat "$tmp/records")"
    # AppArmor logs a capability's refusal by a profile once in a row on each CPU, and loading the
    # same text again keeps the profile it has: podman's copy is another profile, by name alone.
    sed 's/^profile linux-syslog-syscall [^ ]*/profile linux-syslog-syscall-copy/' \
        "$tmp/no-syslog.profile" >"$tmp/copy.profile"
    apparmor_parser -r "$tmp/copy.profile" || fail "the named copy without syslog does not load"
    decided "podman, without capability syslog, CAP_SYSLOG" "apparmor EPERM" "$subject-copy" \
        group_podman run "${container[@]}" --cap-add SYSLOG \
        --security-opt apparmor=linux-syslog-syscall-copy "$name"
    apparmor_parser -R "$profile" "$tmp/copy.profile"
}
# selinux_cases: the shipped module, in the image's policy (tests/lab/vm-image.sh), enforcing
# around the cases alone: the probe, labelled at its path, entered from unconfined_t into its own
# domain and answered, with standard error a file of the user's in /tmp, appended to, or in the
# home directory, a pipe or a terminal; each of the module's two booleans off in turn refuses it,
# and SELinux's record names the permission; the attack program at the probe's path, in the
# domain, is refused what the probe never does.
selinux_cases() {
    local path=/usr/bin/linux-syslog-syscall domain=linux_syslog_syscall_t
    local unconfined=unconfined_u:unconfined_r:unconfined_t:s0-s0:c0.c1023
    local err=/tmp/linux-syslog-syscall-$$ home=/root/linux-syslog-syscall-$$
    semodule -l | grep -qx linux-syslog-syscall ||
        { fail "the module is not in the policy"; return; }
    # The image's own files carry their labels (tests/lab/vm-image.sh), and the probe the module's.
    [[ $(stat -c %C /usr/bin) == *:bin_t:* ]] || fail "the image is not labelled: /usr/bin is" \
        "$(stat -c %C /usr/bin)"
    install -m 755 "$probe" "$path" && restorecon "$path" &&
        [[ $(stat -c %C "$path") == *:linux_syslog_syscall_exec_t:* ]] ||
        { fail "the probe cannot be labelled: $(stat -c %C "$path")"; return; }
    # COMMAND run by a shell in unconfined_t, enforcing only meanwhile: the shell's exec of the
    # probe is what enters its domain (runcon's own exec would keep the context it names). The
    # shell opens its standard streams itself, as a user's has them: output and error files of
    # its own in /tmp, copied out after.
    enforced() {
        runcon "$unconfined" sh -c 'exec </dev/null >"$0.out" 2>"$0.err"
            setenforce 1 && "$@"; status=$?; setenforce 0; exit $status' "$err" "$@"
        local status=$?
        cat "$err.out" && cat "$err.err" >&2 && rm "$err.out" "$err.err"
        return $status
    }
    local subject=".*:$domain:.*"
    decided "SELinux, the module" answered "$subject" enforced "$path"
    decided "SELinux, standard error appended to" answered "$subject" enforced \
        sh -c "$path 2>>$err.err"
    decided "SELinux, standard error in the home directory" answered "$subject" enforced \
        sh -c "$path 2>$home; cat $home >&2; rm $home"
    decided "SELinux, standard error a pipe" answered "$subject" enforced \
        sh -c "$path 2>&1 | cat >&2"
    decided "SELinux, standard error a terminal" answered "$subject" enforced \
        sh -c "script -qec $path /dev/null | tr -d '\r' >&2"
    decided "SELinux, standard input and output closed" answered "$subject" enforced \
        sh -c "exec $path <&- >&-"
    setsebool linux_syslog_syscall_syslog_mod off
    decided "SELinux, syslog_mod off" "selinux EACCES" "$subject" enforced "$path"
    grep -q "avc: *denied *{ syslog_mod } .*:$domain:.* tcontext=[^ ]*:kernel_t:" "$tmp/records" ||
        fail "SELinux's record names no syslog_mod: $(cat "$tmp/records")"
    setsebool linux_syslog_syscall_syslog_mod on
    setsebool linux_syslog_syscall_capability off
    decided "SELinux, capability off" "selinux EPERM" "$subject" enforced "$path"
    grep -q "avc: *denied *{ syslog } .* scontext=[^ ]*:$domain:[^ ]* .* tclass=capability2" \
        "$tmp/records" || fail "SELinux's record names no syslog: $(cat "$tmp/records")"
    setsebool linux_syslog_syscall_capability on
    listening
    install -m 755 "$attack" "$path" && restorecon "$path"
    attacks selinux enforced
    install -m 755 "$probe" "$path" && restorecon "$path"
}

if [ -n "${VM_GUEST:-}" ]; then
    result started "$(cut -d' ' -f1 /proc/uptime) s after the kernel"
    result pid1 "$(cat /proc/1/comm)"
    result cgroupfs "$(stat -fc %T /sys/fs/cgroup)"
    if [ -d /sys/fs/selinux ]; then
        result lsm selinux
        audit_rules
        check selinux selinux_cases
    else
        result lsm "$(grep -o apparmor /sys/kernel/security/lsm)"
        for engine in podman kube docker; do check "$engine" engine_group "$engine"; done
        check docker-service docker_service
        check systemd systemd_filter
        check firejail firejail_cases
        audit_rules
        check systemd-gates systemd_gates
        check apparmor apparmor_cases
    fi
    result end
    exit 0
fi

# The host's side: the image, a drive with the tests and this build's probe and image, the boot.
need_root
[ "$ARCH" = amd64 ] || skip "the machine is an x86-64 one; this build is $ARCH"
need qemu-system-x86_64 mkfs.ext4 timeout flock
[ -f "$image" ] || skip "no image at $image: the image group builds it"
[ -x "$attack" ] || skip "no attack program: this build has none (ATTACK)"
# The machine's image, made once in the user's cache from the mirror this machine's apt uses.
debian_mirrors || skip "$debian_no_mirror: the machine's root comes from there"
# shellcheck source=SCRIPTDIR/../lab/vm-image.sh
source "$SOURCE_DIR/tests/lab/vm-image.sh"
# The SELinux module as this build made it, which the image's policy takes in; where the build
# could not make it, the SELinux boot is left out, and the group skips once the rest has passed.
module=$BUILD_DIR/packaging/selinux/linux-syslog-syscall.pp
no_selinux=
[ -f "$module" ] || { no_selinux="no SELinux module at $module (selinux-policy-dev)"; module=; }
vm_image "$module"

# The second drive: the tests, the policies, the Pod, and this build's probe, attack program, image
# and audit rules.
drive=$tmp/drive
mkdir -p "$drive/src" "$drive/build/packaging"
cp -r "$SOURCE_DIR/tests" "$SOURCE_DIR/policies" "$SOURCE_DIR/deploy" "$drive/src/"
cp "$probe" "$image" "$attack" "$drive/build/"
cp "$BUILD_DIR/packaging/audit.rules" "$drive/build/packaging/"
cat >"$drive/run" <<EOF
#!/bin/sh
exec env VM_GUEST=1 CI=true SOURCE_DIR=/srv/probe/src BUILD_DIR=/srv/probe/build VERSION=$VERSION \\
    ARCH=$ARCH ROUNDS=${ROUNDS:-1} ATTACK=/srv/probe/build/${attack##*/} \\
    /srv/probe/src/tests/groups/$group.sh /srv/probe/build/${probe##*/} $kind
EOF
chmod 755 "$drive/run"

# shellcheck source=SCRIPTDIR/../lab/vm.sh
source "$SOURCE_DIR/tests/lab/vm.sh"
limit=600
# boot LSM CASE... [-- KERNEL-ARGUMENT...]: boots the machine, which must come up with the security
# module LSM, and checks that each CASE passed.
boot() {
    local lsm=$1 cases=() status case said
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do cases+=("$1") && shift; done
    vm_boot "$drive" $limit "${@:2}"
    status=$?
    if [ $status -eq 124 ]; then
        tr -d '\r' <"$tmp/console" | tail -20
        lab_fault "the machine timed out after $limit s (its console's end above)"
    fi
    value() { sed -n "s/^@ $1 //p" "$tmp/log"; }
    [ "$(value pid1)" = systemd ] || fail "PID 1 is not systemd: $(value pid1)"
    [ "$(value cgroupfs)" = cgroup2fs ] ||
        fail "/sys/fs/cgroup is not cgroup v2 alone: $(value cgroupfs)"
    [ "$(value lsm)" = "$lsm" ] || fail "the machine's security module is not $lsm: $(value lsm)"
    for case in "${cases[@]}"; do
        said=$(value "$case")
        [[ $said == "ok "* ]] || fail "$case: ${said:-no result line}"
    done
    grep -qx '@ end' "$tmp/log" || fail "no end line: the cases did not all run"
}
boot apparmor podman kube docker docker-service systemd firejail systemd-gates apparmor
# SELinux in AppArmor's place, permissive until the cases switch it on: systemd's own units are
# not what this checks.
[ -n "$no_selinux" ] || boot selinux selinux -- security=selinux selinux=1 enforcing=0
[ -z "$no_selinux" ] || [ "$failures" != 0 ] || skip "the SELinux boot: $no_selinux"
