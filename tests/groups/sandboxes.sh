#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The sandboxes that confine one program, and containerd, each with the package's policy in its own
# form: exact ROUNDS times in a row; the attack cases under it, beside a control without it; no
# call in a list that its sandbox does not need; and with each policy and with none, which layer
# refuses the query, as bpftrace sees it (systemd-nspawn, which can only refuse, also under its own
# filter option). gVisor's runsc do, whose own kernel answers the query, as its own strace shows.
# shellcheck source=SCRIPTDIR/../lib.sh disable=SC2016,SC2034 # the cases expand when they run
source "$(dirname "$0")/../lib.sh" "$@"
need bwrap firejail lxc-execute lxc-start containerd ctr runc systemd-nspawn runsc bpftrace jq
need_python_seccomp && need_arch
bpf=$BUILD_DIR/packaging/seccomp-launcher.bpf
[ -f "$bpf" ] || skip "no $bpf: configure found no python3 with libseccomp's binding"
# firejail takes a PID namespace without kernel threads for a sandbox it already runs in, and then
# confines nothing; named a container in PID 1's environment, it sandboxes there.
container=lxc own_namespaces

# In the group's own /run: LXC's and containerd's sockets want short paths, firejail's default
# profile hides /tmp. The root holds a copy of the program per case, named as the case: its comm.
s=/run/s root=/run/s/root c=/run/s/ctr n=0 layers=()
mkdir -p "$s"/{ctr,lxc,policy,gvisor/log} "$root"/{usr,proc,sys,dev}
# The policies as shipped; nspawn's, its options: its allowlist lets syslog through to a container
# with CAP_SYSLOG alone, and refuses what its filter option takes out.
cd "$s/policy" && cp "$bpf" bwrap && cp "$SOURCE_DIR/policies/firejail.profile" firejail &&
    cp "$SOURCE_DIR/policies/lxc.seccomp" lxc && cp "$engines_profile" ctr || exit 1
echo --capability=CAP_SYSLOG >nspawn && echo "$(<nspawn) --system-call-filter=~syslog" >nspawn-deny

printf '%s\n' 'version = 2' "root = \"$c/root\"" "state = \"$c/state\"" \
    'disabled_plugins = ["io.containerd.grpc.v1.cri"]' '[grpc]' "address = \"$c/sock\"" '[ttrpc]' \
    "address = \"$c/ttrpc\"" '[debug]' 'address = ""' '[metrics]' 'address = ""' >"$c/config.toml"
containerd -c "$c/config.toml" >"$c/log" 2>&1 &
undo+=("kill $!")
wait_until 10 in_time ctr -a "$c/sock" version >/dev/null 2>&1 ||
    { fail "containerd: $(tail -3 "$c/log")"; exit 1; }
# LXC with Debian's common configuration (whose list refuses nothing the probe calls, and keeps
# CAP_SYSLOG), and no network, console or devices to set up.
printf '%s\n' 'lxc.include = /usr/share/lxc/config/common.conf' "lxc.rootfs.path = dir:$root" \
    'lxc.autodev = 1' 'lxc.net.0.type = empty' 'lxc.console.path = none' 'lxc.tty.max = 0' \
    'lxc.pty.max = 0' 'lxc.apparmor.profile = unconfined' >"$s/lxc.conf"

trace_queries "$s/queries" 'tracepoint:syscalls:sys_enter_syslog { printf("%s enter\n", comm); }
    tracepoint:syscalls:sys_exit_syslog { printf("%s exit %d\n", comm, args->ret); }'

