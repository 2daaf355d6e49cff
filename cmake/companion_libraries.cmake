# Libraries of the setup companion: libzip writes the agent installation
# bundles.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
target_link_libraries(halvenor_features PUBLIC PkgConfig::LIBZIP)
