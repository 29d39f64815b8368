#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes a release: every architecture of cmake/architectures.txt built, packaged and described,
# in one new directory, signed with the releaser's key. Usage:
#   packaging/release.sh [--key KEY] [--image REPOSITORY] [--build DIR] OUTDIR
#   --key KEY          the signing key, by fingerprint (or any name gpg takes that matches one
#                      key), its secret part in GNUPGHOME (~/.gnupg by default); without it the
#                      release is unsigned, and it says so
#   --image REPOSITORY where the image index will be pushed, REGISTRY/PATH as an image reference
#                      names it: its signatures name REPOSITORY:VERSION (by default the project's
#                      placeholder, linux-syslog-syscall.invalid/linux-syslog-syscall)
#   --build DIR        the default build's tree, configured with the default preset if it is not;
#                      the other architectures' trees are DIR/foreign/ARCH (default: build)
# OUTDIR must not exist. Everything is written into a new directory beside it, renamed to OUTDIR
# when complete, never over one that appeared meanwhile: a release that fails leaves nothing.
# Times come from SOURCE_DATE_EPOCH, by default the date of packaging/changelog.in's entry, so that
# two releases of one source are the same to the byte but for their signatures. docs/releases.md
# says what the release holds.
set -euo pipefail
# What is published is read by everyone, whatever the releaser's umask.
umask 022
source=$(realpath "$(dirname "$0")/..")
# The tables, Debian's packages and die.
# shellcheck source=SCRIPTDIR/debian.sh
source "$source/packaging/debian.sh"
usage() {
    echo "usage: $0 [--key KEY] [--image REPOSITORY] [--build DIR] OUTDIR" >&2
    exit 2
}
key='' repository=linux-syslog-syscall.invalid/linux-syslog-syscall build=$source/build out=''
while [ $# -gt 0 ]; do
    case $1 in
    --key | --image | --build) [ $# -ge 2 ] || usage ;;&
    --key) key=$2 && shift ;;
    --image) repository=$2 && shift ;;
    --build) build=$2 && shift ;;
    -*) usage ;;
    *) [ -z "$out" ] || usage && out=$1 ;;
    esac
    shift
