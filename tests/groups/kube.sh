#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Pod manifest, played by podman with the engines' profile as its Localhost profile: exact,
# as nobody with no capability, no new privileges and a read-only root; the variant that gets an
# answer, as root with CAP_SYSLOG alone; the attack cases in the Pod, against a control in the root
# Pod with no profile. Under gVisor's runsc, exact from podman 5 on.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need crun catatonit jq
own_namespaces
podman_store
load_image group_podman "localhost/$name"
pod=$SOURCE_DIR/deploy/kubernetes/probe.yaml
grep -q "^ *image: $name\$" "$pod" || fail "the Pod's image is not $name"
mkdir "$tmp/profiles"
# kube play would take a directory named as the image (the build's binary) to build it in.
cd "$tmp" || exit 1
# play PROFILE [MANIFEST]: the Pod (or MANIFEST's), its output and status, PROFILE its Localhost
# profile, under the runtime that podman's options in runtime name.
runtime=()
play() {
    local manifest=${2:-$pod} status
    cp "$1" "$tmp/profiles/linux-syslog-syscall.json"
    group_podman "${runtime[@]}" kube play --replace --network none \
        --seccomp-profile-root "$tmp/profiles" "$manifest" >"$tmp/play" 2>&1 ||
        { cat "$tmp/play" >&2; return 125; }
    status=$(group_podman wait linux-syslog-syscall-probe) || status=125
    group_podman logs linux-syslog-syscall-probe
    group_podman inspect -f '{{.HostConfig.ReadonlyRootfs}} {{.HostConfig.SecurityOpt}}
        {{.Config.User}} {{.EffectiveCaps}}' linux-syslog-syscall-probe | xargs >"$tmp/settings"
    group_podman kube down "$manifest" >/dev/null
    return "$status"
}
for round in $rounds; do expect_done "kube play, round $round" play "$engines_profile"; done
grep -qsx 'true \[no-new-privileges\] 65534:65534 \[\]' "$tmp/settings" ||
    fail "the Pod's settings: $(cat "$tmp/settings" 2>/dev/null)"
# The Pod that gets an answer, as docs/watching.md gives it: root, with CAP_SYSLOG alone.
sed -e '/runAs/d' -e 's/drop: \[ALL\]/&\n          add: [SYSLOG]/' "$pod" >"$tmp/root.yaml"
expect_done "kube play, root with CAP_SYSLOG" play "$engines_profile" "$tmp/root.yaml"
grep -qsx 'true \[no-new-privileges\] \(0:0 \)\?\[CAP_SYSLOG\]' "$tmp/settings" ||
    fail "the answered Pod's settings: $(cat "$tmp/settings" 2>/dev/null)"
# The attack cases, as the Pod's command (the program mounted from the host): in the shipped Pod;
# the control, in the root Pod with no profile (unconfined).
attack_pod() {
    local profile=$1 manifest=$tmp/attack.yaml words from=$pod
    words=$(printf ', "%s"' "/attack" "${@:2}")
    [ "$profile" != unconfined ] || from=$tmp/root.yaml
    sed -e "s|^\( *\)image: .*|&\n\1command: [${words#, }]\n\1volumeMounts: [{name: attack, \
mountPath: /attack, readOnly: true}]|" -e "s|^  containers:|  volumes: [{name: attack, hostPath: \
{path: \"$attack\", type: File}}]\n&|" "$from" >"$manifest"
    if [ "$profile" = unconfined ]; then
        sed -i -e 's|/pod: localhost/.*|/pod: unconfined|' -e '/localhostProfile:/d' \
            -e 's/type: Localhost/type: Unconfined/' "$manifest"
        profile=$engines_profile
    fi
    play "$profile" "$manifest"
}
CONTROL=yes engine_attacks "kube play" attack_pod
# runsc, which does not apply the profile (podman.sh), runs a Pod's containers in one sandbox, the
# infra container's: podman 4.3.1 then has neither the probe's output nor its status (-1).
have_runsc || exit 0
runtime=(--runtime runsc --runtime-flag "$runsc_flag")
if [ "$(podman --version | sed 's/.* \([0-9]*\)\..*/\1/')" -ge 5 ]; then
    expect_done "kube play, runsc" play "$engines_profile"
else
    expect "kube play, runsc: podman 4 loses its output and status" 255 none play "$engines_profile"
fi
