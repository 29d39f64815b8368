# SPDX-License-Identifier: MIT
# Run by CPack once it has staged the files, before it packs them: the directories it made under
# the packager's umask get CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS (0755), so that umask 077
# ships no directory closed to everyone else, and two packagers' packages are the same to the byte.
file(GLOB_RECURSE directories LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER directories EXCLUDE REGEX "/DEBIAN$")
foreach(directory IN LISTS directories)
  if(IS_DIRECTORY "${directory}" AND NOT IS_SYMLINK "${directory}")
    file(CHMOD "${directory}" PERMISSIONS ${CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
  endif()
endforeach()
