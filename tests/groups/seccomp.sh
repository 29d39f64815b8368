#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Both shipped profiles against every architecture's whole run, by libseccomp: each call allowed
# by the name that resolves there to the number listed, and the architecture covered, a 32-bit
# one also under the 64-bit machine that runs it. The launcher's is the engines' at most, and
# each name is a call somewhere: a runtime skips a name it cannot resolve, without a word. The
# sandboxes' lists by name likewise (the sandboxes group checks each further call is needed).
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need_python_seccomp
"$python" - "$whole_run" "$engines_profile" "$launcher_profile" "$SOURCE_DIR/policies/firejail.profile" \
    "$SOURCE_DIR/policies/lxc.seccomp" <<'EOF' || fail "the profiles: see above"
import json, sys, seccomp
runs = json.load(open(sys.argv[1]))["architectures"]
host = {"SCMP_ARCH_X86": "SCMP_ARCH_X86_64", "SCMP_ARCH_ARM": "SCMP_ARCH_AARCH64",
        "SCMP_ARCH_MIPSEL": "SCMP_ARCH_MIPSEL64"}
def number(arch, name):
    return seccomp.resolve_syscall(getattr(seccomp.Arch, arch.removeprefix("SCMP_ARCH_")), name)
faults, allowed = [], {}
for path in sys.argv[2:4]:
    profile = json.load(open(path))
    allowed[path] = {name for rule in profile["syscalls"] if rule["action"] == "SCMP_ACT_ALLOW"
                     for name in rule["names"]}
    archs = {entry["architecture"]: entry["subArchitectures"] for entry in profile["archMap"]}
    if profile["defaultAction"] != "SCMP_ACT_KILL_PROCESS":
        faults.append(f"{path}: kills nothing by default")
    for debian, arch in runs.items():
        native = arch["seccomp"]
        if native not in archs or native in host and native not in archs.get(host[native], []):
            faults.append(f"{path}: {debian} is not covered")
        faults += [f"{path}: {debian}: {call['name']}" for call in arch["run"]
                   if call["name"] not in allowed[path]
                   or number(native, call["name"]) != call["number"]]
    faults += [f"{path}: {name} is no call" for name in allowed[path]
               if all(number(arch, name) < 0 for arch in archs)]
# The sandboxes' lists kill by default, and hold every architecture's run and real calls alone.
firejail, lxc = (open(path).read().splitlines() for path in sys.argv[4:])
if "seccomp-error-action kill" not in firejail or lxc[:2] != ["2", "allowlist"]:
    faults.append("the sandboxes' lists do not kill by default")
lists = {"firejail": {name for line in firejail if line.startswith("seccomp.keep ")
                      for name in line.split()[1].split(",")},
         "lxc": {line for line in lxc[2:] if not line.startswith("#")}}
for list_name, names in lists.items():
    faults += [f"{list_name}: {debian}: {call['name']}" for debian, arch in runs.items()
               for call in arch["run"] if call["name"] not in names]
    faults += [f"{list_name}: {name} is no call" for name in names
               if all(number(arch["seccomp"], name) < 0 for arch in runs.values())]
if not allowed[sys.argv[3]] <= allowed[sys.argv[2]]:
    faults.append("the launcher's profile allows what the engines' does not")
print("\n".join(faults))
sys.exit(1 if faults else 0)
EOF
