# SPDX-License-Identifier: MIT
# The shipped seccomp policies against the default build's whole run on every architecture, for
# the tests, with libseccomp's Python binding (python3-seccomp). Usage:
#   profiles.py check WHOLE-RUN ENGINES LAUNCHER FIREJAIL LXC SYSTEMD: prints each fault, fails on
#     one;
#   profiles.py kernel-runs POLICIES ROOT AUDITED ARCH...: writes to ROOT/filters the filters the
#     kernel group's init loads on the first ARCH's kernel for each ARCH's build, and prints the
#     runs, "NAME,STATUS,OUTPUT,TYPE,AUDIT-ARCH,CALL FILTER PROGRAM": what each must give, and its
#     audit record (TYPE 1300, the query's where AUDITED is "rules"; 1326, a kill; -, none).
import glob
import json
import os
import sys

import seccomp

# The package's BPF compiler, packaging/bpf.py, as a module, and no bytecode written beside it into
# the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
from bpf import syscall_filter  # noqa: E402


def load(path):
    with open(path) as file:
        return json.load(file)


def number(arch, name):
    """Call NAME's number on libseccomp's architecture ARCH, negative where it has none."""
    return seccomp.resolve_syscall(getattr(seccomp.Arch, arch.removeprefix("SCMP_ARCH_")), name)


def check(whole_run, engines, launcher, firejail_path, lxc_path, systemd_path):
    # Each call of each architecture's run allowed by the name that resolves there to the number
    # listed, and the architecture covered, a 32-bit one also under the 64-bit machine that runs
    # it. The launcher's profile is the engines' at most, and each name is a call somewhere: a
    # runtime skips a name it cannot resolve, without a word. The sandboxes' lists likewise.
    runs, pinned = load(whole_run)["architectures"], load(whole_run)["pinned"]
    pins = {name: [{"index": 0, "value": value, "op": "SCMP_CMP_EQ"}]
            for name, value in pinned.items() if name != "comment"}
    host = {"SCMP_ARCH_X86": "SCMP_ARCH_X86_64", "SCMP_ARCH_ARM": "SCMP_ARCH_AARCH64",
            "SCMP_ARCH_MIPSEL": "SCMP_ARCH_MIPSEL64"}
    faults, allowed = [], {}
    for path in (engines, launcher):
        profile = load(path)
        allowed[path] = {name for rule in profile["syscalls"]
                         if rule["action"] == "SCMP_ACT_ALLOW" for name in rule["names"]}
        # A pinned call is allowed with its one argument alone, by a rule of its own.
        faults += [f"{path}: {name} is allowed with {rule.get('args', 'any argument')}"
                   for rule in profile["syscalls"] for name in rule["names"]
                   if name in pins and rule.get("args") != pins[name]]
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
    firejail, lxc, systemd = (open(path).read().splitlines()
                              for path in (firejail_path, lxc_path, systemd_path))
    if "seccomp-error-action kill" not in firejail or lxc[:2] != ["2", "allowlist"]:
        faults.append("the sandboxes' lists do not kill by default")
    # systemd's: the allowlist after the last empty setting, which drops the unit's own.
    filters = [line.split("=", 1)[1].split() for line in systemd
               if line.startswith("SystemCallFilter=")]
    resets = [index for index, names in enumerate(filters) if not names]
    if not resets or any(name.startswith(("~", "@")) for names in filters for name in names):
        faults.append("systemd: not an allowlist of calls that replaces the unit's own")
    lists = {"firejail": {name for line in firejail if line.startswith("seccomp.keep ")
                          for name in line.split()[1].split(",")},
             "lxc": {line.split()[0] for line in lxc[2:] if line and not line.startswith("#")},
             "systemd": {name for names in filters[resets[-1] if resets else 0:] for name in names}}
    # LXC's list pins as the profiles do, and firejail's blocks the other ABIs it cannot pin.
    faults += [f"lxc: {line}: not {name} allow [0,{pinned[name]},SCMP_CMP_EQ]" for line in lxc[2:]
               for name in line.split()[:1] if name in pins
               and line != f"{name} allow [0,{pinned[name]},SCMP_CMP_EQ]"]
    if "seccomp.block-secondary" not in firejail:
        faults.append("firejail: the other ABIs are not blocked")
    for list_name, names in lists.items():
        faults += [f"{list_name}: {debian}: {call['name']}" for debian, arch in runs.items()
                   for call in arch["run"] if call["name"] not in names]
        faults += [f"{list_name}: {name} is no call" for name in names
                   if all(number(arch["seccomp"], name) < 0 for arch in runs.values())]
    if not allowed[launcher] <= allowed[engines]:
        faults.append("the launcher's profile allows what the engines' does not")
    print("\n".join(faults))
    return not faults


