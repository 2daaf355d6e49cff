#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: does nothing when everything is already installed.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libsqlite3-dev sqlite3        # the store
  libssl-dev openssl            # TLS, X.509, SHA-256, random; the CLI checks issued chains in tests
  nlohmann-json3-dev            # JSON values and parsing
  libgtest-dev googletest       # unit and process tests
  curl ca-certificates          # smoke checks in scripts
)

# Further areas list their packages one per line in tools/packages/*.txt.
here=$(dirname "$0")
for list in "$here"/packages/*.txt; do
  [ -f "$list" ] || continue
  while read -r p _; do
    case "$p" in ""|\#*) ;; *) packages+=("$p") ;; esac
  done < "$list"
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
