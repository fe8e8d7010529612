#!/usr/bin/env bash
# Builds the core benchmark in Release mode and runs it. Arguments go to the
# benchmark: an optional largest graph size (default 1000000).
set -euo pipefail
cd "$(dirname "$0")/.."
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCORVANE_BUILD_BENCHMARKS=ON -DCORVANE_BUILD_TESTS=OFF -DCORVANE_SANITIZE= >/dev/null
cmake --build build/bench -j 2 --target corvane_core_bench >/dev/null
exec build/bench/benchmarks/corvane_core_bench "$@"
