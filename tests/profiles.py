# SPDX-License-Identifier: MIT
# The shipped seccomp policies in POLICIES against the default build's whole run on every
# architecture, by libseccomp's Python binding. "profiles.py check POLICIES" fails, printing
# each fault; "profiles.py kernel-runs POLICIES ROOT AUDITED ARCH..." writes to ROOT/filters the
# filters the kernel group's init loads on the first ARCH's kernel for each ARCH's build, and
# prints the runs, "NAME,STATUS,OUTPUT,TYPE,AUDIT-ARCH,CALL FILTER PROGRAM": what each must give,
# and its audit record (TYPE 1300, the query's where AUDITED is "rules"; 1326, a kill; -, none).
import json
import os
import sys
from pathlib import Path

import seccomp

# The package's BPF compiler, packaging/bpf.py, writing no bytecode into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
from bpf import syscall_filter  # noqa: E402


def load(*path):
    return json.loads(Path(*path).read_text())


def number(arch, name):
    """Call NAME's number on libseccomp's architecture ARCH, negative where it has none."""
    return seccomp.resolve_syscall(getattr(seccomp.Arch, arch.removeprefix("SCMP_ARCH_")), name)


# The kernel groups' attack cases (tests/attack.cpp): each one's call (None where ABIs differ)
# and what the engines' profile, the launcher's and no filter give: killed, or its line.
ATTACKS = [(f"syslog {n}", "syslog", "killed", "killed", "answered") for n in (3, 10, 5)] + [
    # The runtimes open files between loading the filter and execve.
    ("open /init", "openat", "answered", "killed", "answered"),
    # The socket call, made through socketcall on some 32-bit ABIs; no socket there.
    ("connect /nothing", None, "killed", "killed", "refused_ENOENT"),
    # x86-64's i386 getpgrp, which no profile allows in either ABI: on amd64's kernel alone.
    ("i386", 65, "killed", "killed", "answered")]


def check(policies):
    # What the seccomp group's header says, and why.
    runs, pinned = map(load(policies, "whole-run.json").get, ("architectures", "pinned"))
    pins = {name: [{"index": 0, "value": value, "op": "SCMP_CMP_EQ"}]
            for name, value in pinned.items() if name != "comment"}
    host = {"SCMP_ARCH_X86": "SCMP_ARCH_X86_64", "SCMP_ARCH_ARM": "SCMP_ARCH_AARCH64",
            "SCMP_ARCH_MIPSEL": "SCMP_ARCH_MIPSEL64"}
    faults, lists = [], {}
    for path in ("seccomp.json", "seccomp-launcher.json"):
        profile = load(policies, path)
        lists[path] = {name for rule in profile["syscalls"] if rule["action"] == "SCMP_ACT_ALLOW"
                       for name in rule["names"]}
        # A pinned call is allowed with its one argument alone, by a rule of its own.
        faults += [f"{path}: {name} is allowed with {rule.get('args', 'any argument')}"
                   for rule in profile["syscalls"] for name in rule["names"]
                   if name in pins and rule.get("args") != pins[name]]
        if profile["defaultAction"] != "SCMP_ACT_KILL_PROCESS":
            faults.append(f"{path}: kills nothing by default")
        archs = {entry["architecture"]: entry["subArchitectures"] for entry in profile["archMap"]}
        faults += [f"{path}: {debian} is not covered" for debian, arch in runs.items()
                   if (native := arch["seccomp"]) not in archs
                   or native in host and native not in archs.get(host[native], [])]
    firejail, lxc, systemd = (Path(policies, name).read_text().splitlines()
                              for name in ("firejail.profile", "lxc.seccomp", "systemd.conf"))
    if "seccomp-error-action kill" not in firejail or lxc[:2] != ["2", "allowlist"]:
        faults.append("the sandboxes' lists do not kill by default")
    if "seccomp.block-secondary" not in firejail:
        faults.append("firejail: the other ABIs are not blocked")
    # systemd's: the allowlist after the last empty setting, which drops the unit's own.
    filters = [line.split("=", 1)[1].split() for line in systemd
               if line.startswith("SystemCallFilter=")]
    resets = [index for index, names in enumerate(filters) if not names]
    if not resets or any(name.startswith(("~", "@")) for names in filters for name in names):
        faults.append("systemd: not an allowlist of calls that replaces the unit's own")
    lists |= {"firejail": {name for line in firejail if line.startswith("seccomp.keep ")
                           for name in line.split()[1].split(",")},
              "lxc": {line.split()[0] for line in lxc[2:] if line and not line.startswith("#")},
              "systemd": set(sum(filters[resets[-1] if resets else 0:], []))}
    # LXC's list pins as the profiles do; firejail's cannot, and so blocks the other ABIs (above).
    faults += [f"lxc: {line}: not {want}" for line in lxc[2:] for name in line.split()[:1]
               if name in pins and line != (want := f"{name} allow [0,{pinned[name]},SCMP_CMP_EQ]")]
    # Each call of each run allowed, by the name that resolves there to the number listed.
    for label, names in lists.items():
        faults += [f"{label}: {debian}: {call['name']}" for debian, arch in runs.items()
                   for call in arch["run"] if call["name"] not in names
                   or number(arch["seccomp"], call["name"]) != call["number"]]
        faults += [f"{label}: {name} is no call" for name in names
                   if all(number(arch["seccomp"], name) < 0 for arch in runs.values())]
    if not lists["seccomp-launcher.json"] <= lists["seccomp.json"]:
        faults.append("the launcher's profile allows what the engines' does not")
    return faults


