# SPDX-License-Identifier: MIT
# The software bill of materials of one architecture's package, from the build's own facts: the
# packaged binary, its digests, and the musl linked into it as the package's Built-Using names it.
# Run as cmake -DBINARY=... -DNAME=... -DVERSION=... -DARCH=... -DBUILT_USING=... -DURL=...
# [-DCOMMIT=... [-DCHANGED=ON]] -DOUTPUT=... -P sbom.cmake: writes OUTPUT.spdx.json (SPDX 2.3) and
# OUTPUT.cdx.json (CycloneDX 1.6). COMMIT is the git commit of the source, CHANGED that the source
# had changes not committed to it; without COMMIT the documents say that none is known. Their time
# and the SPDX namespace come from SOURCE_DATE_EPOCH, so that one binary under one
# SOURCE_DATE_EPOCH gives the same documents.
if(NOT BUILT_USING MATCHES "^musl \\(= ([^)]+)\\)$")
  message(FATAL_ERROR "${BINARY}: its package names no musl in Built-Using ('${BUILT_USING}')")
endif()
set(musl_version "${CMAKE_MATCH_1}")
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not set: the documents' time would be this run's")
endif()
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
file(SHA256 "${BINARY}" sha256)
# SPDX 2.3 requires a file's SHA-1 beside any other digest.
file(SHA1 "${BINARY}" sha1)
string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)
get_filename_component(document "${OUTPUT}" NAME)
set(namespace "${URL}spdx/${document}-${epoch}")
# CycloneDX's serial number, a UUID made from the namespace (the name-based layout of RFC 4122).
string(SHA1 uuid "${namespace}")
string(REGEX REPLACE "^(........)(....).(...).(...)(............).*$" "\\1-\\2-5\\3-8\\4-\\5"
       uuid "${uuid}")
set(purl "pkg:deb/debian/musl@${musl_version}?arch=source")
# The source: SPDX's package source information, CycloneDX's pedigree of the component.
if(COMMIT)
  string(LENGTH "${COMMIT}" length)
  if(NOT COMMIT MATCHES "^[0-9a-f]+$" OR NOT length MATCHES "^(40|64)$")
    message(FATAL_ERROR "COMMIT=${COMMIT}: not a git commit's name")
  endif()
  set(source_info "built from git commit ${COMMIT}")
  set(pedigree "{\"commits\": [{\"uid\": \"${COMMIT}\"}]}")
  if(CHANGED)
    string(APPEND source_info ", with changes not committed to it")
    set(pedigree "{\"commits\": [{\"uid\": \"${COMMIT}\"}], \"notes\": \"${source_info}\"}")
  endif()
else()
  set(source_info "not built from a git checkout: no commit is known")
  set(pedigree "{\"notes\": \"${source_info}\"}")
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/sbom.spdx.json.in" "${OUTPUT}.spdx.json" @ONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/sbom.cdx.json.in" "${OUTPUT}.cdx.json" @ONLY)
