# SPDX-License-Identifier: MIT
# Read by cpack before each generator runs: what one generator needs and would change in another's
# package.
if(CPACK_GENERATOR STREQUAL "RPM")
  # Installed where it was built for (no Prefix: relocation).
  set(CPACK_PACKAGE_RELOCATABLE OFF)
endif()
