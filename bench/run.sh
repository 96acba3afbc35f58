#!/usr/bin/env bash
# Builds an optimised tree and runs the benchmark; each line gives our figure, the reference
# measured in the same run, and their ratio (above 1 is better than the reference).
#   bench/run.sh [--quick] [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target avi_bench
exec build-bench/bin/avi_bench "$@"
