# shellcheck shell=bash disable=SC2154 # lib.sh and packaging/debian.sh, sourced first, set them
# SPDX-License-Identifier: MIT
# The booted host's image: the newest release of cmake/releases.txt, a minbase root with systemd,
# the cloud kernel and the engines, made with mmdebstrap from the mirror apt uses here, written
# with mkfs.ext4 -d (never loop-mounted) and kept with its kernel and initramfs in the cache. At
# boot its unit runs /srv/probe/run from the second drive, writes to the second serial port, and
# powers the machine off. Sourced by the systemd-vm group after lib.sh and packaging/debian.sh.
vm_release=${codename[${releases[-1]}]}
vm_images=$debian_cache/vm-$vm_release
vm_mirror=${debian_mirror%/}

# vm_image [MODULE]: sets vm_key to the image of the release's index as the mirror serves it now,
# with the SELinux module MODULE installed where given, building it into $vm_images (root-KEY.img,
# vmlinuz-KEY, initrd-KEY) if it is not there; one build at a time, and none while another group
# boots an image (a build removes the images of other keys): the lock is held, shared, until the
# group ends.
vm_image() {
    local start module=${1:-}
    mkdir -p "$vm_images/debs" && exec {vm_lock}>"$vm_images/lock" && flock "$vm_lock" ||
        skip "cannot lock $vm_images"
    if /usr/lib/apt/apt-helper download-file "$vm_mirror/dists/$vm_release/InRelease" \
        "$tmp/InRelease" >"$tmp/apt" 2>&1; then
        # The recipe, this file, and the module are part of the key: an image of an older one lacks
        # what it adds.
        vm_key=$(cat "$tmp/InRelease" "${BASH_SOURCE[0]}" ${module:+"$module"} | sha256sum |
            cut -c1-16)
    else
        # Offline, the image built last will do.
        vm_key=$(find "$vm_images" -name 'root-*.img' -printf '%T@ %f\n' | sort -n | tail -1 |
            sed 's/.* root-\(.*\)\.img/\1/')
        [ -n "$vm_key" ] || skip "no image cached, and the mirror is out of reach: $(tail -1 "$tmp/apt")"
        echo "the mirror is out of reach; using the image built last"
    fi
    [ -f "$vm_images/root-$vm_key.img" ] || vm_build_image "$module"
    flock -s "$vm_lock"
}
vm_build_image() {
    local root=$tmp/root start=$EPOCHREALTIME module=$1 install=()
    need mmdebstrap
    [ -n "$(ls "$vm_images/debs")" ] || echo "building the machine's root: a first build downloads" \
        "about 250 MB of Debian $vm_release's packages into $vm_images/debs and keeps an image of 1 GB"
    # The initramfs with only the modules that find the root, and the first-boot services that
    # would update caches skipped: the unit starts seconds sooner. The engines' services are
    # started by the tests, not at boot; so are the profiles and audit rules the tests load (the
    # hundred profiles of Debian's apparmor, none for what runs here, took 16 s of each boot).
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
        systemd-update-done.service e2scrub_reap.service auditd.service audit-rules.service
        apparmor.service)
    # AppArmor as Debian has it, and SELinux's policy and tools for the boot that selects it;
    # auditctl for the query's records, which go to the kernel's log with no audit daemon running;
    # firejail, whose filter meets the i386 calls that only a booted kernel runs.
    local packages=(systemd-sysv dbus udev linux-image-cloud-amd64 initramfs-tools podman crun runc
        catatonit docker.io docker-cli jq bpftrace apparmor auditd selinux-policy-default
        policycoreutils selinux-utils firejail)
    # The SELinux module goes into the policy here: semodule rebuilds the whole policy, which took
    # 56 s in the machine under TCG.
    [ -z "$module" ] || install=(--customize-hook="copy-in '$module' /tmp"
        --customize-hook="chroot \"\$1\" semodule -i '/tmp/${module##*/}'"
        --customize-hook="rm \"\$1/tmp/${module##*/}\"")
    TMPDIR=$tmp mmdebstrap --variant=minbase --mode=root --include="$(IFS=,; echo "${packages[*]}")" \
        --skip=download/empty --skip=essential/unlink \
        --setup-hook='mkdir -p "$1/var/cache/apt/archives" "$1/etc/initramfs-tools/hooks" "$1/etc/initramfs-tools/conf.d"' \
        --setup-hook="sync-in '$vm_images/debs' /var/cache/apt/archives" \
        --setup-hook='echo MODULES=list >"$1/etc/initramfs-tools/conf.d/probe-vm"' \
        --setup-hook="printf '%s\n' '$hook' >\"\$1/etc/initramfs-tools/hooks/probe-vm\"" \
        --setup-hook='chmod 755 "$1/etc/initramfs-tools/hooks/probe-vm"' \
        --customize-hook='chroot "$1" apt-get autoclean -q' \
        --customize-hook="rm -f '$vm_images/debs/'*.deb" \
        --customize-hook="sync-out /var/cache/apt/archives '$vm_images/debs'" \
        --customize-hook="printf '%s\n' '$unit' >\"\$1/etc/systemd/system/probe-checks.service\"" \
        --customize-hook='chroot "$1" systemctl -q enable probe-checks.service' \
        --customize-hook='chroot "$1" systemctl -q disable docker.service docker.socket containerd.service' \
        --customize-hook="chroot \"\$1\" systemctl -q mask ${skipped[*]}" \
        --customize-hook='chroot "$1" systemctl -q set-default multi-user.target' \
        --customize-hook='systemd-machine-id-setup --root "$1"' \
        --customize-hook='echo probe-vm >"$1/etc/hostname"; mkdir -p "$1/srv/probe"' \
        --customize-hook='echo "/dev/vdb /srv/probe ext4 defaults 0 0" >"$1/etc/fstab"' \
        --customize-hook="cp \"\$1\"/boot/vmlinuz-* '$tmp/vmlinuz'; cp \"\$1\"/boot/initrd.img-* '$tmp/initrd'" \
        --customize-hook='printf "%s\n" SELINUX=permissive SELINUXTYPE=default \
            >"$1/etc/selinux/config"' \
        "${install[@]}" \
        --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*_*' \
        "$vm_release" "$root" "$vm_mirror" >"$tmp/mmdebstrap" 2>&1 ||
        { tail -20 "$tmp/mmdebstrap"; lab_fault "mmdebstrap failed"; }
    # SELinux's labels, for the boot that selects it: set here, as extended attributes that
    # mkfs.ext4 -d copies, by the image's own setfiles on the root as a plain directory (nothing of
    # this machine's is mounted in it now). The boot that selects AppArmor ignores them.
    chroot "$root" setfiles -F /etc/selinux/default/contexts/files/file_contexts / \
        >"$tmp/setfiles" 2>&1 || { tail -20 "$tmp/setfiles"; lab_fault "setfiles failed"; }
    # Room for the engines' stores beside the root; the file is sparse.
    truncate -s $(($(du -sm "$root" | cut -f1) + 2048))M "$tmp/root.img" &&
        mkfs.ext4 -q -L probe-root -d "$root" "$tmp/root.img" ||
        lab_fault "mkfs.ext4 -d failed"
    rm -f "$vm_images"/root-*.img "$vm_images"/vmlinuz-* "$vm_images"/initrd-*
    mv "$tmp/vmlinuz" "$vm_images/vmlinuz-$vm_key" && mv "$tmp/initrd" "$vm_images/initrd-$vm_key" &&
        mv "$tmp/root.img" "$vm_images/root-$vm_key.img" || lab_fault "cannot write to $vm_images"
    rm -rf "$root"
    echo "built the machine's root in $(awk "BEGIN { print int($EPOCHREALTIME - $start) }") s:" \
        "$(du -m "$vm_images/root-$vm_key.img" | cut -f1) MB used of $(du -m --apparent-size \
        "$vm_images/root-$vm_key.img" | cut -f1) MB"
}
