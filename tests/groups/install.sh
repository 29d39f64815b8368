#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install with a prefix and DESTDIR: the binary runs, and the manual page carries the
# project's version and passes groff's warnings. On a machine without dpkg (hidden here), this
# build's preset configures with make, builds and installs a binary that runs exactly, with no
# test where BUILD_TESTING is off, and the package says what it needs when it is asked for.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
command -v groff >/dev/null || skip "groff is not installed to check the manual page"
DESTDIR="$tmp/stage" "$CMAKE_COMMAND" --install "$BUILD_DIR" --prefix /opt/probe >/dev/null ||
    fail "cmake --install failed"
expect_done "installed binary" "${emulator[@]}" "$tmp/stage/opt/probe/bin/linux-syslog-syscall"
page=$tmp/stage/opt/probe/share/man/man1/linux-syslog-syscall.1.gz
[ -f "$page" ] || fail "manual page not installed"
warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1) && [ -z "$warnings" ] ||
    fail "manual page: $warnings"
gzip -dc "$page" | grep -q "^\.TH .*linux\\\\-syslog\\\\-syscall $VERSION\"" ||
    fail "manual page does not carry version $VERSION"

# Natively: each dpkg program bound over by a file that cannot run, in a mount namespace of the
# case's own (of a user namespace's, unless root), and with CMake's default generator, make, where
# the presets use Ninja (which makes a command's output directory itself).
declare -A preset=([musl]=default [glibc]=glibc [dynamic]=dynamic)
[ ${#emulator[@]} -gt 0 ] || {
    unshare -m --map-root-user true 2>/dev/null || skip "no mount namespace to hide dpkg in"
    : >"$tmp/nothing"
    unshare -m --map-root-user --propagation private bash -c 'set -e
        for program in /usr/bin/dpkg*; do mount --bind "$0" "$program"; done
        ! dpkg-architecture -qDEB_HOST_ARCH 2>/dev/null
        "$1" --preset "$3" -S "$2" -B "$4" -G "Unix Makefiles" -DBUILD_TESTING=OFF &&
            "$1" --build "$4"
        [ "$("$(dirname "$1")/ctest" --test-dir "$4" -N | tail -1)" = "Total Tests: 0" ]
        DESTDIR=$4.stage "$1" --install "$4"
        ! "$1" --build "$4" --target package >"$4.package" 2>&1' "$tmp/nothing" \
        "$CMAKE_COMMAND" "$SOURCE_DIR" "${preset[$kind]}" "$tmp/no-dpkg" >"$tmp/log" 2>&1 ||
        fail "without dpkg: $(tail -5 "$tmp/log")"
    grep -q 'The package needs dpkg-dev' "$tmp/no-dpkg.package" ||
        fail "without dpkg, the package says not what it needs: $(tail -3 "$tmp/no-dpkg.package")"
    expect_done "built without dpkg" "$tmp/no-dpkg.stage/usr/local/bin/linux-syslog-syscall"
}