def kernel_runs(policies, root, audited, builds):
    # Each filter as a runtime loads it on the first build's kernel.
    whole = load(policies, "whole-run.json")
    runs, query, kernel = whole["architectures"], whole["query"]["name"], builds[0]
    numbers = {b: {c["name"]: c["number"] for c in arch["run"]} for b, arch in runs.items()}

    def run(label, build, profile, rules=None):
        try:
            bpf = syscall_filter(profile, runs[kernel]["seccomp"], rules)
        except ValueError as error:
            sys.exit(f"{label}: {error}")
        path = f"/filters/{len(os.listdir(root + '/filters'))}"
        with open(root + path, "wb") as file:
            bpf.export_bpf(file)
        print(label, path, "/" + build)
        return path

    # The attack cases run under each profile's filter and under none, the control.
    filters = {build: {"unfiltered": "-"} for build in builds}
    for name in ("seccomp-launcher", "seccomp"):
        profile = load(policies, name + ".json")
        for build in builds:
            calls = list(numbers[build])
            record = (f"{'1300' if audited == 'rules' else '-'},{runs[build]['audit']},"
                      f"{numbers[build][query]}")
            filters[build][name] = run(f"{name}:{build}:profile,0,done,{record}", build, profile)
            for index, call in enumerate(calls):
                # The first call, execve, is the init's, in the kernel's own ABI. The query is
                # followed by the write: a run killed after that has written.
                abi = kernel if index == 0 else build
                output = "done" if index > calls.index(query) + 1 else "none"
                less = [dict(rule, names=[n for n in rule["names"] if n != call])
                        for rule in profile["syscalls"]]
                run(f"{name}:{build}:without-{call},{128 + runs[build]['sigsys']},{output},1326,"
                    f"{runs[abi]['audit']},{numbers[abi][call]}", build, profile, less)
            run(f"{name}:{build}:run-alone,0,done,{record}", build, profile,
                [{"names": calls, "action": "SCMP_ACT_ALLOW"}])
    for build, named in filters.items():
        for name, path in named.items():
            for case, call, *outcomes in (row for row in ATTACKS
                                          if row[0] != "i386" or build == kernel == "amd64"):
                outcome = outcomes[("seccomp", "seccomp-launcher", "unfiltered").index(name)]
                arch = runs["i386" if case == "i386" else build]["audit"]
                call = number(runs[build]["seccomp"], call) if isinstance(call, str) else call
                result = (f"{128 + runs[build]['sigsys']},none,1326,{arch},{call or '-'}"
                          if outcome == "killed" else f"0,{outcome},-,-,-")
                print(f"{name}:{build}:attack-{case.split(' /')[0].replace(' ', '-')},{result}",
                      path, f"/{build}-attack", case)


if __name__ == "__main__":
    if sys.argv[1] == "check":
        sys.exit("\n".join(check(*sys.argv[2:])) or None)
    kernel_runs(*sys.argv[2:5], sys.argv[5:])
