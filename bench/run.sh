#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures what one run of each build costs, beside /bin/true and a bare process that makes only
# the probe's three system calls by hand, and the tightest memory limits each build still runs
# exactly under, and a crun run of the default build with each shipped seccomp profile and without.
# Builds the three presets first. Prints Markdown tables. It measures the host's
# architecture only: foreign builds run under qemu, whose times say nothing of a real machine.
# Usage: bench/run.sh [RUNS]   (run as root to have the query answered; needs hyperfine, perf,
# strace, util-linux's taskset and prlimit, and for crun's table crun, umoci and jq)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-1000}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

for preset in default glibc dynamic; do
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" >/dev/null
done
g++ -std=c++20 -O2 -static -nostdlib -fno-pie -no-pie -fno-stack-protector \
    -fno-asynchronous-unwind-tables bench/bare.cpp -o "$tmp/bare"

names=('`default`: musl, static' '`glibc`: glibc, static' '`dynamic`: glibc, shared' '`/bin/true`'
    'bare process')
commands=(build/linux-syslog-syscall build-glibc/linux-syslog-syscall
    build-dynamic/linux-syslog-syscall /bin/true "$tmp/bare")

# One core, because this machine's timings otherwise drift by 10 % or more; and in five rounds,
# since hyperfine runs the commands one after another and a drift would favour one of them.
for round in 1 2 3 4 5; do
    taskset -c 1 hyperfine -N --warmup 50 --runs $((runs / 5)) --export-csv "$tmp/times$round.csv" \
        "${commands[@]}" >/dev/null 2>&1
done

# calls COMMAND: system calls from execve to exit_group, both included.
calls() { strace -o "$tmp/trace" "$1" 2>/dev/null && grep -vc '^+++' "$tmp/trace"; }
faults() {
    perf stat -x, -e page-faults -r 200 "$1" 2>&1 >/dev/null | grep page-faults | cut -d, -f1
}
# exact LIMIT=BYTES COMMAND: the run writes exactly Done.\n on stderr and exits 0 under the limit.
exact() { [ "$(prlimit "--$1" "$2" 2>&1 >/dev/null)" = Done. ]; }
# lowest KIND COMMAND: the lowest limit, to the 4 KiB page, under which the run is still exact.
lowest() {
    local low=0 high=$((64 << 20)) mid
    while [ $((high - low)) -gt 4096 ]; do
        mid=$(((low + high) / 2 / 4096 * 4096))
        if exact "$1=$mid" "$2"; then high=$mid; else low=$mid; fi
    done
    echo "$((high / 1024)) KiB"
}

echo "| build | binary | calls, execve to exit | page faults | time per run | vs bare (rounds) |"
echo "| --- | --- | --- | --- | --- | --- |"
for i in "${!commands[@]}"; do
    c=${commands[$i]}
    # hyperfine's CSV: command,mean,stddev,... in seconds, a row per command in order, the bare
    # process last. Reported: the mean over the rounds, the largest round's spread, the ratio to
    # the bare process's mean and the range of that ratio by round.
    read -r mean sd ratio < <(awk -F, -v row=$((i + 2)) -v bare=$((${#commands[@]} + 1)) '
        FNR == row { mean[FILENAME] = $2; if ($3 > sd) sd = $3 }
        FNR == bare { floor[FILENAME] = $2; total += $2 }
        END {
            for (f in mean) {
                sum += mean[f]; n++; r = mean[f] / floor[f]
                if (n == 1 || r < lo) lo = r; if (n == 1 || r > hi) hi = r
            }
            printf "%d %d %.2f_(%.2f–%.2f)\n", sum / n * 1e6 + 0.5, sd * 1e6 + 0.5, sum / total,
                lo, hi
        }' "$tmp"/times?.csv)
    echo "| ${names[$i]} | $(($(stat -L -c %s "$c") / 1024)) KiB | $(calls "$c") |" \
        "$(faults "$c") | $mean ± $sd µs | ${ratio/_/ } |"
done

echo
echo "| build | lowest --as | lowest --data |"
echo "| --- | --- | --- |"
for i in 0 1 2; do
    echo "| ${names[$i]} | $(lowest as "${commands[$i]}") | $(lowest data "${commands[$i]}") |"
done

# crun running the default build's image, with each shipped seccomp profile (as a runtime that
# takes the file loads it here) and without any; crun runs as the tests run the engines, in a
# mount namespace without the hybrid layout's cgroup v2 mount, managing no cgroup. The bundle is
# the image's, as umoci unpacks it.
cmake --build build --target image >/dev/null
mkdir "$tmp/layout" && tar -xf build/linux-syslog-syscall-*-oci.tar -C "$tmp/layout"
umoci unpack --image "$tmp/layout:$(umoci ls --layout "$tmp/layout")" "$tmp/plain" >/dev/null
jq '.process.terminal = false' "$tmp/plain/config.json" >"$tmp/config" &&
    mv "$tmp/config" "$tmp/plain/config.json"
for profile in seccomp-launcher seccomp; do
    cp -r "$tmp/plain" "$tmp/$profile"
    jq --slurpfile p "policies/$profile.json" '.linux.seccomp = ($p[0] | {defaultAction,
        syscalls: [.syscalls[] | {names, action}], architectures: [.archMap[] |
        select(.architecture == "SCMP_ARCH_X86_64") | .architecture, .subArchitectures[]]})' \
        "$tmp/plain/config.json" >"$tmp/$profile/config.json"
done
crun="crun --cgroup-manager=disabled --root $tmp/crun run -b"
unshare -m sh -c 'if mountpoint -q /sys/fs/cgroup/unified; then umount /sys/fs/cgroup/unified; fi
    exec taskset -c 1 hyperfine -N --warmup 20 --runs "$0" --export-csv "$1/crun.csv" \
        "$2 $1/plain probe" "$2 $1/seccomp-launcher probe" "$2 $1/seccomp probe"' \
    "$runs" "$tmp" "$crun" >/dev/null 2>&1
echo
echo "| crun run of the default build | time per run |"
echo "| --- | --- |"
awk -F, 'BEGIN { split("no profile,seccomp-launcher.json,seccomp.json", name, ",") }
    NR > 1 { printf "| %s | %.2f ± %.2f ms |\n", name[NR - 1], $2 * 1e3, $3 * 1e3 }' "$tmp/crun.csv"
