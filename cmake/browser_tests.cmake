# Browser tests of the dashboard: headless Chromium against the built server
# and its dist/ web files (both are built by the default target). The runner
# skips with exit code 0 when Chromium is missing on a developer machine and
# fails in CI (environment variable CI set).
add_test(NAME browser_dashboard
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/browser/run_browser_tests.sh ${HALVENOR_DIST})
# Serial: the browser and the server it starts need the machine's two cores.
set_tests_properties(browser_dashboard PROPERTIES TIMEOUT 900 RUN_SERIAL TRUE)
