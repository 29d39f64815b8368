#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The static build needs no loader, library or device: a root holding only the binary.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
mkdir "$tmp/root"
install -m 755 "$probe" "$tmp/root/probe"
if [ "$(id -u)" -eq 0 ]; then
    expect_done "empty root" chroot "$tmp/root" /probe
elif unshare -r true 2>/dev/null; then
    expect_done "empty root" unshare -r chroot "$tmp/root" /probe
else
    skip "neither root nor a user namespace to chroot in"
fi