# Each case, exact, ROUNDS times with a policy: a label; its policy, or -; who decides the query
# (seccomp, kernel, nobody: answered, gvisor: gVisor's kernel); the command, $p program, $f policy.
bwrap=(bwrap --ro-bind "$root" /) ctr=(ctr -a "$c/sock" run --rm --fifo-dir "$c" --rootfs)
lxc=(-P "$s/lxc" -f "$s/lxc.conf" -l INFO -o "$s/lxc.log" -n)
nspawn=(systemd-nspawn -q --register=no --keep-unit --console=pipe -D "$root")
# runsc's sandbox runs as nobody, and makes its root in TMPDIR.
runsc=(env "TMPDIR=$s/gvisor" runsc --root "$s/gvisor/state" "--$runsc_flag")
cases=(
    'bwrap        bwrap       kernel  ${bwrap[@]} --unshare-all --as-pid-1 --seccomp 3 $p 3<$f'
    'bwrap-def    -           nobody  ${bwrap[@]} $p'
    'firejail     firejail    nobody  firejail --profile=$f $root$p'
    'firejail-def -           seccomp firejail --quiet $root$p'
    'lxc          lxc         nobody  lxc-execute ${lxc[@]} $n -s lxc.seccomp.profile=$f $p'
    'lxc-start    lxc         nobody  lxc-start -F ${lxc[@]} $n -s lxc.seccomp.profile=$f $p'
    'lxc-def      -           nobody  lxc-execute ${lxc[@]} $n $p'
    'ctr          ctr         kernel  ${ctr[@]} --seccomp --seccomp-profile $f $root $n $p'
    'ctr-def      -           kernel  ${ctr[@]} $root $n $p'
    'ctr-seccomp  -           seccomp ${ctr[@]} --seccomp $root $n $p'
    'nspawn       nspawn      nobody  ${nspawn[@]} $(<$f) $p'
    'nspawn-deny  nspawn-deny seccomp ${nspawn[@]} $(<$f) $p'
    'nspawn-def   -           seccomp ${nspawn[@]} $p'
    'runsc        -           gvisor  ${runsc[@]} do -root $root $p'
)
# run LABEL POLICY COMMAND: COMMAND on a copy of the probe (or $program) named LABEL.
run() {
    local p=/$1 f=$s/policy/$2 && n=$((n + 1))
    [ -x "$root$p" ] || install -m 755 "${program:-$probe}" "$root$p"
    eval "in_time $3" </dev/null
}
# bpftrace's events of each layer: seccomp refuses before the call enters, the kernel after;
# under gVisor the host's kernel sees none of the probe's calls.
declare -A seen=([seccomp]="exit -1" [kernel]="enter exit -1" [nobody]="enter exit count"
    [gvisor]="")
for case in "${cases[@]}"; do
    read -r label policy layer command <<<"$case"
    count=${ROUNDS:-1} start=${EPOCHREALTIME/./} && [ "$policy" != - ] || count=1
    for round in $(seq "$count"); do
        expect_done "$label, round $round" run "$label" "$policy" "$command"
    done
    [ "$policy" = - ] || echo "$label: $(((${EPOCHREALTIME/./} - start) / 1000 / count)) ms a run"
    layers+=("$label $layer $count")
done

# The attack cases under each sandbox's policy and, the control, without it, with CAP_SYSLOG. A
# name-only list (firejail's) cannot pin the action; a list with the sandbox's own calls allows
# them to the program too (openat: LXC's, runc's).
with=('${bwrap[@]} --unshare-pid --as-pid-1 --seccomp 3 $p $a 3<$f'
    'firejail --profile=$f $root$p $a' 'lxc-execute ${lxc[@]} $n -s lxc.seccomp.profile=$f $p $a'
    '${ctr[@]} --seccomp --seccomp-profile $f --cap-add CAP_SYSLOG $root $n $p $a')
without=('${bwrap[@]} $p $a' 'firejail --noprofile --quiet $root$p $a'
    'lxc-execute ${lxc[@]} $n $p $a' '${ctr[@]} --cap-add CAP_SYSLOG $root $n $p $a')
policies=(bwrap firejail lxc ctr)
#        case              bwrap  firejail lxc      ctr      control
attacks='syslog 3          killed answered killed   killed   answered
         syslog 10         killed answered killed   killed   answered
         open /            killed killed   answered answered answered
         connect /nothing  killed killed   killed   killed   refused_ENOENT'
