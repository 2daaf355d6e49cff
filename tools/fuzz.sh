#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the library and the targets only,
# not the tests) and runs each for a bounded time from the committed seed
# corpus (new inputs go to a scratch folder, never into the repository).
# Prints each target's executions and exits non-zero on the first finding
# (a crash, a leak, a time-out or an out-of-memory input) or when a target
# fails to run.
#   tools/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
case "$seconds" in ''|*[!0-9]*|0) echo "usage: tools/fuzz.sh [SECONDS_PER_TARGET]" >&2; exit 2 ;; esac
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DHALVENOR_FUZZ=ON >/dev/null
targets=$(cd tests/fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//')
cmake --build build-fuzz -j "$(nproc)" --target $targets
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
total=0
for target in $targets; do
  corpus=tests/fuzz/corpus/${target%_fuzz}
  mkdir -p "$scratch/$target" "$corpus"
  echo "== $target (${seconds}s)"
  status=0
  build-fuzz/fuzz/$target -max_total_time="$seconds" -max_len=20000 -timeout=10 \
    -artifact_prefix="$scratch/$target-" -print_final_stats=1 "$scratch/$target" "$corpus" \
    > "$scratch/$target.log" 2>&1 || status=$?
  grep -E "^(stat::new_units_added|==[0-9]+==|SUMMARY)" "$scratch/$target.log" || true
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$target.log" | tail -1)
  echo "executions $target ${runs:-0}"
  total=$((total + ${runs:-0}))
  if [ "$status" -ne 0 ] || ls "$scratch/$target-"* >/dev/null 2>&1; then
    echo "finding in $target (exit status $status):"
    ls "$scratch/$target-"* 2>/dev/null || tail -40 "$scratch/$target.log"
    # The inputs are kept where they can be replayed: build-fuzz/findings/.
    mkdir -p build-fuzz/findings
    cp "$scratch/$target-"* build-fuzz/findings/ 2>/dev/null || true
    exit 1
  fi
done
echo "executions_total $total"
