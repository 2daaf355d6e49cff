# Cross-building the Windows agent with Debian's MinGW-w64 (posix threads):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# The top level also includes every cmake/*.cmake once its compilers are
# known; a toolchain file read then would retarget nothing but confuse the
# host build.
if(DEFINED CMAKE_CXX_COMPILER_ID)
  return()
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(HALVENOR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HALVENOR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HALVENOR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${HALVENOR_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${HALVENOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 10 and later: the agent uses CNG and WinHTTP calls from Vista on.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX)
# An exe that needs nothing but Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# nlohmann/json is header-only: Debian's copy serves the cross-build too,
# through a folder that holds nothing else (adding /usr/include itself would
# put the host's C library headers in front of MinGW's).
set(HALVENOR_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
if(NOT EXISTS ${HALVENOR_CROSS_INCLUDE}/nlohmann)
  file(MAKE_DIRECTORY ${HALVENOR_CROSS_INCLUDE})
  file(CREATE_LINK /usr/include/nlohmann ${HALVENOR_CROSS_INCLUDE}/nlohmann SYMBOLIC)
endif()
set(CMAKE_CXX_FLAGS_INIT "-isystem ${HALVENOR_CROSS_INCLUDE}")
