#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The binary's hardening, from its headers: PIE, full RELRO, a non-executable stack, and no
# program interpreter or library for a static build.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need readelf
headers=$(readelf -hldW "$probe")
grep -q 'Type: *DYN' <<<"$headers" || fail "not position-independent"
grep -q 'GNU_RELRO' <<<"$headers" || fail "no RELRO segment"
grep -q 'FLAGS_1.* NOW' <<<"$headers" || fail "symbols not bound at start-up (partial RELRO)"
grep 'GNU_STACK' <<<"$headers" | grep -q ' RW ' || fail "stack is executable"
if [ "$kind" != dynamic ]; then
    ! grep -E 'INTERP|\(NEEDED\)' <<<"$headers" || fail "static build needs a loader or library"
fi
