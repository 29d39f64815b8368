#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shipped profiles where a kernel enforces them: this architecture's Debian kernel, this
# release's or, where it has none, the other's (tests/debian.sh), booted under qemu-system, runs
# its own build and those of the other ABIs it runs. Each build runs under each profile, under it
# less each call of the build's whole run, and under a filter of that run alone. The initramfs's
# /init, kernel-init.c, makes the runs, shows the kernel's audit records and exits, which panics
# the kernel and so ends the machine.
# Usage: kernel.sh PROBE musl ARCH: ARCH's kernel, its machine and the other builds it runs as
# cmake/architectures.txt gives them.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$1" "$2"
# shellcheck source=SCRIPTDIR/../debian.sh
source "$(dirname "$0")/../debian.sh"
# shellcheck source=SCRIPTDIR/../architectures.sh
source "$(dirname "$0")/../architectures.sh"
shift 2
# debian_kernel ARCH FLAVOUR RELEASE...: unpacks into $tmp/boot the kernel image and configuration
# of the package that the first RELEASE's metapackage for FLAVOUR depends on now or, where the
# mirror does not serve that package (a security update listed before its files are there), on
# the metapackage's earlier version that the index still lists; where the mirror serves none of
# that release's, the next RELEASE's, saying so. Fetched into the user's cache and checked against
# the index at each use, by tests/debian.sh.
debian_kernel() {
    local arch=$1 flavour=$2 release package deb='' apt=()
    shift 2
    for release in "$@"; do
        debian_apt "$release" "$arch" 2>>"$tmp/apt" || continue
        # The metapackage's versions, newest first, each naming its kernel's package.
        for package in $(apt-cache "${apt[@]}" show "linux-image-$flavour" 2>/dev/null |
            sed -n 's/^Depends:.*\(linux-image-[0-9][^ ,]*\).*/\1/p' | awk '!seen[$0]++'); do
            deb=$(debian_fetch "$package" 2>>"$tmp/apt") && break 2
            [ $? -ne 2 ] || { fail "$(tail -1 "$tmp/apt")"; return 1; }
        done
        echo "$arch: no kernel of Debian $release to be had: $(tail -1 "$tmp/apt" | grep . ||
            echo "apt knows none")"
    done
    [ -n "$deb" ] || skip "no Debian $* kernel for $arch, linux-image-$flavour: $(tail -1 \
        "$tmp/apt" | grep . || echo "apt knows none (apt-get update, with $arch added)")"
    echo "$arch: Debian $release's ${deb##*/}"
    package=${deb##*/}
    package=${package%%_*}
    # The two files sit at the front of the package: tar stops there.
    dpkg-deb --fsys-tarfile "$deb" 2>/dev/null | tar -x -C "$tmp" --wildcards --occurrence \
        "./boot/config-${package#linux-image-}" "./boot/vmlinu?-${package#linux-image-}"
}
kernel=$1
# Its machine, and the builds it runs (cmake/architectures.txt).
[ "${arch_flavour[$kernel]:--}" != - ] || { fail "no Debian kernel is set up for $kernel"; exit 1; }
flavour=${arch_flavour[$kernel]} console=${arch_console[$kernel]}
read -ra machine <<<"${arch_machine[$kernel]}"
others=()
[ "${arch_runs[$kernel]}" = - ] || IFS=, read -ra others <<<"${arch_runs[$kernel]}"
abis=("$kernel" "${others[@]}")
triplet=${arch_compiler[$kernel]}
need jq cpio flock apt-cache apt-get dpkg-deb timeout "${machine[0]}" "$triplet-gcc"
need_python_seccomp
need_arch
mkdir -p "$tmp/root/filters"
for abi in "${abis[@]}"; do
    binary=$BUILD_DIR/foreign/$abi/linux-syslog-syscall
    [ "$abi" = "$ARCH" ] && binary=$probe
    [ -x "$binary" ] || skip "no $abi build at $binary"
    cp "$binary" "$tmp/root/$abi"
done
"$triplet-gcc" -static -Os -Wall -Wextra -Werror -o "$tmp/root/init" \
    "$(dirname "$0")/kernel-init.c" ||
    { fail "the init does not build for $kernel"; exit 1; }
# On this machine's own architecture the guest also loads the shipped audit rules, with this
# machine's auditctl and its libraries: each exact run must then leave its query's record.
rules=
if [ "$kernel" = "$ARCH" ]; then
    need auditctl ldd
    rules=rules
    auditctl=$(command -v auditctl)
    cp "$SOURCE_DIR/policies/audit.rules" "$tmp/root/"
    for file in "$auditctl" $(ldd "$auditctl" | grep -o '/[^ ]*'); do
        cp -L --parents "$file" "$tmp/root"
    done
    echo "rules - $auditctl -R /audit.rules" >"$tmp/root/runs"
fi
# The runs, each labelled NAME,STATUS,OUTPUT,RECORD-TYPE,ARCH,CALL-NUMBER: what it must give
# (OUTPUT: done or none), and the audit record it must leave where the kernel audits calls.
"$python" - "$SOURCE_DIR/policies" "$tmp/root" "$rules" "${abis[@]}" <<'EOF' >"$tmp/runs" ||
import glob, json, sys
policies, root, rules, builds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
sys.path.insert(0, policies + "/../packaging")
from bpf import syscall_filter
with open(policies + "/whole-run.json") as file:
    whole = json.load(file)
runs, query, kernel = whole["architectures"], whole["query"]["name"], builds[0]
native = runs[kernel]["seccomp"]
def number(build, call):
    return next(entry["number"] for entry in runs[build]["run"] if entry["name"] == call)
