#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test command: configures, builds and tests the three builds (musl, static glibc, dynamic),
# then names every test that skipped and why, so that a pass with skips is not taken for a full
# one, and every test that a fault of the lab failed. Exit status 0 only if every build and every
# test that ran passed.
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

# A group that cannot run here says "SKIP: reason", and one that a fault of the lab stopped (a
# download, an image, a root), "lab: what": CTest's JUnit report of each build tree that this run
# tested, the other architectures' included, keeps both.
said=$(find build build-glibc build-dynamic -name junit.xml -newer "$started" 2>/dev/null | sort |
    python3 -c 'import sys, xml.etree.ElementTree as tree
for path in sys.stdin.read().split():
    for case in tree.parse(path).iter("testcase"):
        said = [line for line in (case.findtext("system-out") or "").splitlines()
                if line.startswith(("SKIP: ", "lab: "))]
        if case.find("skipped") is not None or case.get("status") == "fail":
            for line in said:
                print(line.split(":")[0], "  %s: %s: %s" % (path[:-len("/junit.xml")],
                      case.get("name"), line.split(": ", 1)[1]))')
for kind in SKIP lab; do
    lines=$(sed -n "s/^$kind //p" <<<"$said")
    [ -n "$lines" ] || continue
    echo
    if [ $kind = SKIP ]; then
        echo "Skipped here, so this is not a full pass ($(grep -c . <<<"$lines") tests):"
    else
        echo "Failed for a fault of the lab, not of the probe ($(grep -c . <<<"$lines") tests):"
    fi
    echo "$lines"
    [ $kind != SKIP ] || echo "tests/setup.sh installs what they need; some need root, ptrace or" \
        "namespaces."
done
exit $status
