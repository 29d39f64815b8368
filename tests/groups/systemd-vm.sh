#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A host as most are today: Debian 13 under qemu-system-x86_64, systemd as PID 1, cgroup v2 alone,
# AppArmor on, then SELinux. There the engine groups run, Docker as Debian starts it; the shipped
# drop-in, firejail and AppArmor profiles and SELinux module run the probe exactly and refuse the
# attack program what the probe never does, beside a control; the kernel's other gates decide the
# query as the docs say. In the lab's machine (tests/lab/vm.sh) this file runs the cases.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
dropin=$SOURCE_DIR/policies/systemd.conf
path=/usr/bin/linux-syslog-syscall # AppArmor's profile and SELinux's labels confine what runs here
# The drop-in's settings as systemd-run's properties.
mapfile -t settings < <(sed -n '/^\[Service\]/,/^\[/s/^\([A-Za-z]*=.*\)/-p\n\1/p' "$dropin")

# check CASE: the function CASE_cases (- as _), else the engine group CASE; then its result line.
check() {
    local before=$failures start=$EPOCHREALTIME run=${1//-/_}_cases
    if declare -F "$run" >/dev/null; then "$run"
    else CI=true "${0%/*}/$1.sh" "$probe" "$kind" || fail "the $1 group failed"; fi
    [ "$failures" = "$before" ] && set -- "$1" ok || set -- "$1" FAIL
    echo "@ $*" "$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }") s"
}
service_docker() { in_time docker "$@"; }
# docker_service_cases: dockerd as Debian starts it: the engines' profile exact, syslog 3 killed.
docker_service_cases() {
    local round run=(service_docker run --rm --pull never --network none --cap-add SYSLOG
        --security-opt "seccomp=$engines_profile")
    systemctl start docker || { fail "systemctl start docker: $(systemctl status docker)"; return; }
    load_image service_docker "$name"
    for round in $rounds; do expect_done "Docker's service, round $round" "${run[@]}" "$name"; done
    expect_attack "Docker's service, syslog 3" killed "${run[@]}" -v "$attack:/attack:ro" \
        --entrypoint /attack "$name" syslog 3
}
in_unit() { systemd-run --wait --pipe --quiet "$@"; }
# systemd_cases: the drop-in's settings as properties: exact, with or without no-new-privileges; an
# i386 call killed. In a service's drop-in directory it replaces the service's own filter, errno and
# architectures, which let an open and an i386 call through: both killed (signal 31 for systemd).
systemd_cases() {
    local nnp round unit case want said units=/run/systemd/system/probe
    for nnp in no yes; do for round in $rounds; do
        expect_done "systemd-run, NoNewPrivileges=$nnp, round $round" in_unit \
            -p NoNewPrivileges=$nnp "${settings[@]}" "$probe"
    done; done
    expect "systemd-run, the drop-in, i386" failed none in_unit "${settings[@]}" "$attack" i386
    # New units, which systemd reads when first started, oneshots that keep how they ended.
    printf '%s\n' '[Service]' Type=oneshot RemainAfterExit=yes "ExecStart=$attack %i /etc/shadow" \
        "StandardError=file:$tmp/run" SystemCallFilter=@system-service SystemCallErrorNumber=EPERM \
        'SystemCallArchitectures=native x86' | tee "$units"-{own,drop-in}@.service >/dev/null
    undo+=("rm -rf $units-{own,drop-in}@.service*")
    mkdir "$units-drop-in@.service.d" && cp "$dropin" "$units-drop-in@.service.d/"
    for unit in own drop-in; do for case in open i386; do
        want="ExecMainCode=1 ExecMainStatus=0 answered"
        [ $unit = own ] || want="ExecMainCode=2 ExecMainStatus=31"
        : >"$tmp/run" && systemctl start "probe-$unit@$case" 2>/dev/null
        said=$(systemctl show -p ExecMainCode -p ExecMainStatus "probe-$unit@$case" | sort |
            cat - "$tmp/run" | xargs)
        [ "$said" = "$want" ] || fail "a unit's own settings, $unit, $case: $said, not $want"
        systemctl stop "probe-$unit@$case" && systemctl reset-failed "probe-$unit@$case" 2>/dev/null
    done; done
}
# firejail_cases: the shipped profile; an i386 call refused by firejail's filter of other ABIs.
firejail_cases() {
    local jail=(firejail --profile="$SOURCE_DIR/policies/firejail.profile")
    expect_done "firejail, the profile" "${jail[@]}" "$probe"
    expect_attack "firejail, no profile, i386" answered firejail --quiet --noprofile "$attack" i386
    expect_attack "firejail, the profile, i386" "refused EPERM" "${jail[@]}" "$attack" i386
}

