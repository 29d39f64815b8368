# SPDX-License-Identifier: MIT
# Another architecture's default build, made with the plain cross configure: cmake
# -DSOURCE_DIR=... -DDIR=... -DARCH=... -DTRIPLET=... -DMACHINE=... [-DCONFIGURE=ON]
# [-DTARGET=...] -P foreign.cmake configures DIR with the default preset, the cross compiler
# TRIPLET-g++ and qemu-MACHINE to run its tests, when CONFIGURE is set or DIR has no build yet (a
# build regenerates itself when the project changes), then builds TARGET, or the default target.
# ARCH is the Debian architecture: where this release has no musl for it, tests/setup.sh unpacks
# the other release's into the user's cache, and the build links against that copy.
string(REGEX REPLACE "-gnu(abi64)?" "-musl" musl_triplet "${TRIPLET}")
if(DEFINED ENV{XDG_CACHE_HOME})
  set(sysroot "$ENV{XDG_CACHE_HOME}")
else()
  set(sysroot "$ENV{HOME}/.cache")
endif()
set(sysroot "${sysroot}/linux-syslog-syscall/musl/${ARCH}")
set(options)
if(NOT EXISTS "/usr/lib/${musl_triplet}/rcrt1.o" AND EXISTS "${sysroot}/built-using")
  file(STRINGS "${sysroot}/built-using" built_using)
  set(options -DLINUX_SYSLOG_SYSCALL_MUSL_LIBDIR=${sysroot}/usr/lib/${musl_triplet}
              -DLINUX_SYSLOG_SYSCALL_MUSL_INCLUDEDIR=${sysroot}/usr/include/${musl_triplet}
              "-DLINUX_SYSLOG_SYSCALL_BUILT_USING=${built_using}")
endif()
if(CONFIGURE OR NOT EXISTS "${DIR}/CMakeCache.txt")
  execute_process(COMMAND "${CMAKE_COMMAND}" --preset default -S "${SOURCE_DIR}" -B "${DIR}"
                          -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=${MACHINE}
                          -DCMAKE_CXX_COMPILER=${TRIPLET}-g++
                          -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-${MACHINE} ${options}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
if(TARGET)
  set(TARGET --target ${TARGET})
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${DIR}" ${TARGET} COMMAND_ERROR_IS_FATAL ANY)
