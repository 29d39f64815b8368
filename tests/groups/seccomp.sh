#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shipped seccomp profiles and lists against each architecture's whole run, by libseccomp: each
# kills by default, allows each call by the name that resolves there to its number, and names only
# calls (a runtime skips one it cannot resolve, silently). The profiles cover each architecture
# (a 32-bit one also under its 64-bit machine) and, like LXC's list, pin whole-run.json's pinned
# calls to that first argument (firejail's blocks other ABIs); the launcher's is the engines'
# at most; systemd's replaces the unit's own. The sandboxes group checks further calls.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need_python_seccomp
"$python" "$SOURCE_DIR/tests/profiles.py" check "$SOURCE_DIR/policies" ||
    fail "the profiles: see above"
