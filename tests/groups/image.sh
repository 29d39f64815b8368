#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The OCI image: reproducible, for this architecture, labelled, holding the package's binary
# alone, and named alike for OCI tools and for Docker's loader.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need umoci jq
need_arch
expect_reproducible image "$image"
mkdir "$tmp/layout" && tar -xf "$image" -C "$tmp/layout"
layout_blob() { cat "$tmp/layout/${1/sha256:/blobs/sha256/}"; }
jq -e --arg name "$name" '.manifests[0].annotations["org.opencontainers.image.ref.name"] ==
    $name' "$tmp/layout/index.json" >/dev/null || fail "the image is not named $name"
manifest=$(layout_blob "$(jq -r '.manifests[0].digest' "$tmp/layout/index.json")")
layout_blob "$(jq -r .config.digest <<<"$manifest")" | jq -e --arg arch "${arch_oci[$ARCH]%/*}" \
    --arg version "$VERSION" '.architecture == $arch and .os == "linux" and
        .config.Entrypoint == ["/linux-syslog-syscall"] and .created == "2026-12-08T00:00:00Z"
        and (.config.Labels | with_entries(.key |= ltrimstr("org.opencontainers.image.")) |
        .version == $version and .licenses == "MIT" and (.source | startswith("https://")))
    ' >/dev/null || fail "image configuration"
layer=$(jq -r '.layers[0].digest' <<<"$manifest")
[ "$(jq '.layers | length' <<<"$manifest")" = 1 ] &&
    [ "$(layout_blob "$layer" | tar -tz)" = "$(printf '.\nlinux-syslog-syscall')" ] ||
    fail "the image holds more than the binary"
# The package's binary is the install step's, stripped, as CPack runs it.
DESTDIR=$tmp/stage "$CMAKE_COMMAND" --install "$BUILD_DIR" --prefix /p --strip >/dev/null &&
    layout_blob "$layer" | tar -xzO linux-syslog-syscall | cmp -s - "$tmp/stage/p/bin/${name%:*}" ||
    fail "the image's binary is not the package's"
diff <(jq -r '.[] | .Config, .Layers[], .RepoTags[]' "$tmp/layout/manifest.json") \
    <(jq -r '.config.digest, .layers[].digest' <<<"$manifest" |
    sed 's|^sha256:|blobs/sha256/|' && echo "$name") ||
    fail "Docker's manifest.json does not name the image's blobs and name"
