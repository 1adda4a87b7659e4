# The release bundle, morvelt-<version>-linux-i386.tar.gz: the stripped plug-in with its debug
# symbols beside it, the two tools (morvelt, morvelt-sim), the operators' and room designers'
# documentation, the licence, the changes and the example script, with their SHA256SUMS. scripts/package.sh builds it (preset "package"); cmake/make_bundle.sh packs it.
set(bundle_archive ${CMAKE_BINARY_DIR}/morvelt-${PROJECT_VERSION}-linux-i386.tar.gz)
# Each file copied into the bundle, as SOURCE=NAME_IN_THE_BUNDLE.
set(bundle_documents
  ${CMAKE_SOURCE_DIR}/docs/OPERATORS.md=README.md
  ${CMAKE_SOURCE_DIR}/docs/DATA_FILE.md=DATA_FILE.md
  ${CMAKE_SOURCE_DIR}/docs/ROOM_DESIGNERS.md=ROOM_DESIGNERS.md
  ${CMAKE_SOURCE_DIR}/LICENSE=LICENSE
  ${CMAKE_SOURCE_DIR}/CHANGELOG.md=CHANGELOG.md
  ${CMAKE_SOURCE_DIR}/examples/stats-story.script=stats-story.script)
set(bundle_sources ${bundle_documents})
list(TRANSFORM bundle_sources REPLACE "=.*" "")

add_custom_command(OUTPUT ${bundle_archive}
  COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/make_bundle.sh ${bundle_archive}
    $<TARGET_FILE:morvelt> $<TARGET_FILE:morvelt-data> $<TARGET_FILE:morvelt-sim> ${bundle_documents}
  DEPENDS morvelt morvelt-data morvelt-sim ${bundle_sources} ${CMAKE_SOURCE_DIR}/cmake/make_bundle.sh
  COMMENT "Packing ${bundle_archive}"
  VERBATIM)
add_custom_target(bundle DEPENDS ${bundle_archive})
