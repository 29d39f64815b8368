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

  # A file that a confined process opened is checked against this profile again once the profile
  # confines the run, the program itself first: the kernel maps it, and without this a run started
  # by a confined caller dies before its first instruction.
  /usr/bin/linux-syslog-syscall mr,

  # Standard error, wherever the caller put it. A descriptor that a confined process opened and
  # this profile does not allow is replaced at execve by a null file, which would swallow the line:
  # files anywhere, written or appended to, and terminals, which are open for reading and writing.
  # A socket is checked at each write: journald's stream.
  /** w,
  /dev/{pts/*,tty*,console} rw,
  network unix stream,

  # A run that a profile transition marks secure (AT_SECURE) has the C library open /dev/null in
  # place of a closed standard stream, or stop the run.
  /dev/null rw,
}
