# shellcheck shell=bash disable=SC2154,SC2034 # packages.sh, sourced first, sets and reads apt
# SPDX-License-Identifier: MIT
# The musl of an architecture this machine's release lacks, from another release's packages
# (packages.sh), unpacked into the cache, never installed. Sourced by tests/setup.sh.

# debian_musl RELEASE ARCH TRIPLET: RELEASE's musl for ARCH, musl-dev and musl, unpacked into the
# cache's musl/ARCH, which the foreign group gives its cross build, again only when a newer comes;
# prints its source and where it is. TRIPLET-objcopy, of ARCH's cross compiler, strips it.
debian_musl() {
    local apt=() package deb debs=() root=$debian_cache/musl/$2 source file
    debian_apt "$1" "$2" update || return 1
    for package in musl-dev musl; do
        deb=$(debian_fetch "$package") || return 1
        debs+=("$deb")
    done
    # shellcheck disable=SC2016 # dpkg's fields, not the shell's
    source=$(dpkg-deb -W --showformat='${source:Package} (= ${source:Version})' "${debs[0]}")
    if [ "$(cat "$root/built-using" 2>/dev/null)" != "$source" ]; then
        rm -rf "$root.new"
        mkdir -p "$root.new" || return 1
        for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root.new" || return 1; done
        # gcc 14 (Debian 13's) gives the start files, and could give libc.a, DWARF 5 debug
        # sections whose ULEB128 relocations crash Debian 12's linker (binutils 2.40); the
        # probe's link needs no debugging information from them.
        for file in "$root.new/usr/lib/"*-musl*/{*.o,libc.a}; do
            "$3-objcopy" --strip-debug "$file" || return 1
        done
        # The package's Built-Using names musl's source, which dpkg cannot tell for this copy.
        echo "$source" >"$root.new/built-using"
        rm -rf "$root"
        mv "$root.new" "$root" || return 1
    fi
    echo "$source, unpacked into $root"
}
