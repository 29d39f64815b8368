# SPDX-License-Identifier: MIT
# Another architecture's default build, made with the plain cross configure: cmake
# -DSOURCE_DIR=... -DDIR=... -DARCH=... [-DMUSL_ROOT=...] [-DCONFIGURE=ON] [-DTARGET=...]
# -P foreign.cmake configures DIR with the default preset, ARCH's cross compiler and its qemu-user
# to run its tests (architectures.txt), when CONFIGURE is set or DIR has no build yet (a build
# regenerates itself when the project changes), then builds TARGET, or the default target. Where
# this release has no musl for ARCH, MUSL_ROOT is a root that holds another's, unpacked, with the
# source it came from in MUSL_ROOT/built-using, and the build links against that copy.
include(${CMAKE_CURRENT_LIST_DIR}/architectures.cmake)
if(NOT architecture_${ARCH}_musl)
  message(FATAL_ERROR "${ARCH} is not one of cmake/architectures.txt's architectures")
endif()
set(musl "${architecture_${ARCH}_musl}")
set(machine "${architecture_${ARCH}_qemu}")
set(options)
if(NOT EXISTS "/usr/lib/${musl}/rcrt1.o" AND MUSL_ROOT AND EXISTS "${MUSL_ROOT}/built-using")
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
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
if(TARGET)
  set(TARGET --target ${TARGET})
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${DIR}" ${TARGET} COMMAND_ERROR_IS_FATAL ANY)
