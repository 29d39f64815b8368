# SPDX-License-Identifier: MIT
# Writes one OCI image layout, as one tar, whose image index names each architecture's image by
# its platform: cmake -DIMAGES=... -DNAME=... -DVERSION=... -DIMAGE=... -DWORK=...
# -P image-index.cmake, where IMAGES is a list of PLATFORM=TAR, PLATFORM as OCI names it (amd64,
# arm/v7...) and TAR that architecture's image as image.cmake writes it. podman makes the index in
# a store of its own under WORK, which goes again; the tar is packed as image.cmake packs its own,
# so that it is the same to the byte under one SOURCE_DATE_EPOCH.
string(TIMESTAMP epoch "%s" UTC)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/tmp")
# podman unpacks each archive under TMPDIR.
set(ENV{TMPDIR} "${WORK}/tmp")
set(podman podman --root "${WORK}/root" --runroot "${WORK}/run" --tmpdir "${WORK}/libpod"
    --storage-driver vfs --cgroup-manager cgroupfs --events-backend none)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK}" OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()
run(${podman} manifest create ${NAME}:${VERSION})
foreach(image IN LISTS IMAGES)
  string(REGEX MATCH "^([^/=]+)/?([^=]*)=(.+)$" _ "${image}")
  set(variant)
  if(CMAKE_MATCH_2)
    set(variant --variant ${CMAKE_MATCH_2})
  endif()
  run(${podman} manifest add --os linux --arch ${CMAKE_MATCH_1} ${variant} ${NAME}:${VERSION}
      "oci-archive:${CMAKE_MATCH_3}")
endforeach()
run(${podman} manifest push --quiet --all --format oci ${NAME}:${VERSION}
    "oci:${WORK}/layout:${NAME}:${VERSION}")
run(tar --sort=name --mtime=@${epoch} --owner=0 --group=0 --numeric-owner --mode=go-w,a+rX
    -C "${WORK}/layout" -cf "${IMAGE}.tmp" .)
file(RENAME "${IMAGE}.tmp" "${IMAGE}")
file(REMOVE_RECURSE "${WORK}")
