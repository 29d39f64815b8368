# shellcheck shell=bash disable=SC2154 # lib.sh and packaging/debian.sh, sourced first, set them
# SPDX-License-Identifier: MIT
# Debian's kernels, fetched into the cache from the release whose archive has the architecture's
# (packaging/debian.sh), and booted on its qemu-system machine (cmake/architectures.txt).

# kernel_fetch ARCH: unpacks into $tmp/boot the image and configuration of ARCH's kernel, from
# the package that the release's metapackage depends on, or its earlier version's where the
# mirror does not serve it (a security update listed before its files are there), or another
# release's, saying so. Fetched once, checked against the index at each use.
kernel_fetch() {
    local arch=$1 flavour=${arch_flavour[$1]} release package deb='' apt=() from
    mapfile -t from < <(printf '%s\n' "$(release_of "$arch" kernel)" "${releases[@]}" |
        awk '!seen[$0]++')
    for release in "${from[@]}"; do
        debian_apt "$release" "$arch" 2>>"$tmp/apt" || continue
        # The metapackage's versions, newest first, each naming its kernel's package.
        for package in $(apt-cache "${apt[@]}" show "linux-image-$flavour" 2>/dev/null |
            sed -n 's/^Depends:.*\(linux-image-[0-9][^ ,]*\).*/\1/p' | awk '!seen[$0]++'); do
            deb=$(debian_fetch "$package" 2>>"$tmp/apt") && break 2
            [ $? -ne 2 ] || lab_fault "$(tail -1 "$tmp/apt")"
        done
        echo "$arch: no Debian $release kernel: $(tail -1 "$tmp/apt" | grep . || echo none listed)"
    done
    [ -n "$deb" ] || skip "no Debian ${from[*]} kernel for $arch, linux-image-$flavour: $(tail -1 \
        "$tmp/apt" | grep . || echo "apt knows none (apt-get update, with $arch added)")"
    echo "$arch: Debian $release's ${deb##*/}"
    # The two files sit at the front of the package: tar stops there.
    dpkg-deb --fsys-tarfile "$deb" 2>/dev/null |
        tar -x -C "$tmp" --wildcards --occurrence './boot/config-*' './boot/vmlinu?-*'
}

# kernel_boot ARCH APPEND...: boots the kernel in $tmp/boot with the initramfs $tmp/initrd on
# ARCH's machine, its console and the kernel arguments APPEND, for at most a minute (the init ends
# the machine by exiting), the console in $tmp/log. Its status is qemu's, 124 on the time limit.
kernel_boot() {
    local arch=$1 machine start=$EPOCHREALTIME status
    read -ra machine <<<"${arch_machine[$arch]}"
    # The crypto self-tests, a second of an emulated boot, left out.
    timeout -k 5 60 "${machine[@]}" -kernel "$tmp"/boot/vmlinu?-* -initrd "$tmp/initrd" \
        -append "console=${arch_console[$arch]} ${*:2} cryptomgr.notests" -nographic -no-reboot \
        -monitor none -nic none </dev/null 2>&1 | tr -d '\r' >"$tmp/log"
    status=${PIPESTATUS[0]}
    echo "$arch: the machine ran for $(awk "BEGIN { print $EPOCHREALTIME - $start }") s"
    return "$status"
}
