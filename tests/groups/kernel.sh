#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shipped profiles where a kernel enforces them: this architecture's Debian kernel, this
# release's or, where it has none, the other's (tests/lab/kernels.sh), booted under qemu-system, runs
# its own build and those of the other ABIs it runs. Each build runs under each profile, under it
# less each call of the build's whole run, and under a filter of that run alone. The initramfs's
# /init, kernel-init.c, makes the runs, shows the kernel's audit records and exits, which panics
# the kernel and so ends the machine.
# Usage: kernel.sh PROBE musl ARCH: ARCH's kernel, its machine and the other builds it runs as
# cmake/architectures.txt gives them.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$1" "$2"
# shellcheck source=SCRIPTDIR/../lab/kernels.sh
source "$(dirname "$0")/../lab/kernels.sh"
kernel=$3
# Its machine, and the builds it runs (cmake/architectures.txt).
[ "${arch_flavour[$kernel]:--}" != - ] || { fail "no Debian kernel is set up for $kernel"; exit 1; }
read -ra machine <<<"${arch_machine[$kernel]}"
others=()
[ "${arch_runs[$kernel]}" = - ] || IFS=, read -ra others <<<"${arch_runs[$kernel]}"
abis=("$kernel" "${others[@]}")
triplet=${arch_compiler[$kernel]}
need jq cpio flock apt-cache apt-get dpkg-deb timeout "${machine[0]}" "$triplet-gcc"
need_python_seccomp
need_arch
mkdir -p "$tmp/root/filters"
# Each build's probe and attack program (tests/attack.cpp).
for abi in "${abis[@]}"; do
    dir=$BUILD_DIR/foreign/$abi
    [ "$abi" != "$ARCH" ] || dir=$BUILD_DIR
    [ -x "$dir/linux-syslog-syscall" ] && [ -x "$dir/tests/attack" ] || skip "no $abi build in $dir"
    cp "$dir/linux-syslog-syscall" "$tmp/root/$abi" && cp "$dir/tests/attack" "$tmp/root/$abi-attack"
done
"$triplet-gcc" -static -Os -Wall -Wextra -Werror -o "$tmp/root/init" \
    "$(dirname "$0")/kernel-init.c" ||
    lab_fault "the init does not build for $kernel"
# On this machine's own architecture the guest also loads each build's package's audit rule, with
# this machine's auditctl and its libraries: each exact run must then leave its query's record. It
# also gets the program on the BPF security module's syslog hook and its loader (kernel-lsm.c).
rules=
if [ "$kernel" = "$ARCH" ]; then
    need auditctl ldd clang
    [ -f /usr/include/bpf/libbpf.h ] || skip "libbpf's headers are not installed (libbpf-dev)"
    rules=rules
    auditctl=$(command -v auditctl)
    for abi in "${abis[@]}"; do
        dir=$BUILD_DIR/foreign/$abi
        [ "$abi" != "$ARCH" ] || dir=$BUILD_DIR
        cat "$dir/packaging/audit.rules"
    done >"$tmp/root/audit.rules"
    lsm=$(dirname "$0")/kernel-lsm.c
    clang -target bpf -O2 -g -Wall -Werror -I"/usr/include/$triplet" -c -o "$tmp/root/lsm.o" \
        "$lsm" &&
        "$triplet-gcc" -Os -Wall -Wextra -Werror -o "$tmp/root/kernel-lsm" "$lsm" -lbpf ||
        lab_fault "the BPF program or its loader does not build"
    for file in "$auditctl" $({ ldd "$auditctl" && ldd "$tmp/root/kernel-lsm"; } |
        grep -o '/[^ ]*'); do
        cp -L --parents "$file" "$tmp/root"
    done
    echo "rules - $auditctl -R /audit.rules" >"$tmp/root/runs"
fi
# The runs, each labelled NAME,STATUS,OUTPUT,RECORD-TYPE,ARCH,CALL-NUMBER: what it must give
# (OUTPUT: done, none, or an attack case's line, spaces as _), and the audit record it must leave
# where the kernel audits calls (CALL-NUMBER - where it differs by ABI).
"$python" "$SOURCE_DIR/tests/profiles.py" kernel-runs "$SOURCE_DIR/policies" "$tmp/root" \
    "$rules" "${abis[@]}" >"$tmp/runs" || lab_fault "the filters cannot be made"
