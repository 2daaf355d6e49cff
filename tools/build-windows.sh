#!/usr/bin/env bash
# Cross-builds the Windows agent: build-windows/dist/halvenor-agent.exe and
# build-windows/dist/halvenor-agent.msi. Installs the Debian packages it
# needs first (as root, or through sudo). When the Linux build's dist/ exists,
# the MSI is also put into build/dist/packages/ as
# halvenor-agent_VERSION_x64.msi, where the server offers agent packages to
# administrators.
#
#   tools/build-windows.sh            # build
#   tools/build-windows.sh --deps     # only install the packages (the Wine tests need them too)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-windows
packages=(cmake make g++-mingw-w64-x86-64-posix msitools wixl wine wine64 xvfb xauth imagemagick xserver-xephyr x11-xserver-utils)

install_packages() {
  local missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "build-windows: installing ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

install_packages
[ "${1:-}" = "--deps" ] && exit 0

version=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt" | head -1)
source_dir=$root
# Until the top level knows the Windows build, a small one of its own adds
# the agent's folder (which builds base/ and platform/ itself when needed).
if ! grep -q "agent/windows" "$root/CMakeLists.txt"; then
  source_dir=$out/top
  mkdir -p "$source_dir"
  cat > "$source_dir/CMakeLists.txt" <<TOP
cmake_minimum_required(VERSION 3.22)
project(halvenor_mass_communication VERSION $version LANGUAGES C CXX)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
add_compile_options(-Wall -Wextra -Werror)
add_subdirectory($root/agent/windows agent-windows)
TOP
fi

mkdir -p "$out"
cmake -S "$source_dir" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DHALVENOR_WERROR=ON >"$out/configure.log" 2>&1 || {
  cat "$out/configure.log"
  exit 1
}
flock /tmp/halvenor-winbuild.lock cmake --build "$out" --target halvenor-agent -j2

mkdir -p "$out/dist"
exe=$(find "$out" -name halvenor-agent.exe -path "*dist*" | head -1)
[ "$exe" = "$out/dist/halvenor-agent.exe" ] || cp "$exe" "$out/dist/halvenor-agent.exe"
# wixl wants the file beside it, named relatively.
(cd "$out/dist" && wixl -a x64 -D Version="$version" -D AgentExe=halvenor-agent.exe \
  -o halvenor-agent.msi "$root/packaging/windows/halvenor-agent.wxs")

if [ -d "$root/build/dist" ]; then
  mkdir -p "$root/build/dist/packages"
  cp "$out/dist/halvenor-agent.msi" "$root/build/dist/packages/halvenor-agent_${version}_x64.msi"
fi
echo "build-windows: $out/dist/halvenor-agent.exe and $out/dist/halvenor-agent.msi"
