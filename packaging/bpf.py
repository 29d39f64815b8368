# SPDX-License-Identifier: MIT
# Compiles one of the package's seccomp profiles into the raw BPF program that bubblewrap loads
# (bwrap --seccomp FD), for one Debian architecture and the 32-bit ABIs that its kernel also runs,
# as the profile's archMap lists them. libseccomp does the compiling, through Debian's binding
# (python3-seccomp), in the target's byte order. Usage: bpf.py PROFILE WHOLE-RUN ARCH OUTPUT
# The kernel tests build their filters with syscall_filter, as a module.
import json
import os
import sys

import seccomp


def action(name):
    return getattr(seccomp, name.removeprefix("SCMP_ACT_"))


def condition(arg):
    """libseccomp's comparison of one of a rule's args, as the OCI profile gives it."""
    values = [arg["value"]] + ([arg["valueTwo"]] if "valueTwo" in arg else [])
    return seccomp.Arg(arg["index"], getattr(seccomp, arg["op"].removeprefix("SCMP_CMP_")),
                       *values)


def syscall_filter(profile, native, rules=None):
    """The filter that PROFILE gives a runtime on a kernel of libseccomp's architecture NATIVE:
    that architecture and the others its archMap entry runs, this machine's own left out. RULES,
    entries as the profile's syscalls are, stands for the profile's rules where given."""
    rules = profile["syscalls"] if rules is None else rules
    # Errno actions and the runtimes' other keys would need more than this: refuse rather than
    # drop them.
    if any(set(rule) - {"names", "action", "args", "comment"} for rule in rules):
        raise ValueError("a rule with more than names, an action and args")
    archs = [[native] + entry["subArchitectures"] for entry in profile["archMap"]
             if entry["architecture"] == native]
    if not archs:
        raise ValueError(f"the profile does not list {native}")
    bpf = seccomp.SyscallFilter(action(profile["defaultAction"]))
    bpf.remove_arch(seccomp.Arch.NATIVE)
    for arch in archs[0]:
        bpf.add_arch(getattr(seccomp.Arch, arch.removeprefix("SCMP_ARCH_")))
    for rule in rules:
        for name in rule["names"]:
            bpf.add_rule(action(rule["action"]), name,
                         *[condition(arg) for arg in rule.get("args", [])])
    return bpf


if __name__ == "__main__":
    profile_path, runs_path, debian, output = sys.argv[1:]
    with open(profile_path) as file:
        profile = json.load(file)
    with open(runs_path) as file:
        native = json.load(file)["architectures"][debian]["seccomp"]
    try:
        bpf = syscall_filter(profile, native)
    except ValueError as error:
        sys.exit(f"{profile_path}: {error}")
    # Written aside and renamed: a failed run leaves no partial program for the package.
    with open(output + ".tmp", "wb") as file:
        bpf.export_bpf(file)
    os.replace(output + ".tmp", output)
