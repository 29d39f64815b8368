#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, as root on Debian 12 or 13, that release's packages for building the probe and running
# every test, and only what is missing. Usage: tests/setup.sh [--host]
#   (none)  every architecture: adds the other musl architectures that this release has to dpkg,
#           for their cross compilers and musl, and says so; fetches the musl of those it lacks
#           from the other release into the user's cache (tests/lab/); the suite then runs
#           with no skip
#   --host  this machine's architecture only: no dpkg architecture is added, and the tests of the
#           other architectures skip, saying why
# On a release it does not know it changes nothing. Should it stop part-way, it removes the dpkg
# architectures it added. Survives a mirror that fails some of its package lists mid-sync: it
# retries, then installs from the lists that did download, and fails only when a needed package
# truly cannot be installed, naming it.
# (grep reads from < <(...) here: in a pipe, its early exit would fail the pipe under pipefail.)
set -euo pipefail
# shellcheck source=SCRIPTDIR/../packaging/debian.sh
. "$(dirname "$0")/../packaging/debian.sh"

added=()
# Whatever stops the set-up after it added a dpkg architecture, that architecture goes again.
take_back() {
    local arch
    for arch in "${added[@]}"; do
        if dpkg --remove-architecture "$arch"; then
            echo "setup: removed the dpkg architecture $arch, which this run had added" >&2
        else
            echo "setup: the dpkg architecture $arch stays: remove its packages, then" \
                "dpkg --remove-architecture $arch" >&2
        fi
    done
}
trap '[ $? -eq 0 ] || take_back' EXIT
trap 'exit 1' HUP INT TERM
all=true
case ${1:-} in
"") ;;
--host) all=false ;;
*)
    echo "usage: $0 [--host]" >&2
    exit 2
    ;;
esac
[ "$(id -u)" -eq 0 ] || die "run as root (for instance: sudo $0 ${1:-})"
known="Debian $(sed 's/ \([^ ]*\)$/ and \1/' <<<"${releases[*]}")"
command -v apt-get >/dev/null || die "apt-get not found: this set-up is for $known"
# The release (architectures.sh's this_release) decides the package names and which
# architectures its archive has.
[ "$(. /etc/os-release 2>/dev/null && echo "${ID:-}")" = debian ] &&
    [ -n "${codename[$this_release]:-}" ] ||
    die "this set-up knows $known, not $(. /etc/os-release 2>/dev/null &&
        echo "${PRETTY_NAME:-}" || echo "this system (no /etc/os-release)"); nothing was changed"
echo "setup: Debian $this_release"

# The build; the tests on this machine (tools, policies, image, engines); the other release's
# root (mmdebstrap, curl), in which .ci/run runs the suite again.
packages=(g++ cmake ninja-build musl-dev
    strace util-linux binutils groff-base file dpkg-dev lintian jq python3 python3-seccomp auditd
    umoci skopeo crun runc podman catatonit docker.io docker-registry bpftrace mmdebstrap curl)
# Debian 13's docker.io only recommends its client.
[ "$this_release" = 12 ] || packages+=(docker-cli)
# The sandboxes group's sandboxes and containerd (python3-seccomp, above, builds bubblewrap's BPF),
# and gVisor's runtime, which the engine groups run too.
packages+=(bubblewrap firejail lxc containerd systemd-container runsc)
# The kernel group's program on the BPF security module's syslog hook, and its loader.
packages+=(clang libbpf-dev)
# The systemd-vm group: the newest release's root made with mmdebstrap (above) into an ext4
# image, booted by qemu; the SELinux module it loads there, built by the reference policy's
# Makefile (nothing of SELinux is switched on here).
packages+=(e2fsprogs qemu-system-x86 selinux-policy-dev)
# packaging/release.sh and the release group, which checks the release as its users would: the
# RPMs, the apt repository, the signatures.
packages+=(rpm rpmlint cpio apt-utils gpg gpg-agent gpgv)
# Every other architecture's default build (cmake/architectures.txt).
native=$(dpkg --print-architecture)
foreign=()
for arch in "${architectures[@]}"; do [ "$arch" = "$native" ] || foreign+=("$arch"); done
if $all; then
    # Their builds run under qemu-user, and their kernels (and this machine's) under qemu-system.
    packages+=(qemu-user qemu-system-x86 qemu-system-arm qemu-system-misc qemu-system-mips
        qemu-system-ppc cpio)
    for arch in "${foreign[@]}"; do
        packages+=("g++-${arch_compiler[$arch]}")
        # The musl of an architecture this release lacks comes from the other: see below.
        [ "$(release_of "$arch" musl)" = "$this_release" ] || continue
        packages+=("musl-dev:$arch")
        grep -qx "$arch" < <(dpkg --print-foreign-architectures) && continue
        echo "setup: adding the dpkg architecture $arch, for its cross compiler and musl"
        dpkg --add-architecture "$arch" || die "cannot add the dpkg architecture $arch"
        added+=("$arch")
    done
