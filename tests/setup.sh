#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, as root on Debian 12 or 13, that release's packages for building the probe and running
# every test, and only what is missing. Usage: tests/setup.sh [--host]
#   (none)  every architecture: adds to dpkg, saying so, the other musl architectures this release
#           has, for their cross compilers and musl; fetches the musl of those it lacks from the
#           other release into the user's cache (packaging/debian.sh); the suite then runs with
#           no skip
#   --host  this machine's architecture only: no dpkg architecture is added, and the tests of the
#           other architectures skip, saying why
# On a release it does not know it changes nothing; stopped midway, it removes the dpkg
# architectures it added. A mirror that fails some package lists mid-sync is tried again, then the
# lists that did download serve; it fails only when a needed package cannot be installed, naming it.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../packaging/debian.sh
. "$(dirname "$0")/../packaging/debian.sh"

added=()
# Whatever stops the set-up after it added a dpkg architecture, that architecture goes again.
take_back() {
    local arch
    for arch in "${added[@]}"; do
        dpkg --remove-architecture "$arch" && echo "setup: removed the dpkg architecture $arch," \
            "which this run had added" >&2 && continue
        echo "setup: the dpkg architecture $arch stays: remove its packages, then" \
            "dpkg --remove-architecture $arch" >&2
    done
}
trap '[ $? -eq 0 ] || take_back' EXIT
trap 'exit 1' HUP INT TERM
all=true
case ${1:-} in "") ;; --host) all=false ;; *) echo "usage: $0 [--host]" >&2 && exit 2 ;; esac
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
# The sandboxes group's sandboxes and containerd (python3-seccomp, above, builds bubblewrap's
# BPF) and gVisor's runsc, which the engine groups run too; the kernel group's program on the BPF
# security module's syslog hook, and its loader; systemd-vm's image of the newest release's root
# (mmdebstrap, above), booted by qemu, and the SELinux module it loads, built by the reference
# policy's Makefile (nothing of SELinux is switched on here); packaging/release.sh and the release
# group, which checks the release as its users would: the RPMs, the apt repository, the signatures.
packages+=(bubblewrap firejail lxc containerd systemd-container runsc clang libbpf-dev
    e2fsprogs qemu-system-x86 selinux-policy-dev rpm rpmlint cpio apt-utils gpg gpg-agent gpgv)
# Every other architecture's default build (cmake/architectures.txt).
native=$(dpkg --print-architecture) foreign=()
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
        grep -qx "$arch" <<<"$(dpkg --print-foreign-architectures)" && continue
        echo "setup: adding the dpkg architecture $arch, for its cross compiler and musl"
        dpkg --add-architecture "$arch" || die "cannot add the dpkg architecture $arch"
        added+=("$arch")
    done
fi

# What this release lacks, from the other release's packages, never installed: each such
# architecture's musl, fetched into the user's cache and unpacked there, for its cross build
# (packaging/debian.sh). The kernels this release lacks come the same way, fetched by their kernel
# test at its first run. A mirror that cannot serve a musl stops only that architecture's tests,
# which skip, saying so, unless an earlier copy stands in.
fetch_other_release() {
    local arch release said kept
    for arch in "${foreign[@]}"; do
        release=$(release_of "$arch" musl) kept=$debian_cache/musl/$arch/built-using
        [ "$release" != "$this_release" ] || continue
        said=$(debian_musl "$release" "$arch" "${arch_compiler[$arch]}" 2>&1) &&
            { echo "setup: $arch: musl from Debian $release: $said"; continue; }
        echo "setup: $arch: no musl from Debian $release ($said);" "$([ -f "$kept" ] && echo \
            "the copy fetched before, $(cat "$kept"), stays" || echo "its tests will skip")" >&2
    done
    for arch in "${architectures[@]}"; do
        release=$(release_of "$arch" kernel)
        [ "${arch_flavour[$arch]}" = - ] || [ "$release" = "$this_release" ] ||
            echo "setup: $arch: its kernel comes from Debian $release, at kernel-$arch's first run"
    done
}
finish() { ! $all || fetch_other_release; echo "setup: done"; exit 0; }

missing=()
for package in "${packages[@]}"; do
    [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == *'ok installed'* ]] ||
        missing+=("$package")
done
# The kernel tests look each architecture's kernel up in apt's package lists, which must be there.
lists=true
$all && for arch in "${architectures[@]}"; do
    [ "$(release_of "$arch" musl)" != "$this_release" ] ||
        compgen -G "/var/lib/apt/lists/*_binary-${arch}_Packages*" >/dev/null || lists=false
done
((${#missing[@]})) || ! $lists || { echo "setup: everything is installed already"; finish; }
[ ${#missing[@]} -eq 0 ] ||
    echo "setup: installing ${#missing[@]} packages and what they depend on: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync serves some lists at the wrong size; apt then keeps the others.
for t in 5 10 ''; do
    apt-get update && break
    [ -n "$t" ] || { echo "setup: some package lists still fail; going on with those" \
        "that downloaded" >&2; break; }
    echo "setup: some package lists failed to download; trying again in $t s" >&2 && sleep $t
done
[ ${#missing[@]} -gt 0 ] || finish
# One question for all: apt-cache reads every list again at each call where, as in containers,
# it keeps no cache of them (seconds a call).
unavailable=$(apt-cache policy "${missing[@]}" 2>/dev/null | awk -v want="${missing[*]}" '
    /^[^ ]/ { name = substr($0, 1, length($0) - 1) } /^  Candidate: [^(]/ { offered[name] }
    END { n = split(want, w, " "); for (i = 1; i <= n; i++) if (!(w[i] in offered)) s = s " " w[i]
        print substr(s, 2) }')
[ -z "$unavailable" ] ||
    die "no package list offers $unavailable: check the apt sources and the network"
apt-get install -y --no-install-recommends "${missing[@]}" ||
    die "apt-get could not install all of: ${missing[*]} (its messages above say which)"
finish
