#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A host as most are today: Debian 13 booted under qemu-system-x86_64, systemd as PID 1, a pure
# cgroup v2 hierarchy. There the engine groups run as they run here, with that release's podman,
# crun, runc and Docker; Docker again as the distribution starts it, by systemd; and systemd's own
# filter, from the shipped drop-in, runs the probe exactly and kills it without syslog. The root is
# built once from the mirror into the user's cache, again when the release's index changes, and
# opened with -snapshot: the machine writes nothing back. In the machine, this same file runs the
# cases (VM_GUEST=1), started by a unit of the image; its result lines come back on a second
# serial port, the console on the first.
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
# The Debian mirror this machine's apt uses, the user's cache, and the newest release, the host's.
# shellcheck source=SCRIPTDIR/../debian.sh
source "$SOURCE_DIR/tests/debian.sh"
release=${codename[${releases[-1]}]}
images=$debian_cache/vm-$release
mirror=${debian_mirror%/}
[ -n "$mirror" ] || skip "$debian_no_mirror: the machine's root comes from there"
# vm_image: sets key to the image of the release's index as the mirror serves it now, building it
# into $images (root-KEY.img, vmlinuz-KEY, initrd-KEY) if it is not there; one build at a time.
vm_image() {
    local lock start
    mkdir -p "$images/debs" && exec {lock}>"$images/lock" && flock "$lock" ||
        skip "cannot lock $images"
    if /usr/lib/apt/apt-helper download-file "$mirror/dists/$release/InRelease" \
        "$tmp/InRelease" >"$tmp/apt" 2>&1; then
        key=$(sha256sum "$tmp/InRelease" | cut -c1-16)
    else
        # Offline, the image built last will do.
        key=$(find "$images" -name 'root-*.img' -printf '%T@ %f\n' | sort -n | tail -1 |
            sed 's/.* root-\(.*\)\.img/\1/')
        [ -n "$key" ] || skip "no image cached, and the mirror is out of reach: $(tail -1 "$tmp/apt")"
        echo "the mirror is out of reach; using the image built last"
    fi
    [ -f "$images/root-$key.img" ] || build_image
    exec {lock}>&-
}
build_image() {
    local root=$tmp/root start=$EPOCHREALTIME
    need mmdebstrap
    [ -n "$(ls "$images/debs")" ] || echo "building the machine's root: a first build downloads" \
        "about 250 MB of Debian $release's packages into $images/debs and keeps an image of 1 GB"
    # The initramfs with only the modules that find the root, and the first-boot services that
    # would update caches skipped: the unit starts seconds sooner. The engines' services are
    # started by the tests, not at boot.
    local hook='#!/bin/sh
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
manual_add_modules virtio_pci virtio_blk ext4'
    local unit='[Unit]
Description=linux-syslog-syscall checks, from the second drive
RequiresMountsFor=/srv/probe
SuccessAction=poweroff-force
FailureAction=poweroff-force
[Service]
Type=oneshot
ExecStart=/srv/probe/run
StandardOutput=file:/dev/ttyS1
StandardError=inherit
[Install]
WantedBy=multi-user.target'
    local skipped=(apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer
        fstrim.timer man-db.timer getty@tty1.service serial-getty@ttyS0.service ldconfig.service
        systemd-hwdb-update.service systemd-journal-catalog-update.service
        systemd-update-done.service e2scrub_reap.service)
    local packages=(systemd-sysv dbus udev linux-image-cloud-amd64 initramfs-tools podman crun runc
        catatonit docker.io docker-cli jq bpftrace)
    TMPDIR=$tmp mmdebstrap --variant=minbase --mode=root --include="$(IFS=,; echo "${packages[*]}")" \
        --skip=download/empty --skip=essential/unlink \
        --setup-hook='mkdir -p "$1/var/cache/apt/archives" "$1/etc/initramfs-tools/hooks" "$1/etc/initramfs-tools/conf.d"' \
        --setup-hook="sync-in '$images/debs' /var/cache/apt/archives" \
        --setup-hook='echo MODULES=list >"$1/etc/initramfs-tools/conf.d/probe-vm"' \
        --setup-hook="printf '%s\n' '$hook' >\"\$1/etc/initramfs-tools/hooks/probe-vm\"" \
        --setup-hook='chmod 755 "$1/etc/initramfs-tools/hooks/probe-vm"' \
        --customize-hook='chroot "$1" apt-get autoclean -q' \
        --customize-hook="rm -f '$images/debs/'*.deb" \
        --customize-hook="sync-out /var/cache/apt/archives '$images/debs'" \
        --customize-hook="printf '%s\n' '$unit' >\"\$1/etc/systemd/system/probe-checks.service\"" \
        --customize-hook='chroot "$1" systemctl -q enable probe-checks.service' \
        --customize-hook='chroot "$1" systemctl -q disable docker.service docker.socket containerd.service' \
        --customize-hook="chroot \"\$1\" systemctl -q mask ${skipped[*]}" \
        --customize-hook='chroot "$1" systemctl -q set-default multi-user.target' \
        --customize-hook='systemd-machine-id-setup --root "$1"' \
        --customize-hook='echo probe-vm >"$1/etc/hostname"; mkdir -p "$1/srv/probe"' \
        --customize-hook='echo "/dev/vdb /srv/probe ext4 defaults 0 0" >"$1/etc/fstab"' \
        --customize-hook="cp \"\$1\"/boot/vmlinuz-* '$tmp/vmlinuz'; cp \"\$1\"/boot/initrd.img-* '$tmp/initrd'" \
        --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*_*' \
        "$release" "$root" "$mirror" >"$tmp/mmdebstrap" 2>&1 ||
        { tail -20 "$tmp/mmdebstrap"; fail "mmdebstrap failed"; exit 1; }
    # Room for the engines' stores beside the root; the file is sparse.
    truncate -s $(($(du -sm "$root" | cut -f1) + 2048))M "$tmp/root.img" &&
        mkfs.ext4 -q -L probe-root -d "$root" "$tmp/root.img" ||
        { fail "mkfs.ext4 -d failed"; exit 1; }
    rm -f "$images"/root-*.img "$images"/vmlinuz-* "$images"/initrd-*
    mv "$tmp/vmlinuz" "$images/vmlinuz-$key" && mv "$tmp/initrd" "$images/initrd-$key" &&
        mv "$tmp/root.img" "$images/root-$key.img" || { fail "cannot write to $images"; exit 1; }
    rm -rf "$root"
    echo "built the machine's root in $(awk "BEGIN { print int($EPOCHREALTIME - $start) }") s:" \
        "$(du -m "$images/root-$key.img" | cut -f1) MB used of $(du -m --apparent-size \
        "$images/root-$key.img" | cut -f1) MB"
}
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
truncate -s 256M "$tmp/drive.img" && mkfs.ext4 -q -d "$drive" "$tmp/drive.img" ||
    { fail "the second drive cannot be made"; exit 1; }

