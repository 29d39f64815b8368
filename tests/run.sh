#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test command: configures, builds and tests the three builds (musl, static glibc, dynamic),
# then names each test that skipped and why, so that a pass with skips is not taken for a full
# one, and each that a fault of the lab failed; status 0 only if every build and test passed.
# Usage: tests/run.sh [--booted | --release RELEASE]: the booted Debian 13 host alone (systemd-vm);
# or the same as without, in a root of another supported release (tests/lab/release-root.sh).
set -u
cd "$(dirname "$0")/.." || exit 1
presets=(default glibc dynamic)
case ${1:-} in
"") ;;
--booted) presets=(booted) ;;
--release)
    [ "${2:-}" = "$(. /etc/os-release && echo "$VERSION_ID")" ] ||
        exec tests/lab/release-root.sh "${2:-}"
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

# A group that cannot run here says "SKIP: reason", one that a fault of the lab stopped (a
# download, an image, a root) "lab: what": CTest's JUnit report of each tree tested keeps both.
find build build-glibc build-dynamic -name junit.xml -newer "$started" 2>/dev/null | sort |
    python3 -c 'import sys, xml.etree.ElementTree as tree
said = {"SKIP": [], "lab": []}
for path in sys.stdin.read().split():
    for case in tree.parse(path).iter("testcase"):
        name = case.get("name")
        if case.find("skipped") is not None or case.get("status") == "fail":
            for line in (case.findtext("system-out") or "").splitlines():
                kind, _, why = line.partition(": ")
                if kind in said and why:
                    said[kind].append(f"  {path[:-10]}: {name}: {why}")
for kind, head in ("SKIP", "Skipped here, so this is not a full pass"), ("lab", "Failed for a "
        "fault of the lab, not of the probe"):
    if said[kind]:
        print(f"\n{head} ({len(said[kind])} tests):", *said[kind], sep="\n")
        if kind == "SKIP":
            print("tests/setup.sh installs what they need; some need root, ptrace or namespaces.")'
exit $status
