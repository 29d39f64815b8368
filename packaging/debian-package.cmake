# SPDX-License-Identifier: MIT
# Run by CPack after packaging: builds each .deb again from its own tree with dpkg-deb, which gives
# its members Debian's modes whatever the packager's umask (CPack's own archive keeps the umask's),
# and writes into its control file the Built-Using field, which CPack does not know, where one is
# named.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/rebuilt")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  if(CPACK_LINUX_SYSLOG_SYSCALL_BUILT_USING)
    file(READ "${tree}/DEBIAN/control" control)
    string(REPLACE "\nDescription:"
                   "\nBuilt-Using: ${CPACK_LINUX_SYSLOG_SYSCALL_BUILT_USING}\nDescription:"
                   control "${control}")
    file(WRITE "${tree}/DEBIAN/control" "${control}")
  endif()
  # gzip, as CPack compresses; dpkg-deb takes its time stamps from SOURCE_DATE_EPOCH.
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b "${tree}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
