# The first-install program: a Tk window (or an unattended command line) that
# installs the server into one folder. Its logic lives in a library so the
# tests link it too.

file(GLOB HALVENOR_FIRSTRUN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/firstrun/*.cpp)
list(FILTER HALVENOR_FIRSTRUN_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")

add_library(halvenor_firstrun STATIC ${HALVENOR_FIRSTRUN_SOURCES})
target_link_libraries(halvenor_firstrun PUBLIC halvenor_features halvenor_tk)

add_executable(firstrun ${CMAKE_SOURCE_DIR}/firstrun/main.cpp)
target_link_libraries(firstrun PRIVATE halvenor_firstrun)
set_target_properties(firstrun PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${HALVENOR_DIST})

target_link_libraries(halvenor_tests PRIVATE halvenor_firstrun)
add_dependencies(halvenor_tests firstrun)
