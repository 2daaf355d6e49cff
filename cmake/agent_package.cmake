# The desktop agent's Debian package, in dist/packages/ where the server
# offers it to administrators: cmake --build build --target agent-package
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE HALVENOR_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(HALVENOR_DEB_ARCH)
  set(HALVENOR_AGENT_DEB ${HALVENOR_DIST}/packages/halvenor-agent_${PROJECT_VERSION}_${HALVENOR_DEB_ARCH}.deb)
  add_custom_command(
    OUTPUT ${HALVENOR_AGENT_DEB}
    COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/agent/build-deb.sh $<TARGET_FILE:agent> ${PROJECT_VERSION}
            ${HALVENOR_DIST}/packages
    DEPENDS agent ${CMAKE_SOURCE_DIR}/packaging/agent/build-deb.sh
            ${CMAKE_SOURCE_DIR}/packaging/agent/halvenor-agent.service
            ${CMAKE_SOURCE_DIR}/packaging/agent/halvenor-agent.desktop
    VERBATIM)
  add_custom_target(agent-package DEPENDS ${HALVENOR_AGENT_DEB})
  # The tests check what the package holds.
  add_dependencies(halvenor_tests agent-package)
endif()
