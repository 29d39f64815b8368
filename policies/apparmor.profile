# SPDX-License-Identifier: MIT
# AppArmor profile for linux-syslog-syscall: each run of /usr/bin/linux-syslog-syscall, or of a
# container given the profile by name, is confined to its run, and its query is answered where
# the caller holds CAP_SYSLOG. Not loaded on install; to load it (again, after a change):
#     apparmor_parser -r /usr/share/linux-syslog-syscall/apparmor.profile
# and to unload it, apparmor_parser -R with the same file.
abi <abi/3.0>,

profile linux-syslog-syscall /usr/bin/linux-syslog-syscall {
  # The query: AppArmor has no hook of its own for it, only this capability.
  capability syslog,

  # Standard error, wherever the caller put it. A descriptor that a confined process opened is
  # checked against this profile again at execve, and one it does not allow is replaced by a null
  # file, which would swallow the line: files anywhere, written or appended to, and terminals,
  # which are open for reading and writing. A socket is checked at each write: journald's stream.
  /** w,
  /dev/{pts/*,tty*,console} rw,
  network unix stream,
}
