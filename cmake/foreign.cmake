# SPDX-License-Identifier: MIT
# Another architecture's default build, made with the plain cross configure: cmake
# -DSOURCE_DIR=... -DDIR=... -DARCH=... [-DMUSL_ROOT=...] [-DCONFIGURE=ON] [-DTARGET=...]
# -P foreign.cmake configures DIR with the default preset, ARCH's cross compiler and its qemu-user
# to run its tests (architectures.txt), when CONFIGURE is set or DIR has no build yet (a build
# regenerates itself when the project changes), then builds TARGET, or the default target. Where
# this release has no musl for ARCH, the build links against another's, unpacked with the source it
# came from in MUSL_ROOT/built-using: by default the copy that tests/setup.sh fetches into the
# user's cache (packaging/debian.sh).
include(${CMAKE_CURRENT_LIST_DIR}/architectures.cmake)
if(NOT architecture_${ARCH}_musl)
  message(FATAL_ERROR "${ARCH} is not one of cmake/architectures.txt's architectures")
endif()
set(musl "${architecture_${ARCH}_musl}")
set(machine "${architecture_${ARCH}_qemu}")
if(NOT MUSL_ROOT)
  set(MUSL_ROOT "$ENV{XDG_CACHE_HOME}")
  if(NOT MUSL_ROOT)
    set(MUSL_ROOT "$ENV{HOME}/.cache")
  endif()
  set(MUSL_ROOT "${MUSL_ROOT}/linux-syslog-syscall/musl/${ARCH}")
endif()
set(options)
if(NOT EXISTS "/usr/lib/${musl}/rcrt1.o" AND EXISTS "${MUSL_ROOT}/built-using")
  file(STRINGS "${MUSL_ROOT}/built-using" built_using)
  set(options -DLINUX_SYSLOG_SYSCALL_MUSL_LIBDIR=${MUSL_ROOT}/usr/lib/${musl}
              -DLINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR=${MUSL_ROOT}/usr/include/${musl}
              "-DLINUX_SYSLOG_SYSCALL_BUILT_USING=${built_using}")
endif()
if(CONFIGURE OR NOT EXISTS "${DIR}/CMakeCache.txt")
  execute_process(COMMAND "${CMAKE_COMMAND}" --preset default -S "${SOURCE_DIR}" -B "${DIR}"
                          -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=${machine}
                          -DCMAKE_CXX_COMPILER=${architecture_${ARCH}_compiler}-g++
                          -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-${machine} ${options}
                  RESULT_VARIABLE status)
  # A configure that stopped leaves its cache, which the next try would take for a build.
  if(NOT status EQUAL 0)
    file(REMOVE "${DIR}/CMakeCache.txt")
    message(FATAL_ERROR "${ARCH}: the build cannot be configured in ${DIR}")
  endif()
endif()
if(TARGET)
  set(TARGET --target ${TARGET})
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${DIR}" ${TARGET} COMMAND_ERROR_IS_FATAL ANY)
