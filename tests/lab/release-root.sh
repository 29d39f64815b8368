#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The suite on another supported Debian release than this machine's, in a root of that release
# made once from the mirror with mmdebstrap into the user's cache, beside the kernels, brought up
# to date when the release's index changes, and never installed into this machine. Usage:
# tests/lab/release-root.sh RELEASE [COMMAND...], RELEASE one of cmake/releases.txt (tests/run.sh
# --release RELEASE calls it). It enters the root in a mount namespace of its own, with a copy of
# the source on a tmpfs, runs tests/setup.sh and then COMMAND (by default tests/run.sh) in that
# copy, and leaves nothing mounted and nothing behind outside the cache.
set -euo pipefail
source=$(realpath "$(dirname "$0")/../..")
release=${1:-} command=("${@:2}")
[ ${#command[@]} -gt 0 ] || command=(tests/run.sh)
# The releases, and the mirrors this machine's apt uses.
# shellcheck source=SCRIPTDIR/../../packaging/debian.sh
source "$source/packaging/debian.sh"
[ -n "$release" ] && [ -n "${codename[$release]:-}" ] ||
    { echo "usage: $0 RELEASE, one of: ${releases[*]}" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || die "run as root: the root is entered with chroot and namespaces"
debian_mirrors || die "$debian_no_mirror: the other release comes from there"
suite=${codename[$release]} mirror=${debian_mirror%/} security=${debian_security%/}
[ -n "$security" ] || die "apt's sources name no Debian security mirror (a URI ending in" \
    "/debian-security/): the other release's security updates come from there"
command -v mmdebstrap >/dev/null || die "mmdebstrap is not installed (tests/setup.sh installs it)"
cache=$debian_cache dir=$debian_cache/debian-$release root=$debian_cache/debian-$release/root
mkdir -p "$dir"
# One run at a time uses or changes the root.
exec {lock}>"$dir/lock"
flock -n "$lock" || { echo "release: waiting for another run's use of $root"; flock "$lock"; }

# The release's index, its three suites' Release dates: a change means a new package somewhere.
# Each is read whole: grep's early exit would fail curl's write.
now=$(for url in "$mirror/dists/$suite"{,-updates} "$security/dists/$suite-security"; do
    file=$(curl -fsS --retry 3 "$url/InRelease") || exit
    echo "$url $(grep -m1 '^Date: ' <<<"$file")"
done) || lab_fault "cannot read $suite's index from $mirror and $security"

if [ ! -x "$root/usr/bin/apt-get" ]; then
    # As measured for Debian 13 on x86-64.
    echo "release: making a Debian $release ($suite) root in $root from $mirror, then" \
        "installing in it what the suite needs (docs/testing.md says what that downloads)"
    rm -rf "$root.new"; start=$SECONDS
    mmdebstrap --variant=minbase "$suite" "$root.new" "deb $mirror $suite main" \
        "deb $mirror $suite-updates main" "deb $security $suite-security main" ||
        { rm -rf "$root.new"; lab_fault "mmdebstrap failed"; }
    mv "$root.new" "$root"
    echo "release: the root took $((SECONDS - start)) s, $(du -sh "$root" | cut -f1)"
    echo "$now" >"$dir/index"
fi
mkdir -p "$root/src" "$root/.old" "$root/root/.cache/linux-syslog-syscall"
touch "$root/etc/resolv.conf"

# enter COMMAND...: COMMAND as root in the root, with this machine's /sys and /dev, a /proc and a
# /tmp of its own, the kernel cache shared, and at /src a copy of the source. The mount namespace
# ends with COMMAND, and every mount in it. No PID namespace: the kernel takes audit requests only
# from the first one, and the groups that start daemons end them in namespaces of their own.
enter() {
    unshare -m --propagation private bash -euo pipefail -c '
        root=$1 cache=$2 source=$3 && shift 3
        # A mount point as /, so that the groups inside can make namespaces of their own.
        mount --bind "$root" "$root"; mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"; mount --rbind /dev "$root/dev"
        mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"; mount -t tmpfs tmpfs "$root/src"
        mount --bind /etc/resolv.conf "$root/etc/resolv.conf"
        mount --bind "$cache" "$root/root/.cache/linux-syslog-syscall"
        # The source as the checkout has it, without the build trees or anything git ignores.
        if git -C "$source" rev-parse 2>/dev/null; then
            git -C "$source" ls-files -z --cached --others --exclude-standard |
                tar -C "$source" --null -T - --ignore-failed-read -c | tar -x -C "$root/src"
        else
            tar -C "$source" --exclude="./build*" -c . | tar -x -C "$root/src"
        fi
        # The root becomes the root of the namespace, that of this machine goes: under chroot (a
        # root not that of its mount namespace) no process may make a user namespace, as bwrap does.
        cd "$root"; pivot_root . .old; umount -l /.old
        exec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
            TERM="${TERM:-dumb}" CI="${CI:-}" ROUNDS="${ROUNDS:-1}" "$@"
    ' enter "$root" "$cache" "$source" "$@"
}

if [ "$(cat "$dir/index" 2>/dev/null)" != "$now" ]; then
    echo "release: $suite's index has changed since the root was made; updating it"
    enter sh -c 'apt-get update && DEBIAN_FRONTEND=noninteractive apt-get -y full-upgrade' ||
        lab_fault "cannot update the root"
    echo "$now" >"$dir/index"
fi
echo "release: the suite in Debian $release ($suite), in $root"
enter sh -c 'cd /src && tests/setup.sh && apt-get clean && echo "release: $(($(date +%s) - $1)) s" \
    "to enter and set up" && shift && exec "$@"' sh "$(date +%s)" "${command[@]}"
