# shellcheck shell=bash disable=SC2154 # lib.sh and packaging/debian.sh, sourced first, set them
# SPDX-License-Identifier: MIT
# Debian's kernels, fetched into the cache from the release whose archive has the architecture's
# (packaging/debian.sh), and booted under qemu-system on its machine (cmake/architectures.txt)
# with an initramfs. Sourced by the kernel group after lib.sh and packaging/debian.sh.

# kernel_fetch ARCH: unpacks into $tmp/boot the kernel image and configuration of ARCH's flavour,
# from the package that the release's metapackage for it depends on now or, where the mirror does
# not serve that package (a security update listed before its files are there), on the
# metapackage's earlier version that the index still lists. Where the mirror serves none of that
# release's, another release's, saying so. Fetched once, and checked against the index at each use.
kernel_fetch() {
    local arch=$1 flavour=${arch_flavour[$1]} release package deb='' apt=() from
    from=("$(release_of "$arch" kernel)")
    for release in "${releases[@]}"; do
        [ "$release" = "${from[0]}" ] || from+=("$release")
    done
    for release in "${from[@]}"; do
        debian_apt "$release" "$arch" 2>>"$tmp/apt" || continue
        # The metapackage's versions, newest first, each naming its kernel's package.
        for package in $(apt-cache "${apt[@]}" show "linux-image-$flavour" 2>/dev/null |
            sed -n 's/^Depends:.*\(linux-image-[0-9][^ ,]*\).*/\1/p' | awk '!seen[$0]++'); do
            deb=$(debian_fetch "$package" 2>>"$tmp/apt") && break 2
            [ $? -ne 2 ] || lab_fault "$(tail -1 "$tmp/apt")"
        done
        echo "$arch: no kernel of Debian $release to be had: $(tail -1 "$tmp/apt" | grep . ||
            echo "apt knows none")"
    done
    [ -n "$deb" ] || skip "no Debian ${from[*]} kernel for $arch, linux-image-$flavour: $(tail -1 \
        "$tmp/apt" | grep . || echo "apt knows none (apt-get update, with $arch added)")"
    echo "$arch: Debian $release's ${deb##*/}"
    package=${deb##*/}
    package=${package%%_*}
    # The two files sit at the front of the package: tar stops there.
    dpkg-deb --fsys-tarfile "$deb" 2>/dev/null | tar -x -C "$tmp" --wildcards --occurrence \
        "./boot/config-${package#linux-image-}" "./boot/vmlinu?-${package#linux-image-}"
}

# kernel_boot ARCH APPEND...: boots the kernel in $tmp/boot with the initramfs $tmp/initrd on
# ARCH's machine, with its console and the kernel arguments APPEND, for at most a minute (the
# initramfs's /init ends the machine by exiting, which panics the kernel), and writes the console
# to $tmp/log. Its status is qemu's, 124 on the time limit.
kernel_boot() {
    local arch=$1 machine start status
    shift
    read -ra machine <<<"${arch_machine[$arch]}"
    start=$EPOCHREALTIME
    # The crypto self-tests, a second of an emulated boot, left out.
    timeout -k 5 60 "${machine[@]}" -kernel "$tmp"/boot/vmlinu?-* -initrd "$tmp/initrd" \
        -append "console=${arch_console[$arch]} $* cryptomgr.notests" -nographic -no-reboot \
        -monitor none -nic none </dev/null >"$tmp/console" 2>&1
    status=$?
    echo "$arch: the machine ran for $(awk "BEGIN { print $EPOCHREALTIME - $start }") s"
    tr -d '\r' <"$tmp/console" >"$tmp/log"
    return $status
}
