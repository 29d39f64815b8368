#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Whatever the kernel answers, made so by strace's fault injection, nothing else changes.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need_strace
for answer in error=EPERM error=ENOSYS retval=0 retval=2147483647; do
    traced "query answered $answer" -e inject=syslog:$answer
    grep -q '^syslog(0x9, 0, 0) .*(INJECTED)' "$tmp/trace" || fail "$answer was not injected"
    expect_tail "query answered $answer"
done
