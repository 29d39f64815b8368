#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Docker with a daemon of its own. Its default profile refuses the query itself (EPERM, the call
# never entering the kernel) but to a container with CAP_SYSLOG; the engines' profile lets it
# through to the kernel, which refuses it without CAP_SYSLOG, and kills the attack cases but one.
# gVisor's runsc, as a runtime, runs the probe exactly in a kernel of its own, unseen by bpftrace.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need dockerd containerd runc bpftrace jq
[ -x /usr/bin/docker ] || skip "Debian's docker client (docker.io) is not installed"
own_namespaces
mkdir "$tmp/docker"
# Its key would go to /etc/docker; runsc, where it is here, a runtime.
have_runsc && gvisor=$(command -v runsc) || gvisor=
jq -n --arg key "$tmp/docker/key.json" --arg runsc "$gvisor" --arg flag "$runsc_flag" \
    '{"deprecated-key-path": $key} + if $runsc == "" then {} else
        {runtimes: {runsc: {path: $runsc, runtimeArgs: ["--" + $flag]}}} end' \
    >"$tmp/docker/daemon.json"
# runsc's sandbox runs as nobody and makes its root in TMPDIR; the sockets go in the group's own
# /run, as a socket's path has room for 107 bytes, which $tmp may not leave.
mkdir -m 755 /run/gvisor
TMPDIR=/run/gvisor dockerd --config-file "$tmp/docker/daemon.json" \
    --data-root "$tmp/docker/data" --exec-root /run/docker --pidfile /run/docker.pid \
    -H unix:///run/docker.sock --storage-driver vfs --exec-opt native.cgroupdriver=cgroupfs \
    --bridge=none --iptables=false --ip6tables=false --ip-forward=false --ip-masq=false \
    --userland-proxy=false >"$tmp/docker/log" 2>&1 &
undo+=("kill $!")
group_docker() { in_time /usr/bin/docker -H unix:///run/docker.sock "$@"; }
wait_until 10 group_docker version >/dev/null 2>&1 ||
    { fail "dockerd: $(tail -3 "$tmp/docker/log")"; exit 1; }
load_image group_docker "$name"
# The documented one-liner, each line led by the container's host name to tell the runs apart,
# and the call's return, which a call refused by seccomp makes without entering.
trace_queries "$tmp/queries" 'tracepoint:syscalls:sys_enter_syslog /comm == "linux-syslog-sy"/
    { printf("%s type=%d buf=%p len=%d\n", curtask->nsproxy->uts_ns->name.nodename,
    args->type, args->buf, args->len); }
    tracepoint:syscalls:sys_exit_syslog /comm == "linux-syslog-sy"/
    { printf("%s returned %d\n", curtask->nsproxy->uts_ns->name.nodename, args->ret); }'
run_as() {
    group_docker run --rm --pull never --network none --hostname "probe-$1" "${@:2}" "$name"
}
expect_done "Docker's default profile" run_as default
expect_done "Docker's default profile, CAP_SYSLOG" run_as cap-syslog --cap-add SYSLOG
for round in $rounds; do
    expect_done "shipped profile, round $round" run_as shipped \
        --security-opt "seccomp=$engines_profile"
done
[ -z "$gvisor" ] || for round in $rounds; do
    expect_done "runsc, round $round" run_as gvisor --runtime runsc \
        --security-opt "seccomp=$engines_profile"
done
stop_tracing
# attack_in PROFILE CASE...: the attack program in a container under PROFILE, with CAP_SYSLOG.
attack_in() {
    group_docker run --rm --pull never --network none --cap-add SYSLOG -v "$attack:/attack:ro" \
        --entrypoint /attack --security-opt "seccomp=$1" "$name" "${@:2}"
}
CONTROL=yes engine_attacks Docker attack_in
# Under runsc the host's kernel never runs the probe's calls: no event is the probe's.
query='type=9 buf=(nil) len=0'
{ printf '%s\n' "probe-default returned -1" "probe-cap-syslog $query" \
    "probe-cap-syslog returned a count"
    for round in $rounds; do printf '%s\n' "probe-shipped $query" "probe-shipped returned -1"
    done
} | sort | diff - <(grep '^probe-' "$tmp/queries" |
    sed -E 's/returned [0-9]+$/returned a count/' | sort) ||
    fail "the queries as bpftrace saw them: $(cat "$tmp/queries")"