done
[ -n "$out" ] || usage
[ ! -e "$out" ] && [ ! -L "$out" ] || die "$out exists: a release goes into a new directory"
parent=$(dirname -- "$out")
[ -d "$parent" ] && [ -w "$parent" ] || die "cannot write in $parent"
# Absolute from here on: the work below changes directory.
parent=$(realpath -- "$parent") build=$(realpath -m -- "$build")
out=$parent/$(basename -- "$out")
# A repository as image references name it: a registry the engines tell from a path (a dot, a port
# or localhost), then path components of lower-case letters and digits joined by '.', '_', '__' or
# dashes. No component is empty, '.' or '..': the path names the lookaside's directories below.
label='[a-z0-9]([a-z0-9-]*[a-z0-9])?' component='[a-z0-9]+(([._]|__|-+)[a-z0-9]+)*'
[[ $repository =~ ^$label(\.$label)*(:[0-9]+)?(/$component)+$ ]] &&
    [[ ${repository%%/*} =~ [.:]|^localhost$ ]] && [ ${#repository} -le 255 ] ||
    die "--image $repository: not a repository REGISTRY/PATH: a registry with a dot, a port or" \
        "localhost, then path components of lower-case letters and digits joined by '.', '_'," \
        "'__' or '-'"
# The date of the changelog's entry, as Debian's tools take it.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(date -d "$(sed -n 's/^ -- .*  //p' "$source/packaging/changelog.in")" +%s)
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] ||
    die "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH: not a number of seconds"
export SOURCE_DATE_EPOCH

tools=(cmake cpack dpkg dpkg-deb apt-ftparchive rpmbuild tar gzip sha256sum)
[ -z "$key" ] || tools+=(gpg rpmsign skopeo jq)
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || die "$tool is not installed (tests/setup.sh installs it)"
done

# The commit the bills of materials name, where the source is a git checkout of its own (not a
# tree unpacked inside another's), and whether the source has changes not committed to it.
commit='' changed=OFF
if top=$(git -C "$source" rev-parse --show-toplevel 2>/dev/null) && [ "$top" = "$source" ]; then
    commit=$(git -C "$source" rev-parse --verify HEAD) || die "$source: no commit to name"
    if [ -n "$(git -C "$source" --no-optional-locks status --porcelain)" ]; then
        changed=ON
        echo "release: $source has changes not committed to $commit, as its bills of materials say"
    fi
elif [ -e "$source/.git" ]; then
    die "$source is a git checkout that git cannot read: $(git -C "$source" rev-parse 2>&1)"
fi

# The key, checked before anything is written: one secret key that can sign now.
export GNUPGHOME=${GNUPGHOME:-$HOME/.gnupg}
if [ -n "$key" ]; then
    listing=$(gpg --batch --with-colons --list-secret-keys -- "$key" 2>&1) ||
        die "no secret key '$key' in $GNUPGHOME: ${listing##*gpg: }"
    [ "$(grep -c '^sec:' <<<"$listing")" -eq 1 ] ||
        die "'$key' names more than one secret key: give its fingerprint"
    # Fields: 2 validity, 7 expiry, 12 capabilities, upper case S when the key can sign now.
    IFS=: read -r _ validity _ _ _ _ expiry _ _ _ _ capabilities _ < <(grep '^sec:' <<<"$listing")
    fingerprint=$(awk -F: '/^fpr:/ { print $10; exit }' <<<"$listing")
    case $validity in
    e) die "the key $fingerprint expired on $(date -u -d "@$expiry" '+%F %T UTC')" ;;
    r) die "the key $fingerprint is revoked" ;;
    i | d | n) die "the key $fingerprint is not valid (validity '$validity')" ;;
    esac
    [[ $capabilities == *S* ]] ||
        die "the key $fingerprint cannot sign (its capabilities: $capabilities)"
    # Anything else that keeps it from signing (a passphrase no agent has, a missing card).
    said=$(gpg --batch --local-user "$fingerprint" --detach-sign -o /dev/null /dev/null 2>&1) ||
        die "the key $fingerprint cannot sign here: $said"
fi

work=$(mktemp -d "$parent/.$(basename "$out").XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
release=$work/release
mkdir -p "$release"/{pool/main,rpm,tar,sbom,image} "$work/home"
started=$SECONDS
# rpm keeps a database in HOME (~/.rpmdb on Debian 12): the work directory's, not the user's.
rpm_home() { HOME=$work/home "$@"; }

# The builds: this machine's, and the others' in its foreign/ directory through
# cmake/foreign.cmake; where this Debian release has no musl for an architecture, with the one
# tests/setup.sh unpacked in the cache. What is linked into a signed release must be the
# archive's: that copy is checked first against the archive it came from (packaging/debian.sh),
# which takes the mirror. An unsigned release vouches for nothing, and links it unchecked.
if [ ! -f "$build/CMakeCache.txt" ]; then
    (cd "$source" && cmake --preset default -B "$build" >"$work/configure.log" 2>&1) ||
        { cat "$work/configure.log"; die "cannot configure $build"; }
fi
native=$(dpkg --print-architecture)
cached=() unchecked=()
for arch in "${architectures[@]}"; do
    # Where foreign.cmake takes the cache's copy.
    [ "$arch" != "$native" ] && [ ! -e "/usr/lib/${arch_musl[$arch]}/rcrt1.o" ] &&
        [ -f "$debian_cache/musl/$arch/built-using" ] || continue
    cached+=("$debian_cache/musl/$arch/usr/lib/${arch_musl[$arch]}")
    [ -n "$key" ] || { unchecked+=("$arch") && continue; }
    said=$(debian_musl_check "$(release_of "$arch" musl)" "$arch" "${arch_compiler[$arch]}" \
        "$work/musl" 2>&1) || die "$arch: $said"
    echo "release: $arch: $said"
done
trees=()
for arch in "${architectures[@]}"; do
    if [ "$arch" = "$native" ]; then
        trees+=("$build")
        continue
    fi
    tree=$build/foreign/$arch
    trees+=("$tree")
    cmake -DSOURCE_DIR="$source" -DDIR="$tree" -DARCH="$arch" \
        -DMUSL_ROOT="$debian_cache/musl/$arch" -DTARGET=package -P "$source/cmake/foreign.cmake" \
        >"$work/build.log" 2>&1 || { cat "$work/build.log"; die "$arch: the build failed"; }
    # A tree configured before keeps the musl it was given then: the system's, or the cache's
    # copy that was taken (and checked) above.
    libdir=$(sed -n 's/^LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR:PATH=//p' "$tree/CMakeCache.txt")
    [ "$libdir" = "/usr/lib/${arch_musl[$arch]}" ] || [[ " ${cached[*]} " == *" $libdir "* ]] ||
        die "$arch: $tree links the musl in $libdir, neither the system's nor the cache's"
done
cmake --build "$build" --target package multiarch-image >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; die "the build, its package or the image failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:.*=//p' "$build/CMakeCache.txt")
url=$(sed -n 's/^LINUX_SYSLOG_SYSCALL_SOURCE_URL:.*=//p' "$build/CMakeCache.txt")
name=linux-syslog-syscall

# Each architecture: its Debian package and tarball as built, its RPM, and its bill of materials
# made from the packaged binary and the musl its package names. Copied 0644, whatever mode they
# have in the tree: a .deb made once under umask 077 stays 0600 when dpkg-deb makes it again.
for i in "${!architectures[@]}"; do
    arch=${architectures[i]} tree=${trees[i]}
    deb=$tree/${name}_${version}_$arch.deb
    [ -f "$deb" ] || die "$arch: no $deb"
    install -m 644 "$deb" "$release/pool/main/"
    install -m 644 "$tree/$name-$version-linux-$arch.tar.gz" "$release/tar/"
    rpm_home cpack -G RPM --config "$tree/CPackConfig.cmake" -B "$work/cpack" \
        >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; die "$arch: the RPM failed"; }
    install -m 644 "$work/cpack/$name-$version-1.${arch_rpm[$arch]}.rpm" "$release/rpm/"
    rm -rf "$work/cpack" "$work/unpacked"
    dpkg-deb -x "$deb" "$work/unpacked"
    cmake -DBINARY="$work/unpacked/usr/bin/$name" -DNAME=$name -DVERSION="$version" \
        -DARCH="$arch" -DBUILT_USING="$(dpkg-deb -f "$deb" Built-Using)" -DURL="$url" \
        -DCOMMIT="$commit" -DCHANGED=$changed \
        -DOUTPUT="$release/sbom/$name-$version-linux-$arch" -P "$source/packaging/sbom.cmake"
done
image=$name-$version-oci-multiarch.tar
install -m 644 "$build/$image" "$release/image/"

# The apt repository: the release directory is its root, the suite stable, one component.
(
    cd "$release"
    for arch in "${architectures[@]}"; do
        mkdir -p "dists/stable/main/binary-$arch"
        apt-ftparchive --arch "$arch" packages pool/main >"dists/stable/main/binary-$arch/Packages"
        gzip -9n -k "dists/stable/main/binary-$arch/Packages"
    done
    # Written beside, then moved in: apt-ftparchive would list a Release already there.
    field=APT::FTPArchive::Release
    date=$(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" '+%a, %d %b %Y %H:%M:%S UTC')
    apt-ftparchive -o $field::Origin=$name -o $field::Label=$name -o $field::Suite=stable \
        -o $field::Codename=stable -o $field::Components=main \
        -o "$field::Architectures=${architectures[*]}" -o "$field::Date=$date" \
        release dists/stable >"$work/Release"
    mv "$work/Release" dists/stable/Release
)

if [ -n "$key" ]; then
    gpg --batch --export "$fingerprint" >"$release/signing-key.gpg"
    gpg --batch --armor --export "$fingerprint" >"$release/signing-key.asc"
    sign() { gpg --batch --yes --local-user "$fingerprint" "$@"; }
    sign --clearsign -o "$release/dists/stable/InRelease" "$release/dists/stable/Release"
    sign --detach-sign -o "$release/dists/stable/Release.gpg" "$release/dists/stable/Release"
    # Debian 12's rpm names gpg /usr/bin/gpg2, which Debian does not ship.
    rpm_home rpmsign --define "__gpg $(command -v gpg)" --define "_gpg_path $GNUPGHOME" \
        --define "_gpg_name $fingerprint" --addsign "$release"/rpm/*.rpm </dev/null \
        >"$work/rpmsign.log" 2>&1 || { cat "$work/rpmsign.log"; die "rpmsign failed"; }
    # The image index and each architecture's manifest in it, signed for REPOSITORY:VERSION, laid
    # out for a lookaside: what a registry's configuration in registries.d points to.
    tar -xf "$release/image/$image" -C "$work" ./index.json
    index=$(jq -r '.manifests[0].digest' "$work/index.json")
    blob() { tar -xOf "$release/image/$image" "./blobs/sha256/${1#sha256:}"; }
    for digest in "$index" $(blob "$index" | jq -r '.manifests[].digest'); do
        blob "$digest" >"$work/manifest"
        signature=$release/image/sigstore/${repository#*/}@${digest/:/=}/signature-1
        mkdir -p "$(dirname "$signature")"
        skopeo standalone-sign "$work/manifest" "$repository:$version" "$fingerprint" \
            -o "$signature" || die "the image's signature failed"
    done
fi
# Every file's digest, then their signature.
(cd "$release" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
    xargs -d '\n' sha256sum -- >SHA256SUMS)
[ -z "$key" ] || sign --armor --detach-sign -o "$release/SHA256SUMS.asc" "$release/SHA256SUMS"

# Renamed, never over what is there: a plain mv would move the release into a directory OUTDIR
# that appeared meanwhile, or put it in place of an empty one. mv -n renames without replacing
# (RENAME_NOREPLACE) and, where OUTDIR is there, leaves the release where it is, on Debian 12
# with status 0.
mv -T -n -- "$release" "$out" 2>"$work/mv.log" || true
if [ -e "$release" ]; then
    [ ! -e "$out" ] && [ ! -L "$out" ] ||
        die "$out appeared while the release was made: it is left as it was, the release dropped"
    die "cannot rename the release to $out: $(cat "$work/mv.log")"
fi
files=$(find "$out" -type f | wc -l)
size=$(du -sk "$out" | cut -f1)
if [ -n "$key" ]; then
    echo "release: $out: $files files, $size KiB, in $((SECONDS - started)) s; signed by" \
        "$fingerprint, the image for $repository:$version"
else
    echo "release: $out: $files files, $size KiB, in $((SECONDS - started)) s"
    note=''
    [ ${#unchecked[@]} -eq 0 ] || note="; the cached musl of ${unchecked[*]} linked unchecked"
    echo "release: UNSIGNED: no --key was given, so nothing in it is signed: no SHA256SUMS.asc," \
        "no InRelease or Release.gpg, no RPM or image signature, no public key$note"
fi
