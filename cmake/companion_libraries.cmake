# Libraries of the setup and sign-in companions: libzip writes the agent
# installation bundles, libcurl carries the organisation sign-in code exchange
# and key-set download over HTTPS.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
find_package(CURL REQUIRED)
target_link_libraries(halvenor PUBLIC PkgConfig::LIBZIP CURL::libcurl)
