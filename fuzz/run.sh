#!/usr/bin/env bash
# Builds the fuzz targets with clang, ASan and UBSan, makes the seed corpus (our writer and
# ffmpeg) and runs each target for the given number of seconds.
#   fuzz/run.sh 45          # the CI run: 45 s per target
#   fuzz/run.sh 1800        # a long run: 30 minutes per target
# Findings are written to build-fuzz/findings/; the script fails if any target finds one.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
B=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B $B -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVI_FUZZ=ON -DAVI_SANITIZE=ON \
  -DAVI_WITH_REMOTE=OFF >/dev/null
cmake --build $B -j "$(nproc)" --target fuzz_read fuzz_write fuzz_make_seeds

SEEDS=$B/seeds
mkdir -p $SEEDS/read $SEEDS/write $B/findings
$B/bin/fuzz_make_seeds $SEEDS/read
if command -v ffmpeg >/dev/null; then
  for format in "bgr24 pcm_s16le 17x9" "pal8 pcm_u8 8x4" "rgb555le pcm_u8 5x3" "bgra pcm_s16le 4x4"; do
    set -- $format
    ffmpeg -v error -y -f lavfi -i "testsrc=size=$3:rate=5" -f lavfi -i "sine=r=8000" -t 0.6 \
      -c:v rawvideo -pix_fmt "$1" -c:a "$2" "$SEEDS/read/ff_$1.avi" || true
  done
fi
head -c 64 /dev/urandom > $SEEDS/write/random0
printf '\x07\x10\x10\x02\x01\x01\x20\x00\x02\x05\x00\x01\x00\x02\x01\x03\x00\x04\x01' > $SEEDS/write/both

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for t in fuzz_read fuzz_write; do
  mkdir -p $B/corpus/$t
  seeds=$SEEDS/read; [ $t = fuzz_write ] && seeds=$SEEDS/write
  echo "== $t for ${SECONDS_PER_TARGET}s"
  if ! $B/bin/$t $B/corpus/$t $seeds -dict=fuzz/avi.dict -max_total_time="$SECONDS_PER_TARGET" \
       -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10 -print_final_stats=1 \
       -artifact_prefix=$B/findings/$t- 2>$B/$t.log; then
    status=1
    tail -40 $B/$t.log
  fi
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|cov:' $B/$t.log | tail -3 || true
done
exit $status
