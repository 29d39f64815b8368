# shellcheck shell=bash disable=SC2154 # the tables' names come from architectures.sh
# SPDX-License-Identifier: MIT
# Debian's packages from either release, for the pieces that this machine's release lacks: read
# from that release's own index through an apt configuration of their own in the cache, fetched
# into the cache, checked there against the index at each use, and never installed (another
# release's musl would clash with this one's: musl-dev is Multi-Arch: same, one version for every
# architecture). Sourced by the set-up, the other fetchers and the groups that need the cache or
# the mirrors; needs bash. The releases, and which of them gives each architecture's musl and
# kernel, are the table's.
# shellcheck source=/dev/null # architectures.sh, which those who source this file source too
. "$(dirname "${BASH_SOURCE[0]}")/../architectures.sh"

# The user's cache, also where HOME is unset (~ then comes from the password database).
debian_cache=${XDG_CACHE_HOME:-~/.cache}/linux-syslog-syscall
# The mirrors this machine's apt uses, for the archive and its security updates, read from its
# sources as apt-get update would fetch them: a new root has sources but no package lists yet, and
# apt names no index target before its list is there. The other release comes from the same.
# Where none is known, debian_no_mirror says why.
debian_mirror='' debian_security='' debian_no_mirror=''
if debian_mirrors=$(apt-get --print-uris update 2>&1); then
    # shellcheck disable=SC2016 # awk's fields, not the shell's
    read -r debian_mirror debian_security < <(sed -n "s|^'\(.*/\)dists/[^/]*/InRelease' .*|\1|p" \
        <<<"$debian_mirrors" | awk '/\/debian\/$/ && !main { main = $0 }
            /\/debian-security\/$/ && !security { security = $0 } END { print main, security }')
    [ -n "$debian_mirror" ] ||
        debian_no_mirror="apt's sources name no Debian mirror (a URI ending in /debian/)"
else
    debian_no_mirror="apt cannot read its sources: $(grep -m1 '^E:' <<<"$debian_mirrors")"
fi
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
    if [ -z "$debian_mirror" ]; then
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
