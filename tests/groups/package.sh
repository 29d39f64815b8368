#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package and the tarball: reproducible, with the fields and files documented,
# the stripped binary running, and nothing lintian warns of.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need dpkg-deb lintian
need_arch
deb=$BUILD_DIR/linux-syslog-syscall_${VERSION}_$ARCH.deb
expect_reproducible package "$deb"
# The libc version that the dynamic build depends on is the build machine's to compute, and may
# be any Debian version: an epoch, letters, ~ and + (Debian 13's musl: 1.2.5-3.1~deb13u1).
version='([0-9]+:)?[0-9]([A-Za-z0-9.+~-]*[A-Za-z0-9.+~])?'
fields=$(dpkg-deb -f "$deb" Package Version Architecture Section Priority Depends Built-Using |
    sed -E "s/^(Depends: libc6|Built-Using: musl) \((>=|=) $version\)\$/\1/")
expected=("Package: linux-syslog-syscall" "Version: $VERSION" "Section: utils"
    "Architecture: $ARCH" "Priority: optional")
[ "$kind" = dynamic ] && expected+=("Depends: libc6")
[ "$kind" = musl ] && expected+=("Built-Using: musl")
diff <(printf '%s\n' "${expected[@]}" | sort) <(sort <<<"$fields") || fail "package fields"
# Read whole: dpkg-deb killed by a closed pipe leaves its temporary directory behind.
description=$(dpkg-deb -f "$deb" Description)
[ "$(wc -l <<<"$description")" -gt 1 ] || fail "no extended description"
declare -A carries=([musl]="static, musl" [glibc]="static, glibc" [dynamic]="shared glibc")
head -1 <<<"$description" | grep -qF "(${carries[$kind]})" ||
    fail "the summary does not say which build the package holds"
# Files only, as paths, then any entry not owned by root.
listing=$(dpkg-deb -c "$deb")
files=(usr/bin/linux-syslog-syscall usr/share/doc/linux-syslog-syscall/changelog.gz
    usr/share/doc/linux-syslog-syscall/copyright usr/share/man/man1/linux-syslog-syscall.1.gz)
policies=(audit.rules)
[ "$kind" = dynamic ] || files+=(usr/share/lintian/overrides/linux-syslog-syscall)
[ "$kind" = musl ] && policies+=(seccomp.json seccomp-launcher.json whole-run.json
    firejail.profile lxc.seccomp systemd.conf apparmor.profile linux-syslog-syscall.{te,fc})
# bubblewrap's BPF and the SELinux module, where the binding and the headers that build them were.
[ "$kind" = musl ] && "$python" -c 'import seccomp' 2>/dev/null && policies+=(seccomp-launcher.bpf)
[ "$kind" = musl ] && [ -f /usr/share/selinux/devel/Makefile ] &&
    policies+=(linux-syslog-syscall.pp)
files+=("${policies[@]/#/usr/share/linux-syslog-syscall/}")
diff <(printf './%s\n' "${files[@]}" | sort) \
    <(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort) || fail "package files"
! awk '$2 != "root/root"' <<<"$listing" | grep . || fail "files not owned by root"
tar -tzf "$BUILD_DIR/linux-syslog-syscall-$VERSION-linux-$ARCH.tar.gz" |
    grep -v '/$' | sed 's|^[^/]*/||' | sort | diff <(printf '%s\n' "${files[@]}" | sort) - ||
    fail "the tarball's files are not the package's"
dpkg-deb -x "$deb" "$tmp/root"
expect_done "packaged binary" "${emulator[@]}" "$tmp/root/usr/bin/linux-syslog-syscall"
! readelf -S "$tmp/root/usr/bin/linux-syslog-syscall" | grep -q '\.symtab' ||
    fail "packaged binary is not stripped"
lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1 ||
    fail "lintian: $(grep -v 'root privileges' "$tmp/lintian")"
