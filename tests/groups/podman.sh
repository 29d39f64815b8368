#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# podman with crun and with runc, each with no-new-privileges and without: the engines' profile
# exact; the launcher's exact where it suffices; the attack cases under each with
# no-new-privileges, against a control with no profile. With gVisor's runsc: exact, the profile
# not applied unless runsc is told to, and then refused.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need crun runc jq
own_namespaces
podman_store
load_image group_podman "localhost/$name"
# run_in PROFILE [CASE...]: a container of $runtime, with no-new-privileges where $nnp names it,
# under PROFILE: the probe, or with a CASE the attack program, holding CAP_SYSLOG.
run_in() {
    local program=()
    [ $# -eq 1 ] || program=(--cap-add SYSLOG -v "$attack:/attack:ro" --entrypoint /attack)
    group_podman "${flags[@]}" run --rm --pull never --network none --runtime "$runtime" \
        ${nnp:+--security-opt "$nnp"} "${program[@]}" --security-opt "seccomp=$1" "$name" "${@:2}"
}
flags=()
for runtime in crun runc; do
    for nnp in "" no-new-privileges; do
        label="$runtime${nnp:+, $nnp}" launcher=
        for round in $rounds; do expect_done "$label, round $round" run_in "$engines_profile"; done
        [ "$runtime $nnp" != "crun no-new-privileges" ] || launcher=yes
        [ -z "$launcher" ] || for round in $rounds; do
            expect_done "$label, launcher's profile, round $round" run_in "$launcher_profile"
        done
    done
    CONTROL=$([ "$runtime" != crun ] || echo yes) engine_attacks "$label" run_in "$launcher"
done
# gVisor's runsc: the probe's calls go to gVisor's own kernel, which answers the query ENOSYS
# (sandboxes.sh watches it there). runsc applies a container's profile only with --oci-seccomp,
# and then refuses the default action of the shipped ones, SCMP_ACT_KILL_PROCESS. With
# SCMP_ACT_KILL it enforces a profile from the probe's first call on, and needs none of its own:
# the launcher's less crun's calls, the probe's run alone (execve, which gVisor makes itself,
# too), is exact, and the log's other actions killed.
have_runsc || exit 0
runtime=runsc nnp= flags=(--runtime-flag "$runsc_flag")
for round in $rounds; do expect_done "runsc, round $round" run_in "$engines_profile"; done
expect_attack "runsc, the profile not applied, syslog 10" answered run_in "$engines_profile" \
    syslog 10
flags+=(--runtime-flag oci-seccomp)
run_in "$engines_profile" 2>"$tmp/err"
status=$?
[ $status = 126 ] && grep -q 'invalid action: SCMP_ACT_KILL_PROCESS' "$tmp/err" ||
    fail "runsc --oci-seccomp: status $status, not 126 for the default action: $(cat "$tmp/err")"
jq '.defaultAction = "SCMP_ACT_KILL" |
    .syscalls |= map(.names -= ["close", "close_range"] | select(.names != []))' \
    "$launcher_profile" >"$tmp/kill.json"
expect_done "runsc --oci-seccomp, the run alone, SCMP_ACT_KILL" run_in "$tmp/kill.json"
expect_attack "runsc --oci-seccomp, the same, syslog 10" killed run_in "$tmp/kill.json" syslog 10
