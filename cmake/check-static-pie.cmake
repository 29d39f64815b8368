# SPDX-License-Identifier: MIT
# Run after linking: cmake -DREADELF=... -DBINARY=... -P check-static-pie.cmake. A binary that asks
# for a program interpreter or a shared library would trace the loader's calls, or fail to start
# where no loader is: it is removed, so that no build can leave one behind.
execute_process(COMMAND "${READELF}" -hldW "${BINARY}" OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT headers MATCHES "Type: +DYN" OR headers MATCHES "INTERP|\\(NEEDED\\)")
  file(REMOVE "${BINARY}")
  message(FATAL_ERROR "${BINARY} is not a static position-independent executable (it names a "
                      "program interpreter or a shared library, or is not position-independent); "
                      "this compiler and linker cannot make one as the build asks. Removed.")
endif()
