#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install with a prefix and DESTDIR: the binary runs, and the manual page carries the
# project's version and passes groff's warnings.
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
