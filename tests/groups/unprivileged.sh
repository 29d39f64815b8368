#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Run by a user the kernel refuses, and by root without CAP_SYSLOG: the query is refused and
# nothing else changes.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need_strace
# A copy anyone may run: the build tree can sit in a directory closed to other users.
shared_copy "$probe" probe
drop=()
if [ "$(id -u)" -eq 0 ]; then
    command -v setpriv >/dev/null || skip "setpriv is not installed to drop root"
    drop=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
expect_done "unprivileged" strace_run "${drop[@]}" "${emulator[@]}" "$shared/probe"
grep -q '^syslog(0x9, 0, 0) *= -1 EPERM' "$tmp/trace" ||
    skip "the kernel did not refuse this user's query: $(grep '^syslog(' "$tmp/trace")"
if [ "$(id -u)" -eq 0 ]; then
    # As in most containers: root, but without CAP_SYSLOG.
    expect_done "root without CAP_SYSLOG" strace_run setpriv --bounding-set=-syslog \
        --inh-caps=-syslog "${emulator[@]}" "$shared/probe"
    grep -q '^syslog(0x9, 0, 0) *= -1 EPERM' "$tmp/trace" ||
        fail "root without CAP_SYSLOG was answered: $(grep '^syslog(' "$tmp/trace")"
fi
