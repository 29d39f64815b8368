#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The package's rule, loaded for real: one record per run, with the query's arguments. Others'
# rules and records are left alone, ours told by key and executable, and a round whose records the
# kernel or the socket dropped under others' load is run again.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need auditctl setpriv
need_root
[ -x "$python" ] || skip "$python is not installed"
found=$(auditctl -s 2>&1) || skip "audit is not available here: $found"
setting() { auditctl -s | awk -v key="$1" '$1 == key { print $2 }'; }
[ "$(setting enabled)" != 2 ] || skip "the audit configuration is locked"
# The enabled flag and the queue's limit put back after, and each rule added taken out; room in
# the queue for others' records as well as ours meanwhile.
undo+=("auditctl -e $(setting enabled) -b $(setting backlog_limit) >/dev/null")
auditctl -e 1 -b 8192 >/dev/null || fail "audit cannot be enabled"
while read -r rule; do
    if auditctl $rule 2>"$tmp/log"; then
        undo+=("auditctl ${rule/-a/-d} >/dev/null 2>&1")
    elif ! grep -q 'Rule exists' "$tmp/log"; then
        fail "the rule does not load: $rule: $(cat "$tmp/log")"
    fi
done < <(grep '^-a ' "$BUILD_DIR/packaging/audit.rules")
# The kernel sends every record to the audit log's multicast group, with or without a daemon.
"$python" -c '
import errno, socket, struct
s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 9)  # NETLINK_AUDIT
s.setsockopt(socket.SOL_SOCKET, 33, 1 << 22)  # SO_RCVBUFFORCE: room for a burst of records
s.bind((0, 1))  # AUDIT_NLGRP_READLOG
print("ready", flush=True)
while True:
    try:
        data = s.recv(1 << 16)
    except OSError as e:
        if e.errno != errno.ENOBUFS:
            raise
        print("dropped", flush=True)  # the socket overflowed: read on, later records still come
        continue
    size, kind = struct.unpack("=IH", data[:6])
    if kind == 1300 and b"key=\"linux-syslog-syscall\"" in data:
        print(data[16:size].decode(errors="replace"), flush=True)' >"$tmp/records" &
listener=$!
undo+=("kill $listener 2>/dev/null")
wait_until 5 grep -q ready "$tmp/records"
has_records() { [ "$(grep -cF "exe=\"$2\"" "$tmp/records")" -ge "$1" ]; }
for round in 1 2 3; do
    # A copy per round, which user 65534 may run too, tells its records apart.
    shared_copy "$probe" "probe$round" && copy=$shared/probe$round
    lost=$(setting lost) drops=$(grep -c '^dropped$' "$tmp/records")
    for _ in 1 2 3; do expect_done "audited run" "$copy"; done
    expect_done "audited, unprivileged" \
        setpriv --reuid=65534 --regid=65534 --clear-groups "$copy"
    wait_until 5 has_records 4 "$copy"
    mine=$(grep -F "exe=\"$copy\"" "$tmp/records")
    [ "$(grep -c ' success=yes .* a0=9 a1=0 a2=0 .* uid=0 ' <<<"$mine")" = 3 ] &&
        grep -q ' success=no exit=-1 a0=9 a1=0 a2=0 .* uid=65534 ' <<<"$mine" && break
    if [ $round -lt 3 ] && [ "$(setting lost) $(grep -c '^dropped$' "$tmp/records")" != \
        "$lost $drops" ]; then
        echo "round $round: records were dropped under load; running it again"
        continue
    fi
    fail "3 runs and a refused one did not give their 4 records: ${mine:-none}$(
        auditctl -l | grep -q 'key=linux-syslog-syscall' || echo "; our rules are gone")"
    break
done