fi

# What this release lacks, from the other release's packages, never installed: each such
# architecture's musl, fetched into the user's cache and unpacked there, for its cross build
# (packaging/debian.sh). The kernels this release lacks come the same way, fetched by their kernel
# test at its first run.
fetch_other_release() {
    local arch release said
    for arch in "${foreign[@]}"; do
        release=$(release_of "$arch" musl)
        [ "$release" != "$this_release" ] || continue
        # A mirror that cannot serve it stops only that architecture's tests, which skip, saying so,
        # unless an earlier copy stands in.
        if said=$(debian_musl "$release" "$arch" "${arch_compiler[$arch]}" 2>&1); then
            echo "setup: $arch: musl from Debian $release: $said"
        elif [ -f "$debian_cache/musl/$arch/built-using" ]; then
            echo "setup: $arch: no musl from Debian $release ($said); the copy fetched before," \
                "$(cat "$debian_cache/musl/$arch/built-using"), stays" >&2
        else
            echo "setup: $arch: no musl from Debian $release ($said); its tests will skip" >&2
        fi
    done
    for arch in "${architectures[@]}"; do
        release=$(release_of "$arch" kernel)
        [ "${arch_flavour[$arch]}" = - ] || [ "$release" = "$this_release" ] ||
            echo "setup: $arch: its kernel comes from Debian $release, at kernel-$arch's first run"
    done
}
finish() {
    ! $all || fetch_other_release
    echo "setup: done"
    exit 0
}

missing=()
for package in "${packages[@]}"; do
    grep -q 'ok installed' < <(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) ||
        missing+=("$package")
done
# The kernel tests look each architecture's kernel up in apt's package lists, which must be there.
lists=true
if $all; then
    for arch in "${architectures[@]}"; do
        [ "$(release_of "$arch" musl)" = "$this_release" ] || continue
        compgen -G "/var/lib/apt/lists/*_binary-${arch}_Packages*" >/dev/null || lists=false
    done
fi
if [ ${#missing[@]} -eq 0 ] && $lists; then
    echo "setup: everything is installed already"
    finish
fi
[ ${#missing[@]} -eq 0 ] ||
    echo "setup: installing ${#missing[@]} packages and what they depend on: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync serves some lists at the wrong size; apt then keeps the others.
for try in 1 2 3; do
    apt-get update && break
    [ $try = 3 ] && { echo "setup: some package lists still fail; going on with those" \
        "that downloaded" >&2; break; }
    echo "setup: some package lists failed to download; trying again in $((try * 5)) s" >&2
    sleep $((try * 5))
done
[ ${#missing[@]} -gt 0 ] || finish
# One question for all: apt-cache reads every list again at each call where, as in containers,
# it keeps no cache of them (seconds a call).
offered=$(apt-cache policy "${missing[@]}" 2>/dev/null |
    awk '/^[^ ]/ { name = substr($0, 1, length($0) - 1) } /^  Candidate: [^(]/ { print name }')
unavailable=()
for package in "${missing[@]}"; do
    grep -qxF "$package" <<<"$offered" || unavailable+=("$package")
done
[ ${#unavailable[@]} -eq 0 ] ||
    die "no package list offers ${unavailable[*]}: check the apt sources and the network"
apt-get install -y --no-install-recommends "${missing[@]}" ||
    die "apt-get could not install all of: ${missing[*]} (its messages above say which)"
finish
