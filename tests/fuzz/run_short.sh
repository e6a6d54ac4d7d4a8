#!/usr/bin/env bash
# A short fuzz pass for CI: every target under tests/fuzz for FUZZ_SECONDS (30 by default) from a
# copy of its seed corpus. Any finding fails the run and leaves its input in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${FUZZ_SECONDS:-30}"
build=build/fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPMTSYS_FUZZ=ON -DPMTSYS_TESTS=OFF -DPMTSYS_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" --target fuzz >"$build/build.log" 2>&1 ||
  { cat "$build/build.log"; exit 1; }
mkdir -p "$build/findings"
for source in tests/fuzz/*/fuzz_*.cpp; do
  target=$(basename "$source" .cpp)
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  if [ -d "$(dirname "$source")/corpus" ]; then cp -r "$(dirname "$source")/corpus/." "$corpus"; fi
  echo "== $target (${seconds} s)"
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -artifact_prefix="$build/findings/" \
    -print_final_stats=1 "$corpus" 2>&1 | grep -E "^stat::number_of_executed_units|^Done|ERROR|check failed"
done
