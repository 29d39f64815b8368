#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test command: configures, builds and tests the three builds (musl, static glibc, dynamic),
# then names every test that skipped and why, so that a pass with skips is not taken for a full
# one. Exit status 0 only if every build and every test that ran passed.
# Usage: tests/run.sh [--booted | --release RELEASE]: --booted, the booted Debian 13 host alone
# (the default build's systemd-vm group, which takes minutes of its own); with the number of
# another supported Debian release than this machine's, the same in a root of that release
# (tests/lab/release-root.sh).
set -u
cd "$(dirname "$0")/.." || exit 1
presets=(default glibc dynamic)
case ${1:-} in
"") ;;
--booted) presets=(booted) ;;
--release)
    [ "${2:-}" = "$(. /etc/os-release && echo "$VERSION_ID")" ] || exec tests/lab/release-root.sh "${2:-}"
    ;;
*)
    echo "usage: $0 [--booted | --release RELEASE]" >&2
    exit 2
    ;;
esac
started=$(mktemp)
trap 'rm -f "$started"' EXIT
status=0
for preset in "${presets[@]}"; do
    cmake --workflow --preset "$preset" || status=1
done

# Each group prints "SKIP: reason" when it cannot run here; CTest keeps that in the build's log,
# the other architectures' builds included. Only this run's logs count.
skipped=$(find build build-glibc build-dynamic -path '*/Testing/Temporary/LastTest.log' \
    -newer "$started" 2>/dev/null | sort | while read -r log; do
    awk -v build="${log%%/Testing/*}" '/^[0-9]+\/[0-9]+ Testing: / { test = $3 }
        /^SKIP: / { sub(/^SKIP: /, ""); print "  " build ": " test ": " $0 }' "$log"
done)
if [ -n "$skipped" ]; then
    echo
    echo "Skipped here, so this is not a full pass ($(grep -c . <<<"$skipped") tests):"
    echo "$skipped"
    echo "tests/setup.sh installs what they need; some need root, ptrace or namespaces."
fi
exit $status
