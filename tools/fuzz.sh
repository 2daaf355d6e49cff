#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# from the committed seed corpus (new inputs go to a scratch folder, never
# into the repository). Exits non-zero on the first finding.
#   tools/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DHALVENOR_FUZZ=ON >/dev/null
targets=$(cd tests/fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//')
cmake --build build-fuzz -j "$(nproc)" --target $targets
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in $targets; do
  corpus=tests/fuzz/corpus/${target%_fuzz}
  mkdir -p "$scratch/$target"
  echo "== $target (${seconds}s)"
  build-fuzz/fuzz/$target -max_total_time="$seconds" -max_len=20000 -timeout=10 \
    -artifact_prefix="$scratch/$target-" -print_final_stats=1 "$scratch/$target" "$corpus" 2>&1 \
    | grep -E "^(stat::number_of_executed_units|stat::new_units_added|==|SUMMARY|Done)" || true
  if ls "$scratch/$target-"* >/dev/null 2>&1; then
    echo "finding in $target:"; ls "$scratch/$target-"*; exit 1
  fi
done
