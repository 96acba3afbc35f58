#!/usr/bin/env bash
# Installs what the build and the tests need, checks that every C/C++ file is formatted as
# .clang-format says (scripts/check-format.sh), builds with warnings as errors and runs every
# test of the default suite; then valgrind over a reading and a writing test, a build and run
# of the example against the installed tree, the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short fuzzing run.
#   ./test.sh            everything below
#   SKIP_SANITIZE=1 SKIP_FUZZ=1 SKIP_VALGRIND=1 ./test.sh   leave those parts out
#   ./test.sh -L large   pass extra arguments to ctest (the large-file label, for example)
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
# Formatting first: an unformatted file fails the run before minutes of building.
scripts/check-format.sh

JOBS=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVI_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  # shellcheck disable=SC2086
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" ${CTEST_ARGS:--LE large})
}

CTEST_ARGS="${*:-}" run_suite build
# With ctest arguments (./test.sh -L large), only that selection runs.
[ $# -gt 0 ] && exit 0

# valgrind's memcheck over one reading and one writing test.
if [ -z "${SKIP_VALGRIND:-}" ]; then
  valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite build/bin/avi_tests \
    --gtest_filter='Read.SequentialAndNumberedFramesThroughEachIndexSource:WriteLayout.OddChunksAndAllThreeIndexes'
fi

# The installed tree: headers, libraries, tool and plug-in, found by CMake and by pkg-config.
PREFIX=$(mktemp -d); trap 'rm -rf "$PREFIX"' EXIT
cmake --install build --prefix "$PREFIX/usr" >/dev/null
test -f "$PREFIX/usr/bin/darm64/libvxshared_multimedia_utils_remote_file_handler.dylib"
cmake -S examples/consumer -B "$PREFIX/consumer" -DCMAKE_PREFIX_PATH="$PREFIX/usr" >/dev/null
cmake --build "$PREFIX/consumer" >/dev/null
"$PREFIX/consumer/avi_consumer" "$PREFIX/cmake.avi"
g++ -std=c++17 examples/consumer/main.cpp -o "$PREFIX/pc_consumer" \
  $(PKG_CONFIG_PATH="$PREFIX/usr/lib/pkgconfig" pkg-config --cflags --libs vxshared_multimedia_utils_avi)
"$PREFIX/pc_consumer" "$PREFIX/pc.avi"
"$PREFIX/usr/bin/avitool" check "$PREFIX/pc.avi"
if [ -z "${SKIP_SANITIZE:-}" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-sanitize -DAVI_SANITIZE=ON
fi

# A short fuzzing run of each target (the long run: fuzz/run.sh 1800).
if [ -z "${SKIP_FUZZ:-}" ]; then
  fuzz/run.sh "${FUZZ_SECONDS:-45}"
fi