# recorded COMMAND...: COMMAND, then in $tmp/records the kernel's audit records since of the runs
# at the probe's path, which the kernel's audit thread prints a moment after the run.
recorded() {
    local mark
    mark=$(dmesg | sed -n 's/.* audit([0-9.]*:\([0-9]*\)).*/\1/p' | tail -1)
    "$@"
    sleep 0.2 && dmesg | grep 'comm="linux-syslog-sy"' |
        awk -F 'audit\\([0-9.]+:|\\)' -v mark="${mark:-0}" '$2 > mark' >"$tmp/records"
}
# decided LABEL LAYER SUBJECT COMMAND...: COMMAND, a run of the probe, is exact, and its records
# say LAYER decided the query (layer_of), under the module's label SUBJECT where not -.
decided() {
    local label=$1 layer=$2 subject=$3 said
    recorded expect_done "$label" "${@:4}"
    said=$(layer_of <"$tmp/records")
    [ "$said" = "$layer" ] || fail "$label: the query $said, not $layer: $(cat "$tmp/records")"
    [ "$subject" = - ] || grep -q "type=1300 .* subj=$subject key=" "$tmp/records" ||
        fail "$label: the query's record is not of subject $subject: $(cat "$tmp/records")"
    echo "$label: $said"
}
# systemd_gates_cases: which of the kernel's gates decides the query under a unit's settings.
gate() { decided "$1" "$2" - in_unit "${@:3}" "$probe"; }
systemd_gates_cases() {
    gate "a unit as root" answered
    gate ProtectKernelLogs=yes seccomp -p ProtectKernelLogs=yes
    gate "the drop-in with ProtectKernelLogs=yes" seccomp "${settings[@]}" -p ProtectKernelLogs=yes
    gate CapabilityBoundingSet=~CAP_SYSLOG "capability EPERM" -p CapabilityBoundingSet=~CAP_SYSLOG
    gate "User=nobody, AmbientCapabilities=CAP_SYSLOG" answered -p User=nobody \
        -p AmbientCapabilities=CAP_SYSLOG
}
# attacks MODULE [COMMAND...]: each of MODULE's rows, "MODULE CASE|UNCONFINED|CONFINED|RECORD", run
# as root by COMMAND at the attack program's path ends UNCONFINED (none: an exec, which runs true);
# at the probe's, which MODULE confines, CONFINED, with AppArmor's DENIED or SELinux's AVC RECORD.
attacks() {
    local module=$1 row words case=() control confined record prefix='avc: +denied +\{ '
    [ "$module" = selinux ] || prefix='apparmor="DENIED" operation="'
    systemd-socket-activate -l "$tmp/socket" sleep 600 >/dev/null 2>&1 &
    undo+=("kill $! 2>/dev/null")
    wait_until 10 test -S "$tmp/socket" || fail "no socket listens at $tmp/socket"
    install -m 755 "$attack" "$path" && { [ "$module" = apparmor ] || restorecon "$path"; }
    for row in "${attack_rows[@]}"; do
        [[ $row == "$module "* ]] || continue
        IFS='|' read -r words control confined record <<<"${row#* }"
        read -ra case <<<"$words"
        expect_attack "$module, unconfined, $words" "$control" "${@:2}" "$attack" "${case[@]}"
        rm -f "$tmp/new"
        recorded expect_attack "$module, $words" "$confined" "${@:2}" "$path" "${case[@]}"
        grep -Eq "$prefix$record" "$tmp/records" ||
            fail "$module, $words: no record $record: $(cat "$tmp/records")"
    done
    install -m 755 "$probe" "$path" && { [ "$module" = apparmor ] || restorecon "$path"; }
}
# callers MODULE SUBJECT [COMMAND [LABEL|CALLER...]]: the probe at its path answered under the label
# SUBJECT, run by COMMAND's unconfined shell as each caller has it, these four and each CALLER
# (script copies the terminal's output, a CR before each LF).
callers() {
    local caller
    for caller in "standard error a file|$path" "standard error a pipe|$path 2>&1 | cat >&2" \
        "standard error a terminal|script -qec $path /dev/null | tr -d '\r' >&2" \
        "standard input and output closed|exec $path <&- >&-" "${@:4}"; do
        decided "$1, ${caller%%|*}" answered "$2" ${3:+"$3"} sh -c "${caller#*|}"
    done
}
# The domain may not even look in /tmp, nor follow /bin, a link; it may not read the log.
attack_rows=(
    "apparmor create $tmp/new|answered|refused EACCES|mknod\" .* name=\"$tmp/new\""
    "apparmor open /etc/shadow|answered|refused EACCES|open\" .* name=\"/etc/shadow\""
    "apparmor connect $tmp/socket|answered|refused EACCES|create\" class=\"net\" .* family=\"unix\""
    "apparmor exec /bin/true|none|refused EACCES|exec\" .* name=\"/usr/bin/true\""
    "selinux create $tmp/new|answered|refused EACCES|search \\} .* name=\"/\" .*:tmp_t:"
    "selinux open /etc/shadow|answered|refused EACCES|read \\} .* name=\"shadow\" .*:shadow_t:"
    "selinux connect $tmp/socket|answered|refused EACCES|search \\} .* name=\"/\" .*:tmp_t:"
    "selinux exec /bin/true|none|refused EACCES|read \\} .* name=\"bin\" .* tclass=lnk_file"
    "selinux syslog 3|answered|refused EACCES|syslog_read \\} .*:kernel_t:"
)
# apparmor_cases: the shipped profile, by each caller and under podman (where CAP_SYSLOG decides);
# copies without capability syslog, which AppArmor refuses.
apparmor_cases() {
    local profile=$SOURCE_DIR/policies/apparmor.profile subject=linux-syslog-syscall said
    local container=(group_podman run --rm --pull never --network none)
    install -m 755 "$probe" "$path"
    apparmor_parser -r "$profile" || { fail "apparmor_parser -r $profile"; return; }
    callers AppArmor "$subject"
    # journald's stream, which AppArmor checks at each write.
    systemd-run --wait --quiet --unit=probe-log -p StandardError=journal "$path"
    wait_until 10 eval 'said=$(journalctl -q _SYSTEMD_UNIT=probe-log.service -o cat); [ "$said" ]'
    [ "$said" = Done. ] || fail "AppArmor, standard error the journal: '$said'"
    # A caller under a profile of its own (complain: allowed everything) hands over its pipe; the
    # change of profile marks the run secure, so the C library fills the closed streams.
    printf '%s\n' 'abi <abi/3.0>,' "profile probe-caller flags=(complain) { $path Px, }" |
        apparmor_parser -r || fail "the caller's profile does not load"
    decided "AppArmor, standard error a pipe from a confined caller" answered "$subject" \
        aa-exec -p probe-caller -- sh -c "$path 2>&1 <&- >&- | cat >&2"
    apparmor_parser -R <<<"profile probe-caller {}"
    attacks apparmor
    podman_store
    load_image group_podman "localhost/$name"
    decided "podman, the profile" "capability EPERM" "$subject" "${container[@]}" \
        --security-opt "apparmor=$subject" "$name"
    decided "podman, the profile, CAP_SYSLOG" answered "$subject" "${container[@]}" \
        --cap-add SYSLOG --security-opt "apparmor=$subject" "$name"
    # AppArmor logs a refusal of a capability once in a row per profile and CPU: podman gets a copy.
    sed '/^ *capability syslog,/d' "$profile" | tee "$tmp/no-syslog" |
        sed "s/^profile $subject [^ ]*/profile $subject-copy/" >"$tmp/copy"
    ! cmp -s "$profile" "$tmp/no-syslog" || fail "$profile allows no capability syslog"
    apparmor_parser -r "$tmp/no-syslog" "$tmp/copy" || fail "the copies without syslog do not load"
    decided "AppArmor, without capability syslog" "apparmor EPERM" "$subject" "$path"
    grep -q 'apparmor="DENIED" operation="capable" .* capname="syslog"' "$tmp/records" ||
        fail "AppArmor's record names no syslog: $(cat "$tmp/records")"
    decided "podman, without capability syslog, CAP_SYSLOG" "apparmor EPERM" "$subject-copy" \
        "${container[@]}" --cap-add SYSLOG --security-opt "apparmor=$subject-copy" "$name"
    apparmor_parser -R "$profile" "$tmp/copy"
}
# enforced COMMAND...: COMMAND run by a shell in unconfined_t, enforcing meanwhile, whose exec of
# the probe enters its domain (runcon's would keep its own), with a user's files in /tmp as its
# standard output and error, copied out after to the shell's own, kept from COMMAND.
user_err=/tmp/linux-syslog-syscall-$$
enforced() {
    runcon unconfined_u:unconfined_r:unconfined_t:s0-s0:c0.c1023 sh -c 'exec 3>&1 4>&2 \
        </dev/null >"$0.out" 2>"$0.err"; setenforce 1 && "$@" 3>&- 4>&-; status=$?; setenforce 0
        cat "$0.out" >&3 && cat "$0.err" >&4 && rm "$0.out" "$0.err"; exit $status' "$user_err" "$@"
}
# selinux_cases: the shipped module in the image's policy: the probe, labelled, entered from
# unconfined_t into its domain and answered; each boolean off refuses it, its record naming it.
selinux_cases() {
    local domain=linux_syslog_syscall_t subject=".*:linux_syslog_syscall_t:.*" boolean errno record
    semodule -l | grep -qx linux-syslog-syscall || fail "the module is not in the policy"
    [[ $(stat -c %C /usr/bin) == *:bin_t:* ]] || fail "the image is not labelled: /usr/bin is" \
        "$(stat -c %C /usr/bin)"
    install -m 755 "$probe" "$path" && restorecon "$path" &&
        [[ $(stat -c %C "$path") == *:linux_syslog_syscall_exec_t:* ]] ||
        { fail "the probe cannot be labelled: $(stat -c %C "$path")"; return; }
    callers SELinux "$subject" enforced "standard error appended to|$path 2>>$user_err.err" \
        "standard error in the home directory|$path 2>/root/$$; cat /root/$$ >&2; rm /root/$$"
    for boolean in "syslog_mod|EACCES|syslog_mod } .*:$domain:.* tcontext=[^ ]*:kernel_t:" \
        "capability|EPERM|syslog } .* scontext=[^ ]*:$domain:[^ ]* .* tclass=capability2"; do
        IFS='|' read -r boolean errno record <<<"$boolean"
        setsebool "linux_syslog_syscall_$boolean" off
        decided "SELinux, $boolean off" "selinux $errno" "$subject" enforced "$path"
        grep -q "avc: *denied *{ $record" "$tmp/records" ||
            fail "SELinux's record names no $boolean: $(cat "$tmp/records")"
        setsebool "linux_syslog_syscall_$boolean" on
    done
    attacks selinux enforced
}

