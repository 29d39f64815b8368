# SPDX-License-Identifier: MIT
# Writes an OCI image layout, as one tar, whose root file system holds only the static binary,
# stripped as the package ships it, with the probe as its entrypoint. Run as cmake -DBINARY=...
# -DSTRIP=... -DNAME=... -DARCH=... -DVERSION=... -DSOURCE=... -DIMAGE=... -DWORK=...
# -P image.cmake, where ARCH is the image's (OCI) architecture and SOURCE the project's address for
# the image's labels. Every time stamp is SOURCE_DATE_EPOCH's where it is set, so two builds of one
# binary are the same to the byte.
string(TIMESTAMP epoch "%s" UTC)
string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)
set(layout "${WORK}/layout")
set(bundle "${WORK}/bundle")
# The layout's one tag is the full name, which podman loads the image under (as localhost/NAME).
set(ref "${layout}:${NAME}:${VERSION}")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK}" OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()
run(umoci init --layout "${layout}")
run(umoci new --image "${ref}")
# Unpacked and packed again rootless, so that the layer's files are root's whoever builds it.
run(umoci unpack --rootless --image "${ref}" "${bundle}")
file(COPY "${BINARY}" DESTINATION "${bundle}/rootfs" FILE_PERMISSIONS OWNER_READ OWNER_WRITE
     OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
get_filename_component(name "${BINARY}" NAME)
# Stripped in place by the target's strip with no option, as CPack strips the package's copy, so
# that the image and the package carry the same bytes.
run("${STRIP}" "${bundle}/rootfs/${name}")
# The root's mode is the layer's "." entry: 0755 whatever the builder's umask made it.
file(CHMOD "${bundle}/rootfs" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
run(touch -d @${epoch} "${bundle}/rootfs/${name}" "${bundle}/rootfs")
run(umoci repack --history.created ${created} --history.created_by "${name} ${VERSION}"
    --image "${ref}" "${bundle}")
set(label --config.label org.opencontainers.image)
run(umoci config --image "${ref}" --no-history --created ${created} --os linux
    --architecture ${ARCH} --config.entrypoint /${name} ${label}.title=${NAME}
    ${label}.version=${VERSION} ${label}.licenses=MIT ${label}.source=${SOURCE})
run(umoci gc --layout "${layout}")

# Docker loads only its own archive: its manifest.json beside the layout's index.json names the
# same blobs (the one layer umoci made), and the name the image is loaded under.
file(READ "${layout}/index.json" index)
string(JSON digest GET "${index}" manifests 0 digest)
string(REPLACE "sha256:" "blobs/sha256/" path "${digest}")
file(READ "${layout}/${path}" manifest)
string(JSON config GET "${manifest}" config digest)
string(REPLACE "sha256:" "blobs/sha256/" config "${config}")
string(JSON layer GET "${manifest}" layers 0 digest)
string(REPLACE "sha256:" "blobs/sha256/" layer "${layer}")
string(JSON archive SET "[{}]" 0 Config "\"${config}\"")
string(JSON archive SET "${archive}" 0 RepoTags "[\"${NAME}:${VERSION}\"]")
string(JSON archive SET "${archive}" 0 Layers "[\"${layer}\"]")
file(WRITE "${layout}/manifest.json" "${archive}\n")

run(tar --sort=name --mtime=@${epoch} --owner=0 --group=0 --numeric-owner --mode=go-w,a+rX
    -C "${layout}" -cf "${IMAGE}.tmp" .)
# Renamed into place: a test reading the last image while this one is written reads it whole.
file(RENAME "${IMAGE}.tmp" "${IMAGE}")
file(REMOVE_RECURSE "${WORK}")
