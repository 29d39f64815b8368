#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Both shipped profiles against every architecture's whole run, by libseccomp: each call allowed
# by the name that resolves there to the number listed, and the architecture covered, a 32-bit
# one also under the 64-bit machine that runs it; each call of whole-run.json's pinned allowed with
# that first argument alone (the query with action 9, the line on descriptor 2). The launcher's is
# the engines' at most, and each name is a call somewhere: a runtime skips a name it cannot
# resolve, without a word. The sandboxes' lists and systemd's drop-in likewise, by name (firejail's,
# which cannot pin, blocking the other ABIs; systemd's replacing the unit's own filter), and the
# sandboxes group checks each further call is needed.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need_python_seccomp
"$python" "$SOURCE_DIR/tests/profiles.py" check "$whole_run" "$engines_profile" \
    "$launcher_profile" "$SOURCE_DIR/policies/firejail.profile" \
    "$SOURCE_DIR/policies/lxc.seccomp" "$SOURCE_DIR/policies/systemd.conf" ||
    fail "the profiles: see above"
