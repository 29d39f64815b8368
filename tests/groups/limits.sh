#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sandboxes cap memory; the start-up must not die under caps a small process meets.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need prlimit
need_strace
expect_done "address space 512 KiB, data 64 KiB" \
    strace_run prlimit --as=524288 --data=65536 "$probe"
expect_tail "address space 512 KiB, data 64 KiB"
