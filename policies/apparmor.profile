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

  # Standard error that an unconfined caller opened (a terminal, a pipe, a file; podman's conmon)
  # needs no rule: AppArmor checks such a descriptor again only to send on a socket. journald's
  # stream, a service's standard error by default, is sent on, never made or connected.
  network send unix stream,

  # A caller under a profile of its own that changes to this one: the kernel maps the program
  # under this profile, and the change marks the run secure (AT_SECURE), so that the C library
  # opens /dev/null in place of a closed standard stream. Standard error a pipe from such a
  # caller works; a file it opened is replaced by a null file, and the line is lost.
  /usr/bin/linux-syslog-syscall r,
  /dev/null rw,
}
