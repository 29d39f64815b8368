# SPDX-License-Identifier: MIT
# Writes an OCI image layout, as one tar, whose root file system holds only the static binary, with
# the probe as its entrypoint. Run as cmake -DBINARY=... -DARCH=... -DVERSION=... -DIMAGE=...
# -DWORK=... -P image.cmake, where ARCH is the image's (OCI) architecture. Every time stamp is
# SOURCE_DATE_EPOCH's where it is set, so two builds of one binary are the same to the byte.
string(TIMESTAMP epoch "%s" UTC)
string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)
set(layout "${WORK}/layout")
set(bundle "${WORK}/bundle")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK}" OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()
run(umoci init --layout "${layout}")
run(umoci new --image "${layout}:${VERSION}")
# Unpacked and packed again rootless, so that the layer's files are root's whoever builds it.
run(umoci unpack --rootless --image "${layout}:${VERSION}" "${bundle}")
file(COPY "${BINARY}" DESTINATION "${bundle}/rootfs" FILE_PERMISSIONS OWNER_READ OWNER_WRITE
     OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
get_filename_component(name "${BINARY}" NAME)
run(touch -d @${epoch} "${bundle}/rootfs/${name}" "${bundle}/rootfs")
run(umoci repack --history.created ${created} --history.created_by "${name} ${VERSION}"
    --image "${layout}:${VERSION}" "${bundle}")
run(umoci config --image "${layout}:${VERSION}" --no-history --created ${created} --os linux
    --architecture ${ARCH} --config.entrypoint /${name})
run(umoci gc --layout "${layout}")
run(tar --sort=name --mtime=@${epoch} --owner=0 --group=0 --numeric-owner --mode=go-w,a+rX
    -C "${layout}" -cf "${IMAGE}" .)
file(REMOVE_RECURSE "${WORK}")
