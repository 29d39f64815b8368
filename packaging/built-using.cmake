# SPDX-License-Identifier: MIT
# Run by CPack after packaging: writes the Built-Using field, which CPack does not know, into the
# control file of the .deb it made, and builds the package again from the same tree.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/built-using")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${tree}/DEBIAN/control" control)
  string(REPLACE "\nDescription:" "\nBuilt-Using: ${CPACK_LINUX_SYSLOG_SYSCALL_BUILT_USING}\nDescription:"
                 control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  # gzip, as CPack compresses; dpkg-deb takes its time stamps from SOURCE_DATE_EPOCH.
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b "${tree}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
