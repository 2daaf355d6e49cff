#!/usr/bin/env bash
# Runs the dashboard's browser tests (headless Debian Chromium driven by
# playwright-core) against the built service.
#   run_browser_tests.sh DIST_DIR
# DIST_DIR is the build's dist/ folder (server with web/ and assets/ beside it).
# Without Chromium the tests are skipped on a developer machine, never in CI.
# npm dependencies are installed here with `npm ci` and cached in node_modules.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
dist=$(cd "${1:?usage: run_browser_tests.sh DIST_DIR}" && pwd)
chromium=${HALVENOR_CHROMIUM:-/usr/bin/chromium}

if [ ! -x "$chromium" ]; then
  if [ -z "${CI:-}" ]; then
    echo "browser_dashboard: skipped: $chromium is not installed (tools/install-deps.sh installs it)"
    exit 0
  fi
  echo "browser_dashboard: $chromium is missing, and browser tests are required in CI" >&2
  exit 1
fi
for tool in node npm; do
  if ! command -v "$tool" >/dev/null; then
    echo "browser_dashboard: $tool is missing (tools/install-deps.sh installs nodejs)" >&2
    exit 1
  fi
done
if [ ! -x "$dist/server" ] || [ ! -f "$dist/web/index.html" ]; then
  echo "browser_dashboard: $dist has no built server and web files; build the project first" >&2
  exit 1
fi

# One install at a time, and only when the lock file changed since the last.
(
  flock 9
  cd "$here"
  if [ ! -f node_modules/.halvenor-installed ] || [ package-lock.json -nt node_modules/.halvenor-installed ]; then
    npm ci --no-audit --no-fund --loglevel=error
    touch node_modules/.halvenor-installed
  fi
) 9>"${TMPDIR:-/tmp}/halvenor-browser-npm.lock"

export HALVENOR_DIST_DIR="$dist"
export HALVENOR_CHROMIUM="$chromium"
export HALVENOR_ARTIFACTS="${HALVENOR_ARTIFACTS:-$source_root/tests/artifacts/browser}"
mkdir -p "$HALVENOR_ARTIFACTS"
cd "$here"
exec node --test --test-concurrency=1 --test-reporter=tap dashboard.test.mjs
