# shellcheck shell=bash disable=SC2154 # lib.sh and vm-image.sh, sourced first, set what this uses
# SPDX-License-Identifier: MIT
# The booted host's machine: vm-image.sh's image, opened with -snapshot so that nothing is written
# back. Sourced by the systemd-vm group after vm-image.sh.

# vm_boot DRIVE LIMIT [ARGUMENT...]: boots the image, with the directory DRIVE as its second drive
# and the kernel ARGUMENTs added, for at most LIMIT seconds: what its unit wrote in $tmp/log, its
# console in $tmp/console, qemu's status (124 on the time limit). An Oops ends the machine at once
# (oops=panic, panic=-1 with -no-reboot); seccomp records reach the console unthrottled. TCG has
# been seen to panic now and then in the kernel's own code, a fault of the emulation: once is
# tried again, unlike a check that fails.
vm_boot() {
    local drive=$1 limit=$2 append attempt start status
    shift 2
    truncate -s 256M "$tmp/drive.img" && mkfs.ext4 -q -d "$drive" "$tmp/drive.img" ||
        lab_fault "the second drive cannot be made"
    append="root=/dev/vda rw console=ttyS0 panic=-1 oops=panic fsck.mode=skip"
    append+=" systemd.show_status=error sysctl.kernel.printk_ratelimit=0 cryptomgr.notests $*"
    for attempt in 1 2; do
        start=$EPOCHREALTIME
        timeout -k 5 "$limit" qemu-system-x86_64 -machine q35 -cpu max -m 2048 -smp 2 \
            -display none -monitor none -no-reboot -nic none -kernel "$vm_images/vmlinuz-$vm_key" \
            -initrd "$vm_images/initrd-$vm_key" -append "$append" \
            -drive "file=$vm_images/root-$vm_key.img,format=raw,if=virtio" \
            -drive "file=$tmp/drive.img,format=raw,if=virtio" -snapshot \
            -serial "file:$tmp/console" -serial "file:$tmp/results" </dev/null
        status=$?
        tr -d '\r' <"$tmp/results" >"$tmp/log"
        cat "$tmp/log"
        echo "the machine ran for $(awk "BEGIN { print int($EPOCHREALTIME - $start) }") s" \
            "(attempt $attempt)"
        grep -aq 'Kernel panic\|Oops' "$tmp/console" || break
        echo "the machine's kernel panicked:"
        grep -a -m1 -A10 'Kernel panic\|Oops' "$tmp/console"
        [ $attempt = 1 ] && echo "booting it again" || lab_fault "the machine panicked twice"
    done
    return $status
}
