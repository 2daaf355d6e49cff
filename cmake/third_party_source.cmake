# The third-party licence and source archive served as /third-party-source.tar.gz.
#
# It is made from the installed Debian packages' copyright files (never
# retyped texts) and their versions, so it is generated at build time straight
# into dist/web. dist_files copies the source web/ folder over dist/web on
# every build; the archive is not in web/, and this target runs after that
# copy, so the copy never replaces it.

set(HALVENOR_THIRD_PARTY_ARCHIVE ${HALVENOR_DIST}/web/third-party-source.tar.gz)
set(HALVENOR_THIRD_PARTY_SCRIPT ${CMAKE_SOURCE_DIR}/tools/third-party-source/make-bundle.sh)

# Rebuilt when the script changes or a package is installed or upgraded.
set(HALVENOR_THIRD_PARTY_INPUTS ${HALVENOR_THIRD_PARTY_SCRIPT})
foreach(package libsqlite3-dev libsqlite3-0 libssl-dev libssl3 nlohmann-json3-dev tcl8.6 libtcl8.6 tk8.6
        libtk8.6 libgtest-dev googletest)
  if(EXISTS /usr/share/doc/${package}/copyright)
    list(APPEND HALVENOR_THIRD_PARTY_INPUTS /usr/share/doc/${package}/copyright)
  endif()
endforeach()
if(EXISTS /var/lib/dpkg/status)
  list(APPEND HALVENOR_THIRD_PARTY_INPUTS /var/lib/dpkg/status)
endif()

find_program(HALVENOR_BASH bash REQUIRED)
add_custom_command(
  OUTPUT ${HALVENOR_THIRD_PARTY_ARCHIVE}
  COMMAND ${HALVENOR_BASH} ${HALVENOR_THIRD_PARTY_SCRIPT} ${HALVENOR_THIRD_PARTY_ARCHIVE}
  DEPENDS ${HALVENOR_THIRD_PARTY_INPUTS}
  COMMENT "Building third-party-source.tar.gz from the installed packages' licence texts"
  VERBATIM)
add_custom_target(third_party_source ALL DEPENDS ${HALVENOR_THIRD_PARTY_ARCHIVE})
add_dependencies(third_party_source dist_files)
add_dependencies(halvenor_tests third_party_source)
