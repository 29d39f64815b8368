#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The image index of every architecture: reproducible, each platform as OCI names it; pushed to
# a registry of this group's own on 127.0.0.1 and pulled back by podman, for amd64 and arm64,
# as that architecture's image, with its binary.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need skopeo docker-registry jq
need_every_build
own_namespaces
multiarch=$BUILD_DIR/linux-syslog-syscall-$VERSION-oci-multiarch.tar
expect_reproducible multiarch-image "$multiarch"
mkdir "$tmp/index" && tar -xf "$multiarch" -C "$tmp/index"
list=$tmp/index/blobs/sha256/$(jq -r '.manifests[0].digest | ltrimstr("sha256:")' \
    "$tmp/index/index.json")
diff <(printf 'linux/%s\n' "${arch_oci[@]}" | sort) <(jq -r '.manifests[].platform |
    [.os, .architecture, .variant // empty] | join("/")' "$list" | sort) ||
    fail "the index's platforms"
start_registry
remote=$registry/$name
skopeo copy -q --all --dest-tls-verify=false "oci-archive:$multiarch" "docker://$remote" ||
    fail "the push failed"
podman_store
# binary TAR: the binary in the one layer of an architecture's image.
binary() { tar -xOf "$1" "./$(tar -xOf "$1" ./manifest.json | jq -r '.[0].Layers[0]')" |
    tar -xzO linux-syslog-syscall; }
for arch in amd64 arm64; do
    tar=$BUILD_DIR/foreign/$arch/linux-syslog-syscall-$VERSION-oci.tar
    [ "$arch" != "$ARCH" ] || tar=$image
    group_podman pull -q --tls-verify=false --arch "$arch" "$remote" >/dev/null ||
        fail "$arch: no pull"
    [ "$(group_podman image inspect -f '{{.Architecture}}' "$remote")" = "$arch" ] ||
        fail "$arch: the pulled image is not for $arch"
    root=$(group_podman image mount "$remote") &&
        binary "$tar" | cmp -s - "$root/linux-syslog-syscall" ||
        fail "$arch: the pulled image's binary is not that architecture's"
    group_podman image rm -f "$remote" >/dev/null
done
