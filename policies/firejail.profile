# linux-syslog-syscall, for firejail --profile=FILE: the static musl build's whole run, from execve,
# on every architecture it is built for, and no other call: firejail makes none of its own under
# the filter (firejail 0.9.72, x86-64). Any other call kills the process, where firejail's own
# default would only refuse it. quiet keeps firejail's banners off the probe's streams. The list
# binds the machine's own ABI alone, and names alone: any action of syslog passes. So every call
# of the other ABIs (i386 on x86-64, arm on arm64) is refused, with EPERM whatever the error
# action, and the i386 build does not run under this profile on x86-64.
quiet
seccomp.block-secondary
seccomp.keep execve,arch_prctl,set_thread_area,set_tls,set_tid_address,syslog,writev,exit_group
seccomp-error-action kill
