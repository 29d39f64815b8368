#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shipped profiles where a kernel enforces them: ARCH's Debian kernel (tests/lab/kernels.sh),
# booted under qemu-system, runs its own build and those of the other ABIs it runs
# (cmake/architectures.txt), each under each profile, under it less each call of the whole run and
# under a filter of that run alone, and the attack cases under each profile and under none. On this
# machine's architecture the query's records also show who decides it: the capability check, or a
# BPF security module. The initramfs's /init, kernel-init.c, makes the runs, prints the kernel's
# records and exits, which panics the kernel and ends the machine. Usage: kernel.sh PROBE musl ARCH
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$1" "$2"
# shellcheck source=SCRIPTDIR/../lab/kernels.sh
source "$(dirname "$0")/../lab/kernels.sh"
kernel=$3 here=$(dirname "$0") root=$tmp/root
[ "${arch_flavour[$kernel]:--}" != - ] || { fail "no Debian kernel is set up for $kernel"; exit 1; }
IFS=, read -ra abis <<<"$kernel,${arch_runs[$kernel]#-}"
triplet=${arch_compiler[$kernel]}
need jq cpio flock apt-cache apt-get dpkg-deb timeout "${arch_machine[$kernel]%% *}" "$triplet-gcc"
need_python_seccomp
need_arch
mkdir -p "$root/filters"
# Each build's probe and attack program (tests/attack.cpp).
dirs=()
for abi in "${abis[@]}"; do
    [ "$abi" = "$ARCH" ] && dir=$BUILD_DIR || dir=$BUILD_DIR/foreign/$abi
    [ -x "$dir/linux-syslog-syscall" ] && [ -x "$dir/tests/attack" ] || skip "no $abi build in $dir"
    cp "$dir/linux-syslog-syscall" "$root/$abi" && cp "$dir/tests/attack" "$root/$abi-attack"
    dirs+=("$dir")
done
"$triplet-gcc" -static -Os -Wall -Wextra -Werror -o "$root/init" "$here/kernel-init.c" ||
    lab_fault "the init does not build for $kernel"
kernel_fetch "$kernel" || exit 1
# On this machine's own architecture the guest also loads the builds' audit rules, with this
# machine's auditctl and its libraries: each exact run must then leave its query's record, which
# shows who decided it. Then the capability check: root keeping CAP_SYSLOG alone, CAP_SYS_ADMIN
# alone, neither, and root in a user namespace of its own; kernels before 6.9 also answer
# CAP_SYS_ADMIN, with a warning once. Then the BPF security module (kernel-lsm.c): the probe run
# with the program on its syslog hook, refused and told from the capability check by the program's
# own line; the program detached when the probe ends, as the next run's answer shows.
rules=
if [ "$kernel" = "$ARCH" ]; then
    need auditctl ldd clang
    [ -f /usr/include/bpf/libbpf.h ] || skip "libbpf's headers are not installed (libbpf-dev)"
    rules=rules
    cat "${dirs[@]/%//packaging/audit.rules}" >"$root/audit.rules"
    clang -target bpf -O2 -g -Wall -Werror -I"/usr/include/$triplet" -c -o "$root/lsm.o" \
        "$here/kernel-lsm.c" && "$triplet-gcc" -Os -Wall -Wextra -Werror -o "$root/kernel-lsm" \
        "$here/kernel-lsm.c" -lbpf || lab_fault "the BPF program or its loader does not build"
    auditctl=$(command -v auditctl)
    # shellcheck disable=SC2046 # ldd's paths hold no spaces
    cp -L --parents "$auditctl" $(ldd "$auditctl" "$root/kernel-lsm" | grep -o '/[^ ]* ' |
        sort -u) "$root"
    echo "rules - $auditctl -R /audit.rules" >"$root/runs"
    IFS=.- read -r _ major minor _ < <(basename "$tmp"/boot/config-*)
    sys_admin=capability_EPERM warnings=0
    [ $((major * 100 + minor)) -ge 609 ] || sys_admin=answered warnings=1
    query=$(jq -r --arg arch "$kernel" '.architectures[$arch] as $a | "\($a.audit),\(
        $a.run[] | select(.name == "syslog") | .number)"' "$whole_run")
    # shellcheck disable=SC2059 # the kernel's name and the query's record hold no %
    printf "%s:$kernel,0,done,1300,$query,%s %s /$kernel\n" capability-syslog answered caps=syslog \
        capability-sys_admin "$sys_admin" caps=sys_admin capability-none capability_EPERM caps= \
        capability-userns capability_EPERM userns bpf-lsm bpf-lsm_EPERM "- /kernel-lsm /lsm.o" \
        bpf-lsm-detached answered - >"$tmp/runs"
