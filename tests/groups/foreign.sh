#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Another architecture's default build, made with the plain cross configure and tested with its
# own groups through qemu-user.
# Usage: foreign.sh PROBE musl ARCH TRIPLET QEMU-MACHINE.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$1" "$2"
shift 2
arch=$1 triplet=$2 machine=$3
need "$triplet-g++" "qemu-$machine"
dir=$BUILD_DIR/foreign/$arch
{ "$CMAKE_COMMAND" -DSOURCE_DIR="$SOURCE_DIR" -DDIR="$dir" -DTRIPLET="$triplet" \
    -DMACHINE="$machine" -DCONFIGURE=ON -P "$SOURCE_DIR/cmake/foreign.cmake" &&
    "$(dirname "$CMAKE_COMMAND")/ctest" --test-dir "$dir" --output-on-failure; } \
    >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "$arch: the build or one of its groups failed"; }
