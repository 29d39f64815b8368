#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# podman with crun and with runc, each with no-new-privileges and without: the engines' profile
# exact, and live (killed without syslog); the launcher's exact where it suffices.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
# shellcheck source=SCRIPTDIR/../engines.sh
source "$(dirname "$0")/../engines.sh"
need crun runc jq
own_namespaces
podman_store
load_image pm "localhost/$name"
without_syslog "$engines_profile" "$tmp/no-syslog.json"
for runtime in crun runc; do
    for nnp in "" no-new-privileges; do
        run_in() { pm run --rm --pull never --network none --runtime "$runtime" \
            ${nnp:+--security-opt "$nnp"} --security-opt "seccomp=$1" "$name"; }
        label="$runtime${nnp:+, $nnp}"
        for round in $rounds; do expect_done "$label, round $round" run_in "$engines_profile"; done
        expect_killed "$label, without syslog" run_in "$tmp/no-syslog.json"
        [ "$runtime $nnp" != "crun no-new-privileges" ] || for round in $rounds; do
            expect_done "$label, launcher's profile, round $round" run_in "$launcher_profile"
        done
    done
done
