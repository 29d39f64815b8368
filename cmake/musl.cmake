# SPDX-License-Identifier: MIT
# Builds a target as a static PIE against musl from the system compiler, with musl's headers in
# place of the system C library's and no C++ runtime at all.

# Debian installs musl beside the system libc, under a tuple of its own (architectures.txt).
include(${CMAKE_CURRENT_LIST_DIR}/architectures.cmake)
architecture_where(musl_arch multiarch "${CMAKE_LIBRARY_ARCHITECTURE}")
set(musl_libdir)
set(musl_includedir)
if(musl_arch)
  set(musl_libdir "/usr/lib/${architecture_${musl_arch}_musl}")
  set(musl_includedir "/usr/include/${architecture_${musl_arch}_musl}")
endif()
set(LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR "${musl_libdir}" CACHE PATH
    "Directory of musl's libc.a and start-up files")
set(LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR "${musl_includedir}" CACHE PATH
    "Directory of musl's headers")

# A build that quietly fell back to another libc would change every run's trace: stop instead.
if(NOT EXISTS "${LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR}/rcrt1.o"
   OR NOT EXISTS "${LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR}/stdio.h")
  string(CONCAT looked "looked for ${LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR}/rcrt1.o and "
                "${LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR}/stdio.h")
  if(NOT LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR)
    string(CONCAT looked "the compiler's multiarch tuple, '${CMAKE_LIBRARY_ARCHITECTURE}', is not "
                  "one of cmake/architectures.txt")
  endif()
  message(FATAL_ERROR
    "musl not found (${looked}). Install it (Debian: apt-get install "
    "musl-dev), point LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR and LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR at "
    "it, or build against the system C library with -DLINUX_SYSLOG_SYSCALL_LIBC=system.")
endif()

function(link_against_musl target)
  set(musl "${LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR}")
  # The compiler's own pieces of a PIE link, which sit between musl's start and end files.
  foreach(piece crtbeginS.o crtendS.o libgcc.a)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${piece}
                    OUTPUT_VARIABLE ${piece} OUTPUT_STRIP_TRAILING_WHITESPACE)
  endforeach()
  # -nostdinc drops the system libc's headers and libstdc++'s, which are configured for them.
  # Without exceptions ARM's unwind tables name no personality routine, which only libstdc++ has.
  target_compile_options(${target} PRIVATE -nostdinc -fno-exceptions)
  target_include_directories(${target} SYSTEM PRIVATE "${LINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR}")
  # The driver adds none of its own start-up files or libraries (the system libc's and libstdc++):
  # every input is named here, by its path, in link order. GCC drops -static-pie on some targets
  # (ARM, MIPS) for a -pie that asks for glibc's loader, so the linker is also told what a static
  # PIE is. libc and libgcc need each other (ARM's division helpers call raise): one group.
  target_link_options(${target} PRIVATE -static-pie LINKER:-static LINKER:--no-dynamic-linker
                      LINKER:-z,text -nostartfiles -nodefaultlibs
                      "${musl}/rcrt1.o" "${musl}/crti.o" "${crtbeginS.o}")
  target_link_libraries(${target} PRIVATE "$<LINK_GROUP:RESCAN,${musl}/libc.a,${libgcc.a}>"
                                          "${crtendS.o}" "${musl}/crtn.o")
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -DREADELF=${CMAKE_READELF}
                             -DBINARY=$<TARGET_FILE:${target}>
                             -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check-static-pie.cmake
                     VERBATIM)
endfunction()
