# SPDX-License-Identifier: MIT
# Writes one OCI image layout, as one tar, whose image index names each architecture's image by
# its platform: cmake -DIMAGES=... -DNAME=... -DVERSION=... -DIMAGE=... -DWORK=...
# -P image-index.cmake, where IMAGES is a list of PLATFORM=TAR, PLATFORM as OCI names it (amd64,
# arm/v7...) and TAR that architecture's image as image.cmake writes it. Each image's blobs go in
# as umoci made them; the index is the one document added, so under one SOURCE_DATE_EPOCH the tar
# is the same to the byte.
string(TIMESTAMP epoch "%s" UTC)
set(layout "${WORK}/layout")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${layout}/blobs/sha256")

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK}" OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()
set(manifests "[]")
set(count 0)
foreach(image IN LISTS IMAGES)
  string(REGEX MATCH "^([^/=]+)/?([^=]*)=(.+)$" _ "${image}")
  set(platform "{\"architecture\": \"${CMAKE_MATCH_1}\", \"os\": \"linux\"}")
  if(CMAKE_MATCH_2)
    string(JSON platform SET "${platform}" variant "\"${CMAKE_MATCH_2}\"")
  endif()
  file(REMOVE_RECURSE "${WORK}/image")
  file(MAKE_DIRECTORY "${WORK}/image")
  run(tar -xf "${CMAKE_MATCH_3}" -C "${WORK}/image")
  file(GLOB blobs "${WORK}/image/blobs/sha256/*")
  file(COPY ${blobs} DESTINATION "${layout}/blobs/sha256")
  # The image's own manifest, as its index names it, with the platform it is for.
  file(READ "${WORK}/image/index.json" index)
  string(JSON manifest GET "${index}" manifests 0)
  string(JSON manifest REMOVE "${manifest}" annotations)
  string(JSON manifest SET "${manifest}" platform "${platform}")
  string(JSON manifests SET "${manifests}" ${count} "${manifest}")
  math(EXPR count "${count} + 1")
endforeach()

string(JSON list SET "{}" schemaVersion 2)
string(JSON list SET "${list}" mediaType "\"application/vnd.oci.image.index.v1+json\"")
string(JSON list SET "${list}" manifests "${manifests}")
file(WRITE "${WORK}/list" "${list}")
file(SHA256 "${WORK}/list" digest)
file(SIZE "${WORK}/list" size)
file(RENAME "${WORK}/list" "${layout}/blobs/sha256/${digest}")
# The layout's one tag, the full name, names the index: a pull picks its own platform from it.
file(WRITE "${layout}/index.json" "{\"schemaVersion\": 2, \"manifests\": [{\"mediaType\": \
\"application/vnd.oci.image.index.v1+json\", \"digest\": \"sha256:${digest}\", \"size\": ${size}, \
\"annotations\": {\"org.opencontainers.image.ref.name\": \"${NAME}:${VERSION}\"}}]}\n")
file(WRITE "${layout}/oci-layout" "{\"imageLayoutVersion\": \"1.0.0\"}\n")
run(tar --sort=name --mtime=@${epoch} --owner=0 --group=0 --numeric-owner --mode=go-w,a+rX
    -C "${layout}" -cf "${IMAGE}.tmp" .)
file(RENAME "${IMAGE}.tmp" "${IMAGE}")
file(REMOVE_RECURSE "${WORK}")
