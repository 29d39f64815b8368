#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Another architecture's default build, made with the plain cross configure and tested with its
# own groups through qemu-user.
# Usage: foreign.sh PROBE musl ARCH TRIPLET QEMU-MACHINE.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$1" "$2"
# shellcheck source=SCRIPTDIR/../debian.sh
source "$(dirname "$0")/../debian.sh"
shift 2
arch=$1 triplet=$2 machine=$3
need "$triplet-g++" "qemu-$machine"
dir=$BUILD_DIR/foreign/$arch
# Its groups' directories sit in this one, TMPDIR: the user the unprivileged group runs as must
# pass through it.
chmod 711 "$tmp"
{ "$CMAKE_COMMAND" -DSOURCE_DIR="$SOURCE_DIR" -DDIR="$dir" -DARCH="$arch" -DTRIPLET="$triplet" \
    -DMACHINE="$machine" -DCONFIGURE=ON -P "$SOURCE_DIR/cmake/foreign.cmake" &&
    "$(dirname "$CMAKE_COMMAND")/ctest" --test-dir "$dir" --output-on-failure; } \
    >"$tmp/log" 2>&1 || {
    ! grep -q '^  musl not found' "$tmp/log" || skip "no musl for $arch: tests/setup.sh installs" \
        "it or, from Debian $(debian_release "$arch")'s packages, fetches it"
    cat "$tmp/log"
    fail "$arch: the build or one of its groups failed"
}