kernel_fetch "$kernel" || exit 1
# Where the query's records show the answer, the capability check on this kernel: root keeping
# CAP_SYSLOG alone, CAP_SYS_ADMIN alone, neither, and root in a user namespace of its own. Kernels
# before 6.9 also answer CAP_SYS_ADMIN, with a warning once; 6.9 dropped that.
if [ -n "$rules" ]; then
    read -r major minor < <(find "$tmp/boot" -name 'config-*' -printf '%f\n' |
        sed -E 's/config-([0-9]+)\.([0-9]+).*/\1 \2/')
    sys_admin="capability EPERM"
    [ $((major * 100 + minor)) -ge 609 ] || sys_admin=answered
    query=$(jq -r --arg arch "$kernel" '.architectures[$arch] as $a | "\($a.audit),\(
        $a.run[] | select(.name == "syslog") | .number)"' "$whole_run")
    for case in "syslog answered" "sys_admin $sys_admin" "none capability EPERM" \
        "userns capability EPERM"; do
        read -r setting layer <<<"$case"
        under=caps=${setting#none}
        [ "$setting" != userns ] || under=userns
        echo "capability-$setting:$kernel,0,done,1300,$query,${layer// /_} $under /$kernel"
    done >>"$tmp/runs"
    # The BPF security module: the probe run with the program attached, refused and told from the
    # capability check by the program's own line; the program detached when the probe ends, as
    # the next run's answer shows.
    printf '%s\n' "bpf-lsm:$kernel,0,done,1300,$query,bpf-lsm_EPERM - /kernel-lsm /lsm.o /$kernel" \
        "bpf-lsm-detached:$kernel,0,done,1300,$query,answered - /$kernel" >>"$tmp/runs"
fi
cat "$tmp/runs" >>"$tmp/root/runs"
(cd "$tmp/root" && find . | cpio -o -H newc -R 0:0 --quiet >"$tmp/initrd") ||
    lab_fault "the initramfs cannot be made"
# Every record kept in the log, none lost to a queue without a daemon; on the console only the
# init's lines, which a kernel message could otherwise split.
kernel_boot "$kernel" panic=-1 loglevel=1 log_buf_len=1M audit=1 audit_backlog_limit=8192 \
    sysctl.kernel.printk_ratelimit=0
status=$?
if [ $status -ne 0 ] || ! grep -qx '@ end' "$tmp/log"; then
    [ $status -eq 124 ] && status="timed out after 60 s" || status="ended, status $status,"
    tail -n 20 "$tmp/log"
    lab_fault "$kernel: the machine $status before the init's end (its console above)"
fi
if [ -n "$rules" ]; then
    grep -q '@ rules pid=[0-9]* status=0 ' "$tmp/log" ||
        fail "the audit rules did not load: $(grep '@ rules ' "$tmp/log")"
fi
audits=$(grep -c '^CONFIG_AUDITSYSCALL=y' "$tmp"/boot/config-*)
# The query's arguments as audit shows them, in hex, and the rules' key.
key=$(sed -n '/^-a /s/.* -k \([^ ]*\).*/key="\1"/p' "$BUILD_DIR/packaging/audit.rules" |
    head -1)
args=$(jq -r '.query.arguments[]' "$whole_run" |
    awk '{ printf "%sa%d=%x", (NR > 1 ? " " : ""), NR - 1, $1 }')
while read -r label _; do
    IFS=, read -r name expected output type arch number layer <<<"$label"
    result=$(grep -F "@ $label " "$tmp/log")
    [ "$(grep -c . <<<"$result")" = 1 ] || { fail "$name: not one result: $result"; continue; }
    read -r pid status out err <<<"${result#*"@ $label "}"
    want="status=$expected out=0: err=0:"
    [ "$output" = done ] && output=Done.
    [ "$output" = none ] || want="status=$expected out=0: err=$((${#output} + 1)):$(printf \
        '%s\n' "${output//_/ }" | od -An -tx1 | tr -d ' \n')"
    [ "$status $out $err" = "$want" ] ||
        fail "$name: $status $out $err, not $want (stderr: $(printf '%b' \
            "$(sed 's/../\\x&/g' <<<"${err#*:}")"))"
    [ "$audits" = 1 ] && [ "$type" != - ] || continue
    record=$(grep "type=$type .* $pid " "$tmp/log")
    # The BPF loader's calls that load a program leave records too, without the rules' key.
    [ "$type" != 1300 ] || record=$(grep -F " $key" <<<"$record")
    pattern=" sig=$((expected - 128)) arch=$arch syscall=${number/#-/[0-9]+} "
    [ "$type" = 1300 ] && pattern=" arch=$arch syscall=$number success=.* $args .* $key"
    [ "$(grep -c . <<<"$record")" = 1 ] && grep -qE "$pattern" <<<"$record" ||
        fail "$name: the audit record is not one with$pattern: $record"
    [ "$type" = 1300 ] || continue
    layer=${layer:-answered}
    decided=$(grep -E "(audit|bpf_trace_printk): .* $pid " "$tmp/log" | layer_of)
    [ "$decided" = "${layer//_/ }" ] || fail "$name: the query $decided, not ${layer//_/ }"
    [[ $name != capability-* && $name != bpf-lsm* ]] || echo "$name: $decided"
done <"$tmp/runs"
# The warning that kernels before 6.9 give, once, for the query answered to CAP_SYS_ADMIN alone.
if [ -n "$rules" ]; then
    warned=$(grep -c 'Attempt to access syslog with CAP_SYS_ADMIN but no CAP_SYSLOG' "$tmp/log")
    [ "$warned" = "$([ "$sys_admin" = answered ] && echo 1 || echo 0)" ] ||
        fail "the kernel warned $warned times of CAP_SYS_ADMIN used for syslog"
fi
echo "$kernel: $(wc -l <"$tmp/runs") runs checked"
