# SPDX-License-Identifier: MIT
# Another architecture's default build, made with the plain cross configure: cmake
# -DSOURCE_DIR=... -DDIR=... -DTRIPLET=... -DMACHINE=... [-DCONFIGURE=ON] [-DTARGET=...]
# -P foreign.cmake configures DIR with the default preset, the cross compiler TRIPLET-g++ and
# qemu-MACHINE to run its tests, when CONFIGURE is set or DIR has no build yet (a build
# regenerates itself when the project changes), then builds TARGET, or the default target.
if(CONFIGURE OR NOT EXISTS "${DIR}/CMakeCache.txt")
  execute_process(COMMAND "${CMAKE_COMMAND}" --preset default -S "${SOURCE_DIR}" -B "${DIR}"
                          -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=${MACHINE}
                          -DCMAKE_CXX_COMPILER=${TRIPLET}-g++
                          -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-${MACHINE}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
if(TARGET)
  set(TARGET --target ${TARGET})
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${DIR}" ${TARGET} COMMAND_ERROR_IS_FATAL ANY)