def run(label, profile, allow, build):
    # As a runtime loads it on this kernel, in the guest's byte order.
    try:
        bpf = syscall_filter(profile, native, allow)
    except ValueError as error:
        sys.exit(f"{label}: {error}")
    path = f"/filters/{len(glob.glob(root + '/filters/*'))}"
    with open(root + path, "wb") as file:
        bpf.export_bpf(file)
    print(label, path, "/" + build)
for path in sorted(glob.glob(policies + "/*.json")):
    with open(path) as file:
        profile = json.load(file)
    if "syscalls" not in profile:
        continue
    name = path.split("/")[-1][:-len(".json")]
    allowed = [(rule["names"], rule["action"]) for rule in profile["syscalls"]]
    for build in builds:
        calls = [entry["name"] for entry in runs[build]["run"]]
        record = f"{'1300' if rules else '-'},{runs[build]['audit']},{number(build, query)}"
        run(f"{name}:{build}:profile,0,done,{record}", profile, allowed, build)
        for index, call in enumerate(calls):
            # The first call, execve, is the init's, in the kernel's own ABI. The query is
            # followed by the write: a run killed after that has written.
            abi = kernel if index == 0 else build
            output = "done" if index > calls.index(query) + 1 else "none"
            killed = f"{128 + runs[build]['sigsys']},{output},1326,{runs[abi]['audit']}"
            less = [([n for n in names if n != call], action) for names, action in allowed]
            run(f"{name}:{build}:without-{call},{killed},{number(abi, call)}", profile, less,
                build)
        run(f"{name}:{build}:run-alone,0,done,{record}", profile, [(calls, "SCMP_ACT_ALLOW")],
            build)
EOF
    { fail "the filters cannot be made"; exit 1; }
cat "$tmp/runs" >>"$tmp/root/runs"
(cd "$tmp/root" && find . | cpio -o -H newc -R 0:0 --quiet >"$tmp/initrd") ||
    { fail "the initramfs cannot be made"; exit 1; }
# This release's kernel, or the other's where it has none or the mirror serves none of its own.
from=("$(release_of "$kernel" kernel)")
for release in "${releases[@]}"; do
    [ "$release" = "${from[0]}" ] || from+=("$release")
done
debian_kernel "$kernel" "$flavour" "${from[@]}" || exit 1
# Every record kept in the log, none lost to a queue without a daemon; on the console only the
# init's lines, which a kernel message could otherwise split; and the crypto self-tests, a
# second of an emulated boot, left out.
append="console=$console panic=-1 loglevel=1 audit=1 audit_backlog_limit=8192"
append+=" sysctl.kernel.printk_ratelimit=0"
start=$EPOCHREALTIME
timeout -k 5 60 "${machine[@]}" -kernel "$tmp"/boot/vmlinu?-* -initrd "$tmp/initrd" \
    -append "$append cryptomgr.notests" -nographic -no-reboot -monitor none -nic none \
    </dev/null >"$tmp/console" 2>&1
status=$?
echo "$kernel: the machine ran for $(awk "BEGIN { print $EPOCHREALTIME - $start }") s"
tr -d '\r' <"$tmp/console" >"$tmp/log"
if [ $status -ne 0 ] || ! grep -qx '@ end' "$tmp/log"; then
    [ $status -eq 124 ] && status="timed out after 60 s" || status="ended, status $status,"
    fail "$kernel: the machine $status before the init's end; its console:"
    tail -n 20 "$tmp/log"
    exit 1
fi
if [ -n "$rules" ]; then
    grep -q '@ rules pid=[0-9]* status=0 ' "$tmp/log" ||
        fail "the audit rules did not load: $(grep '@ rules ' "$tmp/log")"
fi
audits=$(grep -c '^CONFIG_AUDITSYSCALL=y' "$tmp"/boot/config-*)
done=$(printf 'Done.\n' | od -An -tx1 | tr -d ' \n')
# The query's arguments as audit shows them, in hex, and the rules' key.
key=$(sed -n '/^-a /s/.* -k \([^ ]*\).*/key="\1"/p' "$SOURCE_DIR/policies/audit.rules" |
    head -1)
args=$(jq -r '.query.arguments[]' "$whole_run" |
    awk '{ printf "%sa%d=%x", (NR > 1 ? " " : ""), NR - 1, $1 }')
while read -r label _; do
    IFS=, read -r name expected output type arch number <<<"$label"
    result=$(grep -F "@ $label " "$tmp/log")
    [ "$(grep -c . <<<"$result")" = 1 ] || { fail "$name: not one result: $result"; continue; }
    read -r pid status out err <<<"${result#*"@ $label "}"
    want="status=$expected out=0: err=0:"
    [ "$output" = "done" ] && want="status=$expected out=0: err=6:$done"
    [ "$status $out $err" = "$want" ] ||
        fail "$name: $status $out $err, not $want (stderr: $(printf '%b' \
            "$(sed 's/../\\x&/g' <<<"${err#*:}")"))"
    [ "$audits" = 1 ] && [ "$type" != - ] || continue
    record=$(grep "type=$type .* $pid " "$tmp/log")
    pattern=" sig=$((expected - 128)) arch=$arch syscall=$number "
    [ "$type" = 1300 ] && pattern=" arch=$arch syscall=$number success=yes .* $args .* $key"
    [ "$(grep -c . <<<"$record")" = 1 ] && grep -qE "$pattern" <<<"$record" ||
        fail "$name: the audit record is not one with$pattern: $record"
done <"$tmp/runs"
echo "$kernel: $(wc -l <"$tmp/runs") runs checked"
