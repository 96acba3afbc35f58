#!/usr/bin/env bash
# Builds an optimised tree and runs the benchmark; prints the machine, then a Markdown table
# whose rows give our figure, the reference measured in the same run and their ratio
# (median of interleaved rounds, above 1 is better than the reference).
#   bench/run.sh [--quick] [--rounds N] [--only GROUP] [DIR]
# GROUP: read, tiny, tolerant, png, index, convert, write, http. DIR keeps the generated inputs (default
# $TMPDIR or /tmp); writes go to DIR (disk) and /dev/shm (tmpfs).
set -euo pipefail
cd "$(dirname "$0")/.."

# What the benchmark needs beyond the build: its peers, nginx and curl, and perf for
# looking into a case (perf stat -e task-clock,page-faults build-bench/bin/avi_bench --only ...).
NEEDS=(ffmpeg nginx-light curl libcurl4-openssl-dev libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
       pkg-config linux-perf)
missing=()
for p in "${NEEDS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target avi_bench avitool >&2

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores," \
     "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), Linux $(uname -r)"
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
exec build-bench/bin/avi_bench "$@"