def kernel_runs(policies, root, audited, builds):
    # Each build under each profile, under it less each call of the build's whole run, and under a
    # filter of that run alone, as a runtime loads them on the first build's kernel.
    whole = load(policies + "/whole-run.json")
    runs, query, kernel = whole["architectures"], whole["query"]["name"], builds[0]
    native = runs[kernel]["seccomp"]

    def call_number(build, call):
        return next(entry["number"] for entry in runs[build]["run"] if entry["name"] == call)

    filters = []

    def run(label, profile, rules, build):
        try:
            bpf = syscall_filter(profile, native, rules)
        except ValueError as error:
            sys.exit(f"{label}: {error}")
        path = f"/filters/{len(glob.glob(root + '/filters/*'))}"
        with open(root + path, "wb") as file:
            bpf.export_bpf(file)
        filters.append(path)
        print(label, path, "/" + build)

    for path in sorted(glob.glob(policies + "/*.json")):
        profile = load(path)
        if "syscalls" not in profile:
            continue
        name = path.split("/")[-1][:-len(".json")]
        rules = profile["syscalls"]
        for build in builds:
            calls = [entry["name"] for entry in runs[build]["run"]]
            record = (f"{'1300' if audited == 'rules' else '-'},{runs[build]['audit']},"
                      f"{call_number(build, query)}")
            run(f"{name}:{build}:profile,0,done,{record}", profile, rules, build)
            profile_filter = filters[-1]
            for index, call in enumerate(calls):
                # The first call, execve, is the init's, in the kernel's own ABI. The query is
                # followed by the write: a run killed after that has written.
                abi = kernel if index == 0 else build
                output = "done" if index > calls.index(query) + 1 else "none"
                killed = f"{128 + runs[build]['sigsys']},{output},1326,{runs[abi]['audit']}"
                less = [dict(rule, names=[n for n in rule["names"] if n != call])
                        for rule in rules]
                run(f"{name}:{build}:without-{call},{killed},{call_number(abi, call)}", profile,
                    less, build)
            run(f"{name}:{build}:run-alone,0,done,{record}", profile,
                [{"names": calls, "action": "SCMP_ACT_ALLOW"}], build)
            # The attack cases, under the profile's filter.
            for case, call, outcome in attacks(build == kernel == "amd64"):
                arch = runs["i386" if case == "i386" else build]["audit"]
                call = call if isinstance(call, int) or call is None else number(
                    runs[build]["seccomp"], call)
                result = (f"{128 + runs[build]['sigsys']},none,1326,{arch},{call or '-'}"
                          if outcome[name] == "killed" else f"0,{outcome[name]},-,-,-")
                print(f"{name}:{build}:attack-{case.split(' /')[0].replace(' ', '-')},{result}",
                      profile_filter, f"/{build}-attack", case)
    # The same cases with no filter at all, the control: each call reaches the kernel.
    for build in builds:
        for case, _, outcome in attacks(build == kernel == "amd64"):
            print(f"unfiltered:{build}:attack-{case.split(' /')[0].replace(' ', '-')},0,"
                  f"{outcome['unfiltered']},-,-,- - /{build}-attack {case}")


def attacks(i386):
    """The attack program's cases (tests/attack.cpp) that a kernel group runs, each the call it
    makes (a name, a number or None where it differs by architecture) and what each profile gives,
    or the kernel unfiltered: killed, or the case's line."""
    cases = [("syslog 3", "syslog", "killed", "killed", "answered"),
             ("syslog 10", "syslog", "killed", "killed", "answered"),
             ("syslog 5", "syslog", "killed", "killed", "answered"),
             # The runtimes open files between loading the filter and execve.
             ("open /init", "openat", "answered", "killed", "answered"),
             # The socket call, made through socketcall on some 32-bit ABIs; no socket there.
             ("connect /nothing", None, "killed", "killed", "refused_ENOENT")]
    # x86-64's i386 getpgrp, which no profile allows in either ABI.
    if i386:
        cases.append(("i386", 65, "killed", "killed", "answered"))
    return [(case, call, {"seccomp": engines, "seccomp-launcher": launcher,
                          "unfiltered": control})
            for case, call, engines, launcher, control in cases]


if __name__ == "__main__":
    if sys.argv[1] == "check":
        sys.exit(0 if check(*sys.argv[2:]) else 1)
    kernel_runs(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
