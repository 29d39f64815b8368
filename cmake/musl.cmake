# SPDX-License-Identifier: MIT
# Builds a target as a static PIE against musl from the system compiler, with musl's headers in
# place of the system C library's and no C++ runtime at all.

# Debian installs musl beside the system libc under the same multiarch name, "gnu" becoming "musl"
# (x86_64-linux-gnu: x86_64-linux-musl, arm-linux-gnueabihf: arm-linux-musleabihf).
string(REPLACE "-gnu" "-musl" musl_triplet "${CMAKE_LIBRARY_ARCHITECTURE}")
set(LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR "/usr/lib/${musl_triplet}" CACHE PATH
    "Directory of musl's libc.a and start-up files")
set(LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR "/usr/include/${musl_triplet}" CACHE PATH
    "Directory of musl's headers")

# A build that quietly fell back to another libc would change every run's trace: stop instead.
if(NOT CMAKE_LIBRARY_ARCHITECTURE
   OR NOT EXISTS "${LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR}/rcrt1.o"
   OR NOT EXISTS "${LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR}/stdio.h")
  message(FATAL_ERROR
    "musl not found (looked for ${LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR}/rcrt1.o and "
    "${LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR}/stdio.h). Install it (Debian: apt-get install "
    "musl-dev), point LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR and LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR at "
    "it, or build against the system C library with -DLINUX_SYSLOG_SYSCALL_LIBC=system.")
endif()

function(link_against_musl target)
  set(musl_libdir "${LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR}")
  # The compiler driver's rules for where start-up files and libraries come from.
  set(driver_rules "${CMAKE_CURRENT_BINARY_DIR}/musl-static-pie.gcc")
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/musl-static-pie.gcc.in" "${driver_rules}" @ONLY)
  # -nostdinc drops the system libc's headers and libstdc++'s, which are configured for them.
  target_compile_options(${target} PRIVATE -nostdinc)
  target_include_directories(${target} SYSTEM PRIVATE "${LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR}")
  # -nodefaultlibs keeps the driver from adding libstdc++ and the system libc; only musl's libc and
  # the compiler's own support library are linked.
  target_link_options(${target} PRIVATE "-specs=${driver_rules}" -nodefaultlibs -static-pie)
  target_link_libraries(${target} PRIVATE c gcc)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${driver_rules}")
endfunction()