# An Oops ends the machine at once (oops=panic, panic=-1 with -no-reboot), and so does the unit,
# by powering off. Seccomp records reach the console unthrottled.
limit=600
append="root=/dev/vda rw console=ttyS0 panic=-1 oops=panic fsck.mode=skip"
append+=" systemd.show_status=error sysctl.kernel.printk_ratelimit=0 cryptomgr.notests"
for attempt in 1 2; do
    start=$EPOCHREALTIME
    timeout -k 5 $limit qemu-system-x86_64 -machine q35 -cpu max -m 2048 -smp 2 -display none \
        -monitor none -no-reboot -nic none -kernel "$images/vmlinuz-$key" \
        -initrd "$images/initrd-$key" -append "$append" \
        -drive "file=$images/root-$key.img,format=raw,if=virtio" \
        -drive "file=$tmp/drive.img,format=raw,if=virtio" -snapshot \
        -serial "file:$tmp/console" -serial "file:$tmp/results" </dev/null
    status=$?
    seconds=$(awk "BEGIN { print int($EPOCHREALTIME - $start) }")
    tr -d '\r' <"$tmp/results" >"$tmp/log"
    cat "$tmp/log"
    echo "the machine ran for $seconds s (attempt $attempt)"
    # TCG has been seen to panic now and then in the kernel's own code, a fault of the emulation:
    # once is tried again, unlike a check that fails.
    grep -aq 'Kernel panic\|Oops' "$tmp/console" || break
    echo "the machine's kernel panicked:"
    grep -a -m1 -A10 'Kernel panic\|Oops' "$tmp/console"
    [ $attempt = 1 ] && echo "booting it again" || { fail "the machine panicked twice"; exit 1; }
done
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