if [ -n "${VM_GUEST:-}" ]; then
    echo "@ started $(cut -d' ' -f1 /proc/uptime) s after the kernel"
    echo "@ pid1 $(cat /proc/1/comm)"
    echo "@ cgroupfs $(stat -fc %T /sys/fs/cgroup)"
    # The package's rule: each run's query recorded in the kernel's log (no daemon).
    auditctl -R "$BUILD_DIR/packaging/audit.rules" >/dev/null && auditctl -e 1 >/dev/null ||
        fail "the audit rules do not load"
    [ -d /sys/fs/selinux ] && lsm=selinux || lsm=$(grep -o apparmor /sys/kernel/security/lsm)
    echo "@ lsm $lsm"
    for case in $(</srv/probe/cases); do check "$case"; done
    echo "@ end"
    exit 0
fi

# The host's side: the image, a drive with the tests and this build, the boots.
need_root
[ "$ARCH" = amd64 ] || skip "the machine is an x86-64 one; this build is $ARCH"
need qemu-system-x86_64 mkfs.ext4 timeout flock
[ -f "$image" ] || skip "no image at $image: the image group builds it"
[ -x "$attack" ] || skip "no attack program: this build has none (ATTACK)"
debian_mirrors || skip "$debian_no_mirror: the machine's root comes from there"
# shellcheck source=SCRIPTDIR/../lab/vm-image.sh
source "$SOURCE_DIR/tests/lab/vm-image.sh"
# The image's policy takes in this build's SELinux module; without one, no SELinux boot (a skip).
module=$BUILD_DIR/packaging/selinux/linux-syslog-syscall.pp
[ -f "$module" ] || { no_selinux="no SELinux module at $module (selinux-policy-dev)"; module=; }
vm_image "$module"

