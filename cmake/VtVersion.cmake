# vt_stamp_version(<target>): the target carries the project version (the one source of
# version numbers, also shown in the window titles) as an ELF note that the update engine
# reads back. Every deliverable is stamped; other files count as version 0.0.0.0.
string(REPLACE "." ";" _vt_parts "${PROJECT_VERSION}")
list(GET _vt_parts 0 VT_V0)
list(GET _vt_parts 1 VT_V1)
list(GET _vt_parts 2 VT_V2)
list(GET _vt_parts 3 VT_V3)
configure_file(${CMAKE_SOURCE_DIR}/cmake/VersionNote.c.in ${CMAKE_BINARY_DIR}/generated/VersionNote.c @ONLY)

function(vt_stamp_version target)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated/VersionNote.c)
endfunction()
