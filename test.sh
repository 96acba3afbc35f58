#!/usr/bin/env bash
# Installs what the build and the tests need, builds with warnings as errors and runs every
# test of the default suite; then the same suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#   ./test.sh            everything below
#   SKIP_SANITIZE=1 ./test.sh   only the plain build
#   ./test.sh -L large   pass extra arguments to ctest (the large-file label, for example)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make pkg-config libboost-filesystem-dev libboost-system-dev libgtest-dev libgmock-dev
          libbenchmark-dev libcurl4-openssl-dev libpng-dev libcli11-dev ffmpeg nginx-light
          clang-14 libclang-rt-14-dev valgrind gstreamer1.0-tools gstreamer1.0-plugins-good)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

JOBS=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVI_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" -LE large ${CTEST_ARGS:-})
}

CTEST_ARGS="${*:-}" run_suite build
if [ -z "${SKIP_SANITIZE:-}" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    CTEST_ARGS="${*:-}" run_suite build-sanitize -DAVI_SANITIZE=ON
fi