fi
# The runs, labelled as tests/profiles.py says (OUTPUT's spaces as _, CALL - where ABIs differ),
# and the layer that must decide the query where it is not answered.
"$python" "$SOURCE_DIR/tests/profiles.py" kernel-runs "$SOURCE_DIR/policies" "$root" \
    "$rules" "${abis[@]}" >>"$tmp/runs" || lab_fault "the filters cannot be made"
cat "$tmp/runs" >>"$root/runs"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet >"$tmp/initrd") ||
    lab_fault "the initramfs cannot be made"
# Every record kept in the log, none lost to a queue without a daemon; on the console only the
# init's lines, which a kernel message could otherwise split.
kernel_boot "$kernel" panic=-1 loglevel=1 log_buf_len=1M audit=1 audit_backlog_limit=8192 \
    sysctl.kernel.printk_ratelimit=0
status=$?
if [ $status -ne 0 ] || ! grep -qx '@ end' "$tmp/log"; then
    [ $status -eq 124 ] && status="timed out after 60 s" || status="ended, status $status,"
    lab_fault "$kernel: the machine $status before the init's end:"$'\n'"$(tail -n 20 "$tmp/log")"
fi
[ -z "$rules" ] || grep -q '@ rules pid=[0-9]* status=0 ' "$tmp/log" ||
    fail "the audit rules did not load: $(grep '@ rules ' "$tmp/log")"
audits=$(grep -c '^CONFIG_AUDITSYSCALL=y' "$tmp"/boot/config-*)
# The query's arguments as audit shows them, in hex, and the rules' key.
args=$(jq -r '.query.arguments[]' "$whole_run" | awk '{ printf " a%d=%x", NR - 1, $1 }')
key=$(sed -n '/^-a /{s/.* -k \([^ ]*\).*/key="\1"/p;q}' "$BUILD_DIR/packaging/audit.rules")
while read -r label _; do
    IFS=, read -r name expected output type arch number layer <<<"$label"
    result=$(grep -F "@ $label " "$tmp/log")
    [ "$(grep -c . <<<"$result")" = 1 ] || { fail "$name: not one result: $result"; continue; }
    read -r pid status out err <<<"${result#*"@ $label "}"
    [ "$output" = done ] && output=Done.
    [ "$output" = none ] && hex= ||
        hex=$(printf '%s\n' "${output//_/ }" | od -An -tx1 | tr -d ' \n')
    want="status=$expected out=0: err=$((${#hex} / 2)):$hex"
    [ "$status $out $err" = "$want" ] ||
        fail "$name: $status $out $err, not $want (stderr: $(printf '%b' \
            "$(sed 's/../\\x&/g' <<<"${err#*:}")"))"
    [ "$audits" = 1 ] && [ "$type" != - ] || continue
    record=$(grep "type=$type .* $pid " "$tmp/log")
    # The BPF loader's calls that load a program leave records too, without the rules' key.
    [ "$type" != 1300 ] || record=$(grep -F " $key" <<<"$record")
    pattern=" sig=$((expected - 128)) arch=$arch syscall=${number/#-/[0-9]+} "
    [ "$type" = 1300 ] && pattern=" arch=$arch syscall=$number success=.*$args .* $key"
    [ "$(grep -c . <<<"$record")" = 1 ] && grep -qE "$pattern" <<<"$record" ||
        fail "$name: the audit record is not one with$pattern: $record"
    [ "$type" = 1300 ] || continue
    decided=$(grep -E "(audit|bpf_trace_printk): .* $pid " "$tmp/log" | layer_of)
    [ -z "$layer" ] || echo "$name: $decided"
    layer=${layer:-answered}
    [ "$decided" = "${layer//_/ }" ] || fail "$name: the query $decided, not ${layer//_/ }"
done <"$tmp/runs"
warned=$(grep -c 'Attempt to access syslog with CAP_SYS_ADMIN but no CAP_SYSLOG' "$tmp/log")
[ "$warned" = "${warnings:-0}" ] ||
    fail "the kernel warned $warned times of CAP_SYS_ADMIN used for syslog"
echo "$kernel: $(wc -l <"$tmp/runs") runs checked"
