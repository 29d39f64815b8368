#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Under strace: the run from the query on is the query, the one write and the exit, with no
# use of standard input or output; on the native default build, the whole run as documented.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need_strace
traced "under strace"
expect_tail "under strace"
! grep -E '^(read|write|readv|writev|pread64|pwrite64)\([01],' "$tmp/trace" ||
    fail "standard input or output was used"
# A foreign build's whole run is checked on its architecture's kernel (the kernel group).
if [ ${#emulator[@]} -eq 0 ] && [ "$kind" = musl ]; then
    # musl's start-up makes two calls before main, so the whole run is known: any call that
    # creeps in fails here.
    need jq
    need_arch
    { jq -r --arg arch "$ARCH" '.architectures[$arch].run[].name' "$whole_run" &&
        echo '+++ exited with 0 +++'; } |
        diff - <(sed 's/(.*//' "$tmp/trace") || fail "the whole run is not the documented calls"
fi