for i in "${!policies[@]}"; do
    while read -r -a o; do
        a="${o[*]:0:2}" label=${a% /*} label=${policies[i]}-attack-${label/ /-} program=$attack
        expect_attack "$label" "${o[i + 2]//_/ }" run "$label" "${policies[i]}" "${with[i]}"
        expect_attack "$label, control" "${o[6]//_/ }" run "$label" - "${without[i]}"
    done <<<"$attacks"
done
# lxc-start -F exits 0 when the filter kills its program: its log alone says so.
: >"$s/lxc.log"
a="syslog 3" expect "lxc-start-attack-syslog-3" 0 none run lxc-start-attack lxc \
    'lxc-start -F ${lxc[@]} $n -s lxc.seccomp.profile=$f $p $a'
grep -q 'ended on signal .*(31)' "$s/lxc.log" || fail "lxc-start: no SIGSYS in LXC's log"
unset program

# runsc's strace: the probe's run after execve (gVisor loads the program itself), the query
# answered ENOSYS (gVisor has the log's reads alone); the host's strace -f keeps it from starting.
expect_done "runsc, its strace" run runsc-strace - \
    '${runsc[@]} --strace --debug-log=$s/gvisor/log/ do -root $root $p'
calls=$(sed -n 's/.*\] runsc-strace E \([a-z0-9_]*\)(.*/\1/p' "$s"/gvisor/log/*boot* | xargs)
run=$(jq -r ".architectures.$ARCH.run[].name | select(. != \"execve\")" "$whole_run" | xargs)
[ "$calls" = "$run" ] || fail "runsc's strace: the run is $calls, not $run"
grep -q '\] runsc-strace X syslog(0x9, 0x0, 0x0) = 0 (0x0) errno=38 ' "$s"/gvisor/log/*boot* ||
    fail "runsc's strace: not the query answered ENOSYS: $(grep -h syslog "$s"/gvisor/log/*boot*)"
expect "runsc under strace -f" 128 "creating container: cannot create sandbox: cannot read client \
sync file: waiting for sandbox to start: EOF" run runsc-traced - \
    'strace -f -o $s/gvisor/trace ${runsc[@]} do -root $root $p'

# No more than the sandbox needs: without each call a list allows beyond the probe's run, a command
# that loads the list fails. Another LXC version's calls are its release's to check.
own=$(jq -r '.architectures[].run[].name' "$whole_run" | sort -u)
version=$(lxc-start --version | cut -d. -f1,2)
for policy in lxc firejail; do
    calls=$(awk -v mine="# LXC $version only:" '/^seccomp.keep / { gsub(",", "\n", $2); print $2 }
        !list { list = /^allowlist$/; next } /^#/ { skip = /^# LXC [0-9.]+ only:$/ && $0 != mine }
        !skip && !/^#/ { print $1 }' "$policy" | grep -vxF "$own")
    for call in $calls; do
        sed -E "/^$call\$/d; s/,$call\b//" "$policy" >without
        for case in "${cases[@]}"; do
            read -r label used _ command <<<"$case"
            [ "$used" = "$policy" ] || continue
            # Without some calls (LXC's read, sendto) the sandbox waits for ever: a call needed.
            run "$label-m" without "timeout -s KILL 2 $command" >"$tmp/out" 2>&1 &&
                [ "$(<"$tmp/out")" = Done. ] || continue 2
        done
        fail "$policy allows $call, which no command that loads it needs"
    done
done

sleep 0.5 && stop_tracing
while read -r label layer count; do
    events=$(awk -v comm="$label" '$1 == comm { $1 = ""; print }' "$s/queries" |
        sed -E 's/exit [0-9]+$/exit count/' | xargs)
    [ "$events" = "$(for _ in $(seq "$count"); do echo "${seen[$layer]}"; done | xargs)" ] ||
        fail "$label: not refused by $layer in $count runs: bpftrace saw '$events'"
done < <(printf '%s\n' "${layers[@]}")
