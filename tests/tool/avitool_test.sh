#!/usr/bin/env bash
# Runs the built avitool as a user would: avitool_test.sh TOOL CASE
set -euo pipefail
TOOL=$1; CASE=$2
WORK=$(mktemp -d); trap 'rm -rf "$WORK"' EXIT; cd "$WORK"

die() { echo "FAIL: $*" >&2; exit 1; }
need_ffmpeg() { command -v ffmpeg >/dev/null || { echo "ffmpeg not installed: skipped"; exit 0; }; }
# Frame hashes of any input, as ffmpeg decodes it to packed RGB.
hashes() { ffmpeg -v error -i "$1" -map 0:v -vf "${2:-null}" -pix_fmt rgb24 -f framemd5 - | grep -v '^#' | awk -F, '{print $NF}'; }
json_field() { sed -n "s/.*\"$2\":\([^,}]*\).*/\1/p" <<<"$1" | head -1; }

make_sources() {
  ffmpeg -v error -f lavfi -i testsrc=size=35x21:rate=10 -t 1 img_%03d.png
  ffmpeg -v error -f lavfi -i sine=f=440:r=22050 -t 1 -ac 2 -c:a pcm_s16le in.wav
}

case $CASE in
roundtrip)  # create -> info -> frames -> check, each compared with ffmpeg's view
  need_ffmpeg; make_sources
  "$TOOL" create out.avi --size 35x21 --fps 10 --images . --audio in.wav
  info=$("$TOOL" info --json out.avi)
  [ "$(json_field "$info" frames)" = 10 ] || die "frames in $info"
  [ "$(json_field "$info" width)" = 35 ] || die "width in $info"
  [ "$(json_field "$info" sample_rate)" = 22050 ] || die "rate in $info"
  probe=$(ffprobe -v error -count_packets -select_streams v -show_entries stream=width,height,nb_read_packets -of csv=p=0 out.avi)
  [ "$probe" = "35,21,10" ] || die "ffprobe sees $probe"
  "$TOOL" frames out.avi -o png
  [ "$(ls png | wc -l)" = 10 ] || die "frame files: $(ls png)"
  [ "$(hashes 'img_%03d.png')" = "$(hashes png/frame_%06d.png)" ] || die "exported PNGs differ from the sources"
  [ "$(hashes out.avi)" = "$(hashes 'img_%03d.png')" ] || die "ffmpeg decodes other frames"
  "$TOOL" frames out.avi -o - --format ppm --range 3:5 > two.ppm
  [ "$(ffmpeg -v error -f ppm_pipe -i two.ppm -pix_fmt rgb24 -f framemd5 - | grep -vc '^#')" = 2 ] || die "ppm range"
  "$TOOL" check out.avi | grep -q ': ok$' || die "check"
  ;;
depths)  # every bit depth survives create -> check, and ffmpeg agrees on the pictures
  need_ffmpeg; make_sources
  for bits in 8 16 24 32; do
    "$TOOL" create d$bits.avi --size 35x21 --fps 10 --bits $bits --images .
    "$TOOL" check d$bits.avi >/dev/null || die "check of $bits bits"
    "$TOOL" frames d$bits.avi -o f$bits
    # 5-bit channels are compared at 5 bits: decoders widen them in different ways.
    fmt=null; [ $bits = 16 ] && fmt="lutrgb=r=bitand(val\\,248):g=bitand(val\\,248):b=bitand(val\\,248)"
    [ "$(hashes "f$bits/frame_%06d.png" $fmt)" = "$(hashes d$bits.avi $fmt)" ] || die "$bits bits: ours and ffmpeg's frames differ"
  done
  ;;
audio)  # the WAV written back holds the same samples
  need_ffmpeg; make_sources
  "$TOOL" create a.avi --size 35x21 --fps 10 --images . --audio in.wav
  "$TOOL" audio a.avi -o back.wav
  cmp <(ffmpeg -v error -i back.wav -f s16le -) <(ffmpeg -v error -i in.wav -f s16le -) || die "audio differs"
  ;;
raw)  # raw frames piped out and back in make the same file content
  need_ffmpeg; make_sources
  "$TOOL" create a.avi --size 35x21 --fps 10 --images .
  "$TOOL" frames a.avi -o - | "$TOOL" create b.avi --size 35x21 --fps 10 --raw -
  cmp <("$TOOL" frames a.avi -o -) <("$TOOL" frames b.avi -o -) || die "raw frames differ"
  ;;
failures)  # clear errors and non-zero exits
  need_ffmpeg; make_sources
  if "$TOOL" info missing.avi 2>err; then die "missing file accepted"; fi
  grep -q "error 3: .*missing.avi" err || die "message: $(cat err)"
  "$TOOL" create ok.avi --size 35x21 --fps 10 --images .
  head -c 30000 ok.avi > cut.avi
  if "$TOOL" check cut.avi >out 2>&1; then die "truncated file passed the check"; fi
  if "$TOOL" create bad.avi --size 36x21 --fps 10 --images . 2>err; then die "wrong size accepted"; fi
  grep -q "is not 36x21" err || die "message: $(cat err)"
  if "$TOOL" frames ok.avi -o - --range 5 2>/dev/null; then die "bad range accepted"; fi
  for sub in info frames audio create check; do "$TOOL" $sub --help >/dev/null || die "$sub --help"; done
  if "$TOOL" 2>/dev/null; then die "no subcommand accepted"; fi
  ;;
*) die "unknown case $CASE" ;;
esac
echo ok
