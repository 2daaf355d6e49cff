# The desktop agent of receiving computers: a static library (tested in
# halvenor_tests) and the `agent` program in dist/. Tcl/Tk 8.6 draws its
# alert windows.

file(GLOB HALVENOR_AGENT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/agent/*.cpp)
list(FILTER HALVENOR_AGENT_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")
add_library(halvenor_agent STATIC ${HALVENOR_AGENT_SOURCES})
target_link_libraries(halvenor_agent PUBLIC halvenor_net halvenor_tk)

add_executable(agent ${CMAKE_SOURCE_DIR}/agent/main.cpp)
target_link_libraries(agent PRIVATE halvenor_agent)
set_target_properties(agent PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${HALVENOR_DIST})

target_link_libraries(halvenor_tests PRIVATE halvenor_agent)
add_dependencies(halvenor_tests agent)
