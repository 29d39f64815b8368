#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Closed, then open but failing: either way one write, nothing elsewhere, status 0.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
# write_result: what the completion line's write returned.
write_result() { grep -F "$write_call" "$tmp/trace" | sed 's/.* = //'; }
need_strace
strace_run "${probe_command[@]}" >"$tmp/out" 2>&-
status=$?
[[ $(write_result) == "-1 EBADF"* ]] || fail "stderr was not closed: $(write_result)"
expect_tail "stderr closed"
strace_run -e inject="${write_call%%(*}":error=EIO "${probe_command[@]}" >>"$tmp/out" 2>"$tmp/err"
status2=$?
[[ $(write_result) == "-1 EIO"*"(INJECTED)" ]] || fail "EIO was not injected: $(write_result)"
expect_tail "write failing"
for s in $status $status2; do [ "$s" -eq 0 ] || fail "failing stderr: exit status $s"; done
[ ! -s "$tmp/out" ] && [ ! -s "$tmp/err" ] || fail "failing stderr: output went elsewhere"
