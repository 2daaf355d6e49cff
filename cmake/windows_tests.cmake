# The Windows agent under Wine against this build's server
# (tests/windows/run_wine_tests.sh), as one ctest. It needs the cross-build
# from tools/build-windows.sh, which CI runs before tools/test.sh; without it
# (or without Wine) the test passes as skipped on a developer's machine and
# fails in CI. Once per suite: the sanitizer build's server would only make
# the same checks slower.
if(WIN32 OR HALVENOR_SANITIZE)
  return()
endif()
add_test(NAME windows_agent_under_wine COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/run_wine_tests.sh)
set_tests_properties(windows_agent_under_wine PROPERTIES
  ENVIRONMENT "HALVENOR_BUILD_DIR=${CMAKE_BINARY_DIR};HALVENOR_WINDOWS_BUILD_DIR=${CMAKE_SOURCE_DIR}/build-windows"
  TIMEOUT 900)

# The Windows agent's screens (tests/windows/run_screen_tests.sh): the driver
# shows each kind of alert without a server, on one virtual monitor and on two
# side by side, and the script checks windows, stacking and screenshots.
add_test(NAME windows_agent_screens_under_wine COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/run_screen_tests.sh)
set_tests_properties(windows_agent_screens_under_wine PROPERTIES
  ENVIRONMENT "HALVENOR_WINDOWS_BUILD_DIR=${CMAKE_SOURCE_DIR}/build-windows"
  TIMEOUT 900 RUN_SERIAL TRUE)
