# SPDX-License-Identifier: MIT
# The table of architectures, architectures.txt: LINUX_SYSLOG_SYSCALL_ARCHITECTURES, the Debian
# names in the table's order, and architecture_<ARCH>_<COLUMN>, each column of ARCH's row (the
# machine as a list). Also in script mode (cmake -P).
include_guard(GLOBAL)
set(LINUX_SYSLOG_SYSCALL_ARCHITECTURES)
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/architectures.txt" rows REGEX "^[^#]")
foreach(row IN LISTS rows)
  string(REGEX MATCHALL "[^ \t]+" fields "${row}")
  list(POP_FRONT fields arch)
  list(APPEND LINUX_SYSLOG_SYSCALL_ARCHITECTURES ${arch})
  foreach(column compiler multiarch musl qemu oci rpm musl_in kernel_in flavour runs console)
    list(POP_FRONT fields architecture_${arch}_${column})
  endforeach()
  set(architecture_${arch}_machine ${fields})
endforeach()

# architecture_where(VAR COLUMN VALUE): VAR names the architecture whose COLUMN is VALUE, or is
# empty.
function(architecture_where var column value)
  foreach(arch IN LISTS LINUX_SYSLOG_SYSCALL_ARCHITECTURES)
    if(value AND architecture_${arch}_${column} STREQUAL value)
      set(${var} ${arch} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${var} "" PARENT_SCOPE)
endfunction()

# debian_architecture(VAR): the Debian name of the machine this build is for, as dpkg names it from
# the compiler's multiarch tuple, or empty without dpkg: only the package and the tests need it.
function(debian_architecture var)
  find_program(LINUX_SYSLOG_SYSCALL_DPKG_ARCHITECTURE dpkg-architecture)
  set(arch)
  if(LINUX_SYSLOG_SYSCALL_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND ${LINUX_SYSLOG_SYSCALL_DPKG_ARCHITECTURE}
                            -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  elseif(NOT CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(${var} "${arch}" PARENT_SCOPE)
endfunction()
