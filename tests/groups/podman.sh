#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# podman with crun and with runc, each with no-new-privileges and without: the engines' profile
# exact, and live (killed without syslog); the launcher's exact where it suffices; the attack
# cases under each with no-new-privileges, against a control with no profile.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
# shellcheck source=SCRIPTDIR/../engines.sh
source "$(dirname "$0")/../engines.sh"
need crun runc jq
own_namespaces
podman_store
load_image pm "localhost/$name"
without_syslog "$engines_profile" "$tmp/no-syslog.json"
# run_in PROFILE [CASE...]: a container of $runtime, with no-new-privileges where $nnp names it,
# under PROFILE: the probe, or with a CASE the attack program, holding CAP_SYSLOG.
run_in() {
    local program=()
    [ $# -eq 1 ] || program=(--cap-add SYSLOG -v "$attack:/attack:ro" --entrypoint /attack)
    pm run --rm --pull never --network none --runtime "$runtime" ${nnp:+--security-opt "$nnp"} \
        "${program[@]}" --security-opt "seccomp=$1" "$name" "${@:2}"
}
for runtime in crun runc; do
    for nnp in "" no-new-privileges; do
        label="$runtime${nnp:+, $nnp}" launcher=
        for round in $rounds; do expect_done "$label, round $round" run_in "$engines_profile"; done
        expect_killed "$label, without syslog" run_in "$tmp/no-syslog.json"
        [ "$runtime $nnp" != "crun no-new-privileges" ] || launcher=yes
        [ -z "$launcher" ] || for round in $rounds; do
            expect_done "$label, launcher's profile, round $round" run_in "$launcher_profile"
        done
    done
    CONTROL=$([ "$runtime" != crun ] || echo yes) engine_attacks "$label" run_in "$launcher"
done
