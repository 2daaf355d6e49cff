#!/usr/bin/env bash
# Installs what is needed, builds, creates a demonstration installation in
# ./demo (once) and starts the service in exercise mode, over HTTPS on
# loopback with the installation's own local authority, so that desktop
# agents can enrol with demo/agent-rollout.json.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target server agent dist_files make_demo_install
port=${PORT:-8765}
deployment=demo/data/deployment
if [ ! -f demo/data/config.json ]; then
  build/tools/make_demo_install --folder demo --https-port "${port}" >/dev/null
elif [ ! -f "${deployment}/server.cer" ]; then
  echo "demo/ was made before the demonstration served HTTPS; remove it (rm -r demo) and run this again." >&2
  exit 1
fi
token=$(awk '$1=="operator"{print $3}' demo/data/demo-credentials.txt)
echo
echo "Dashboard:      https://localhost:${port}/"
echo "                (its certificate authority, for the browser: ${deployment}/ca.cer)"
echo "Operator token: ${token}"
echo "(administrator, auditor and receiving-computer credentials: demo/data/demo-credentials.txt)"
echo "Agent window:   build/dist/agent --enrol demo/agent-rollout.json --state-dir demo/agent &&"
echo "                build/dist/agent --state-dir demo/agent"
echo
exec build/dist/server --config demo/data/config.json --db demo/data/core.sqlite3 --port "${port}" \
  --cert "${deployment}/server.cer" --key "${deployment}/server-key.pem" --public-host "localhost:${port}"
