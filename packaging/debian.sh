# shellcheck shell=bash disable=SC2154,SC2034 # the tables' names come from architectures.sh
# SPDX-License-Identifier: MIT
# Debian's packages from either release, for the pieces that this machine's release lacks (each
# architecture's musl, for its cross build; the lab's kernels): read from that release's own index
# through an apt configuration of their own in the cache, fetched into the cache, checked there
# against the index at each use, and never installed (another release's musl would clash with
# this one's: musl-dev is Multi-Arch: same, one version for every architecture). Sourced, by bash,
# by packaging/release.sh, tests/setup.sh and the lab; sourcing it runs nothing. The releases, and
# which of them gives each architecture's musl and kernel, are the tables'.
# shellcheck source=SCRIPTDIR/../cmake/architectures.sh
. "$(dirname "${BASH_SOURCE[0]}")/../cmake/architectures.sh"

# die MESSAGE...: the script stops, saying why, by its name.
die() {
    local name=${0##*/}
    echo "${name%.sh}: $*" >&2
    exit 1
}
# lab_fault MESSAGE...: what a test runs on could not be made (a download, an image, a root, a
# machine): the script stops with status 99, which says so apart from a failure of what it checks.
lab_fault() {
    echo "lab: $*" >&2
    exit 99
}
# The user's cache, also where HOME is unset (~ then comes from the password database).
debian_cache=${XDG_CACHE_HOME:-~/.cache}/linux-syslog-syscall
# debian_mirrors: sets debian_mirror and debian_security to the mirrors this machine's apt uses,
# for the archive and its security updates, read from its sources as apt-get update would fetch
# them (a new root has sources but no package lists yet, and apt names no index target before its
# list is there), once; fails where none is known, and debian_no_mirror says why. The other
# release comes from the same.
debian_mirror='' debian_security='' debian_no_mirror=''
debian_mirrors() {
    [ -z "$debian_mirror$debian_no_mirror" ] || { [ -n "$debian_mirror" ]; return; }
    local said
    if said=$(apt-get --print-uris update 2>&1); then
        # shellcheck disable=SC2016 # awk's fields, not the shell's
        read -r debian_mirror debian_security < <(sed -n \
            "s|^'\(.*/\)dists/[^/]*/InRelease' .*|\1|p" <<<"$said" |
            awk '/\/debian\/$/ && !main { main = $0 }
                /\/debian-security\/$/ && !security { security = $0 } END { print main, security }')
        [ -n "$debian_mirror" ] ||
            debian_no_mirror="apt's sources name no Debian mirror (a URI ending in /debian/)"
    else
        debian_no_mirror="apt cannot read its sources: $(grep -m1 '^E:' <<<"$said")"
    fi
    [ -n "$debian_mirror" ]
}
# debian_apt RELEASE ARCH: sets the array apt to the options under which apt reads RELEASE's
# index of ARCH alone: this machine's own package lists for its own release; for the other, lists
# of their own in the cache, with no package installed and no preference of this machine's,
# downloaded when missing or, with a third argument "update", again.
debian_apt() {
    local release=$1 arch=$2 dir
    apt=(-o APT::Architecture="$arch" -o APT::Architectures="$arch" -o Dir::Cache::pkgcache=
        -o Dir::Cache::srcpkgcache=)
    [ "$release" != "$this_release" ] || return 0
    if [ -z "${codename[$release]:-}" ]; then
        echo "Debian $release is not known" >&2
        return 1
    fi
    if ! debian_mirrors; then
        echo "$debian_no_mirror" >&2
        return 1
    fi
    dir=$debian_cache/apt/${codename[$release]}-$arch
    apt+=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/none"
        -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$dir/none"
        -o Dir::State="$dir" -o Dir::State::Lists="$dir/lists" -o Dir::State::status=/dev/null
        -o Dir::Cache="$dir")
    mkdir -p "$dir/none" "$dir/lists/partial" "$dir/archives/partial" || return 1
    # The release, its updates and its security updates, as a Debian system lists them.
    local suite=${codename[$release]}
    {
        printf "deb [arch=%s] %s main\n" "$arch" "$debian_mirror $suite" "$arch" \
            "$debian_mirror $suite-updates"
        [ -z "$debian_security" ] ||
            printf "deb [arch=%s] %s main\n" "$arch" "$debian_security $suite-security"
    } >"$dir/sources.list"
    # One update at a time: groups that start together share the lists. A suite whose list fails
    # (a mirror mid-sync) is left out, as apt leaves it out; no list at all is an error.
    if [ "${3:-}" = update ] || ! compgen -G "$dir/lists/*_Packages*" >/dev/null; then
        flock "$dir/update.lock" apt-get -q "${apt[@]}" update >"$dir/update.log" 2>&1
    fi
    compgen -G "$dir/lists/*_Packages*" >/dev/null || {
        echo "no Debian $release index of $arch from $debian_mirror: $(grep '^[WE]:' \
            "$dir/update.log" | tail -1)" >&2
        return 1
    }
}

# debian_fetch PACKAGE: the path of PACKAGE's .deb in the cache, of the newest version that the
# index in "${apt[@]}" offers and the mirror serves: an older one where a newer cannot be had
# (a suite whose index names files the mirror does not hold). Fetched once, one fetch at a time,
# and checked at each use against the index's hash: status 2 if it fails that check.
debian_fetch() {
    local fields version deb lock fetch tried=()
    # What a fetch killed mid-way left behind (one still running is younger).
    find "$debian_cache" -maxdepth 1 -name 'fetch.*' -mmin +60 -exec rm -rf {} + 2>/dev/null
    fields=$(apt-cache "${apt[@]}" show "$1" 2>/dev/null)
    local entry
    while read -r version; do
        entry=$(awk -v RS= -v version="$version" 'index($0 "\n", "\nVersion: " version "\n")' \
            <<<"$fields")
        deb=$debian_cache/$(sed -n 's|^Filename: .*/||p' <<<"$entry")
        if ! mkdir -p "$debian_cache" || ! exec {lock}>"$deb.lock" || ! flock "$lock"; then
            echo "cannot lock $deb" >&2
            return 1
        fi
        if [ ! -f "$deb" ]; then
            # Downloaded aside, apt checking the hash, and renamed: no one sees a partial file.
            fetch=$(mktemp -d "$debian_cache/fetch.XXXXXX")
            (cd "$fetch" && apt-get "${apt[@]}" download "$1=$version" </dev/null) >"$fetch/log" \
                2>&1 &&
                mv "$fetch"/*.deb "$deb" || tried+=("$version: $(grep -v '^Get:' "$fetch/log" |
                    tail -1)")
            rm -rf "$fetch"
        fi
        exec {lock}>&-
        [ -f "$deb" ] || continue
        sha256sum -c --quiet <<<"$(sed -n 's/^SHA256: //p' <<<"$entry")  $deb" >/dev/null 2>&1 ||
            { echo "$deb is not the archive's: delete it to fetch it again" >&2; return 2; }
        echo "$deb"
        return 0
    done < <(sed -n 's/^Version: //p' <<<"$fields")
    if [ ${#tried[@]} -eq 0 ]; then
        echo "no index offers $1" >&2
    else
        echo "the mirror serves no version of $1 (${tried[*]})" >&2
    fi
    return 1
}

# The musl of an architecture this machine's release lacks, unpacked into the cache, never
# installed: for the set-up, and for packaging/release.sh, which checks it against the archive
# before it links it.

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
# cache's musl/ARCH, which a cross build of ARCH links (cmake/foreign.cmake), again only when a
# newer comes; prints its source and where it is.
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
