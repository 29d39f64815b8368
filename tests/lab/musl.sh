# shellcheck shell=bash disable=SC2154,SC2034 # packages.sh, sourced first, sets and reads apt
# SPDX-License-Identifier: MIT
# The musl of an architecture this machine's release lacks, from another release's packages
# (packages.sh), unpacked into the cache, never installed. Sourced by tests/setup.sh, and by
# packaging/release.sh, which checks the cache against the archive before it links it.

# musl_unpack ROOT TRIPLET DEB...: the packages DEB..., musl-dev's first, unpacked into the new
# directory ROOT as the build links them. TRIPLET-objcopy, of the cross compiler, strips them.
musl_unpack() {
    local root=$1 triplet=$2 deb file
    shift 2
    mkdir -p "$root" || return 1
    for deb; do dpkg-deb -x "$deb" "$root" || return 1; done
    # gcc 14 (Debian 13's) gives the start files, and could give libc.a, DWARF 5 debug sections
    # whose ULEB128 relocations crash Debian 12's linker (binutils 2.40); the probe's link needs no
    # debugging information from them.
    for file in "$root/usr/lib/"*-musl*/{*.o,libc.a}; do
        "$triplet-objcopy" --strip-debug "$file" || return 1
    done
    # The package's Built-Using names musl's source, which dpkg cannot tell for this copy.
    # shellcheck disable=SC2016 # dpkg's fields, not the shell's
    dpkg-deb -W --showformat='${source:Package} (= ${source:Version})\n' "$1" >"$root/built-using"
}

# debian_musl RELEASE ARCH TRIPLET: RELEASE's musl for ARCH, musl-dev and musl, unpacked into the
# cache's musl/ARCH, which the foreign group gives its cross build, again only when a newer comes;
# prints its source and where it is.
debian_musl() {
    local apt=() package deb debs=() root=$debian_cache/musl/$2 source
    debian_apt "$1" "$2" update || return 1
    for package in musl-dev musl; do
        deb=$(debian_fetch "$package") || return 1
        debs+=("$deb")
    done
    # shellcheck disable=SC2016 # dpkg's fields, not the shell's
    source=$(dpkg-deb -W --showformat='${source:Package} (= ${source:Version})' "${debs[0]}")
    if [ "$(cat "$root/built-using" 2>/dev/null)" != "$source" ]; then
        rm -rf "$root.new"
        musl_unpack "$root.new" "$3" "${debs[@]}" || return 1
        rm -rf "$root"
        mv "$root.new" "$root" || return 1
    fi
    echo "$source, unpacked into $root"
}

# debian_musl_check RELEASE ARCH TRIPLET DIR: whether the cache's musl/ARCH is, file for file,
# RELEASE's musl as its archive offers it now; names what differs. Each suite's InRelease is
# fetched again into DIR, where apt checks its signature (apt checks the lists it holds only as it
# fetches them, and fetches none again whose InRelease is unchanged), once for every architecture
# of RELEASE checked with that DIR. The cached lists are checked against those, the cached packages
# against the lists (debian_fetch), and the packages unpacked into DIR as debian_musl unpacks them.
# About 230 kB from the mirror, the lists again (apt-get update) only where the archive has
# changed since they came.
debian_musl_check() {
    local release=$1 arch=$2 dir=$4 root=$debian_cache/musl/$2 apt=() update=() lists list suite
    local index want got package deb debs=() differ fetched=$4/lists-$1
    while :; do
        debian_apt "$release" "$arch" "${update[@]}" || return 1
        lists=$debian_cache/apt/${codename[$release]}-$arch/lists
        if [ ${#update[@]} -gt 0 ] || ! compgen -G "$fetched/*_InRelease" >/dev/null; then
            rm -rf "$fetched" && mkdir -p "$fetched/partial" || return 1
            apt-get -q "${apt[@]}" -o Dir::State::Lists="$fetched" \
                -o Acquire::IndexTargets::deb::Packages::DefaultEnabled=false update \
                >"$dir/update.log" 2>&1 || { echo "cannot fetch Debian $release's InRelease:" \
                "$(grep '^[WE]:' "$dir/update.log" | tail -1)"; return 1; }
        fi
        differ=''
        for list in "$lists"/*_Packages*; do
            suite=${list##*_dists_} suite=${suite%%_*}
            index=$(compgen -G "$fetched/*_dists_${suite}_InRelease") || index=/dev/null
            want=$(awk -v path="main/binary-$arch/Packages" '/^SHA256:/ { hashes = 1; next }
                /^[^ ]/ { hashes = 0 } hashes && $3 == path { print $1 }' "$index")
            got=$(/usr/lib/apt/apt-helper cat-file "$list" | sha256sum | cut -d' ' -f1)
            [ -n "$want" ] && [ "$want" = "$got" ] || differ+=" $list"
        done
        # Once more with the cache's lists brought up to date: the archive may have changed since
        # they came.
        if [ -z "$differ" ] || [ ${#update[@]} -gt 0 ]; then break; fi
        update=(update)
    done
    [ -z "$differ" ] ||
        { echo "not the lists Debian $release's InRelease names:$differ; delete them"; return 2; }
    # One package cache for both look-ups, in DIR: apt reads the lists once.
    apt+=(-o Dir::Cache::pkgcache="$dir/pkgcache-$arch.bin")
    for package in musl-dev musl; do
        deb=$(debian_fetch "$package") || return
        debs+=("$deb")
    done
    rm -rf "$dir/musl-$arch" && musl_unpack "$dir/musl-$arch" "$3" "${debs[@]}" || return 1
    if ! cmp -s "$dir/musl-$arch/built-using" "$root/built-using"; then
        echo "$root holds $(cat "$root/built-using"), Debian $release offers" \
            "$(cat "$dir/musl-$arch/built-using"): tests/setup.sh fetches that"
        return 2
    fi
    # Each path that differs, by content, type or link target, or is in one tree alone.
    differ=$(diff -rq --no-dereference "$dir/musl-$arch" "$root" 2>&1 |
        awk -v a="$dir/musl-$arch" -v b="$root" '
        function path(p) {
            if (index(p, a) == 1) p = substr(p, length(a) + 1)
            else if (index(p, b) == 1) p = substr(p, length(b) + 1)
            sub(/^\//, "", p)
            return p
        }
        /^Only in / { d = substr($0, 9); sub(/: .*/, "", d); n = substr($0, 9 + length(d) + 2)
            d = path(d); print (d == "" ? n : d "/" n); next }
        /^Files |^File / { print path($2); next }
        /^Symbolic links / { print path($3); next }
        { print }' | paste -sd' ')
    [ -z "$differ" ] || {
        echo "$root differs from $(cat "$root/built-using") as Debian $release's archive offers" \
            "it, in: $differ; delete $root and run tests/setup.sh"
        return 2
    }
    echo "$(cat "$root/built-using") in $root, as Debian $release's archive offers it"
}