drive=$tmp/drive
install -D -t "$drive/src/packaging" "$SOURCE_DIR/packaging/debian.sh"
install -D -t "$drive/build/packaging" "$BUILD_DIR/packaging/audit.rules"
install -t "$drive/build" "$probe" "$image" "$attack"
cp -r "$SOURCE_DIR"/{tests,cmake,policies,deploy} "$drive/src/"
install -m 755 /dev/stdin "$drive/run" <<EOF
#!/bin/sh
exec env VM_GUEST=1 CI=true SOURCE_DIR=/srv/probe/src BUILD_DIR=/srv/probe/build VERSION=$VERSION \\
    ARCH=$ARCH ROUNDS=${ROUNDS:-1} ATTACK=/srv/probe/build/${attack##*/} \\
    /srv/probe/src/tests/groups/$group.sh /srv/probe/build/${probe##*/} $kind
EOF

# shellcheck source=SCRIPTDIR/../lab/vm.sh
source "$SOURCE_DIR/tests/lab/vm.sh"
limit=600
guest_said() { sed -n "s/^@ $1 //p" "$tmp/log" | grep . || echo "no result line"; }
# boot LSM "CASE..." [KERNEL-ARGUMENT...]: the machine, up with the module LSM, passes each CASE.
boot() {
    local case
    echo "$2" >"$drive/cases"
    vm_boot "$drive" $limit "${@:3}"
    [ $? != 124 ] || lab_fault "the machine timed out after $limit s; its console's end:" \
        "$(tr -d '\r' <"$tmp/console" | tail -20)"
    [ "$(guest_said pid1)" = systemd ] || fail "PID 1 is not systemd: $(guest_said pid1)"
    [ "$(guest_said cgroupfs)" = cgroup2fs ] ||
        fail "/sys/fs/cgroup is not cgroup v2 alone: $(guest_said cgroupfs)"
    [ "$(guest_said lsm)" = "$1" ] || fail "the security module is not $1: $(guest_said lsm)"
    for case in $2; do
        [[ $(guest_said "$case") == "ok "* ]] || fail "$case: $(guest_said "$case")"
    done
    grep -qx '@ end' "$tmp/log" || fail "no end line: the cases did not all run"
}
boot apparmor "podman kube docker docker-service systemd firejail systemd-gates apparmor"
# SELinux, permissive but around the cases: systemd's own units are not what this checks.
[ -n "${no_selinux:-}" ] || boot selinux selinux security=selinux selinux=1 enforcing=0
[ -z "${no_selinux:-}" ] || [ "$failures" != 0 ] || skip "the SELinux boot: $no_selinux"
