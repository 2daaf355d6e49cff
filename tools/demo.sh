#!/usr/bin/env bash
# Installs what is needed, builds, creates a demonstration installation in
# ./demo (once) and starts the service on loopback in exercise mode.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target server dist_files make_demo_install
port=${PORT:-8765}
if [ ! -f demo/data/config.json ]; then
  build/tools/make_demo_install --folder demo >/dev/null
fi
token=$(awk '$1=="operator"{print $3}' demo/data/demo-credentials.txt)
echo
echo "Dashboard:      http://127.0.0.1:${port}/"
echo "Operator token: ${token}"
echo "(administrator, auditor and receiving-computer credentials: demo/data/demo-credentials.txt)"
echo
exec build/dist/server --config demo/data/config.json --db demo/data/core.sqlite3 --port "${port}"
