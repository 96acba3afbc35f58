#!/usr/bin/env bash
# Installs what the build needs, builds everything (library, plug-in, avitool, the sample
# clip) in build/, and shows avitool at work on the sample.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
build/bin/avitool info build/sample.avi
build/bin/avitool check build/sample.avi
build/bin/avitool frames build/sample.avi -o build/sample_frames --range 0:3
ls build/sample_frames
