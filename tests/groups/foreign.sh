#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Another architecture's default build, made with the plain cross configure and tested with its
# own groups through qemu-user.
# Usage: foreign.sh PROBE musl ARCH; its cross compiler and qemu-user are cmake/architectures.txt's.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$1" "$2"
arch=$3
need "${arch_compiler[$arch]}-g++" "qemu-${arch_qemu[$arch]}"
dir=$BUILD_DIR/foreign/$arch
{ "$CMAKE_COMMAND" -DSOURCE_DIR="$SOURCE_DIR" -DDIR="$dir" -DARCH="$arch" -DCONFIGURE=ON \
    -P "$SOURCE_DIR/cmake/foreign.cmake" &&
    "$(dirname "$CMAKE_COMMAND")/ctest" --test-dir "$dir" --output-on-failure \
        --output-junit junit.xml; } \
    >"$tmp/log" 2>&1 || {
    ! grep -q '^  musl not found' "$tmp/log" || skip "no musl for $arch: tests/setup.sh installs" \
        "it or, from Debian $(release_of "$arch" musl)'s packages, fetches it"
    cat "$tmp/log"
    fail "$arch: the build or one of its groups failed"
}
