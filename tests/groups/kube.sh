#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Pod manifest, played by podman with the engines' profile as its Localhost profile: exact,
# with no new privileges and a read-only root; without syslog in the profile, killed.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
# shellcheck source=SCRIPTDIR/../engines.sh
source "$(dirname "$0")/../engines.sh"
need crun catatonit jq
own_namespaces
podman_store
load_image pm "localhost/$name"
without_syslog "$engines_profile" "$tmp/no-syslog.json"
pod=$SOURCE_DIR/deploy/kubernetes/probe.yaml
grep -q "^ *image: $name\$" "$pod" || fail "the Pod's image is not $name"
mkdir "$tmp/profiles"
# kube play would take a directory named as the image, here the build's binary, for the context
# to build the image in.
cd "$tmp" || exit 1
# play PROFILE: the Pod, its probe's output and status, with PROFILE as the Localhost profile.
play() {
    cp "$1" "$tmp/profiles/linux-syslog-syscall.json"
    pm kube play --replace --network none --seccomp-profile-root "$tmp/profiles" "$pod" \
        >"$tmp/play" 2>&1 || { cat "$tmp/play" >&2; return 125; }
    local status
    status=$(pm wait linux-syslog-syscall-probe) || status=125
    pm logs linux-syslog-syscall-probe
    pm inspect -f '{{.HostConfig.ReadonlyRootfs}} {{.HostConfig.SecurityOpt}}' \
        linux-syslog-syscall-probe >"$tmp/settings"
    pm kube down "$pod" >/dev/null
    return "$status"
}
for round in $rounds; do expect_done "kube play, round $round" play "$engines_profile"; done
grep -qsx 'true \[no-new-privileges\]' "$tmp/settings" ||
    fail "the Pod's settings: $(cat "$tmp/settings" 2>/dev/null)"
expect_killed "kube play without syslog" play "$tmp/no-syslog.json"
