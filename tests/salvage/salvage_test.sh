#!/usr/bin/env bash
# Damaged files made at test time, repaired and compared with ffmpeg's decoding:
# salvage_test.sh TOOL CASE. Prints one line per file: frames repair recovered, frames ffmpeg
# recovered from the damaged file.
set -euo pipefail
TOOL=$1; CASE=$2
WORK=$(mktemp -d); trap 'rm -rf "$WORK"' EXIT; cd "$WORK"
command -v ffmpeg >/dev/null || { echo "ffmpeg not installed: skipped"; exit 0; }

die() { echo "FAIL: $CASE: $*" >&2; exit 1; }
# Frame hashes as ffmpeg decodes them, one per decoded frame; nothing for an unreadable file.
hashes() { ffmpeg -v quiet -i "$1" -map 0:v -pix_fmt rgb24 -fps_mode passthrough -f framemd5 - 2>/dev/null | grep -v '^#' | awk -F, '{print $NF}' || true; }
pcm() { ffmpeg -v quiet -i "$1" -map '0:a?' -f s16le - 2>/dev/null || true; }
reference() { hashes "$1" > "$2.h"; pcm "$1" > "$2.pcm"; }

# direct F [ORACLE]: avitool and the Python module (when PYTHON is set) read F itself, without
# repair, as ffmpeg reads ORACLE (F unless given): every frame at its time (a dropped frame
# repeats the one before, as ffmpeg's fps filter shows it; MJPEG frames as stored) and every
# audio sample.
direct() {
  local f=$1 o=${2:-$1} r codec
  r=$(ffprobe -v error -select_streams v -show_entries stream=codec_name,r_frame_rate -of csv=p=0 "$o")
  codec=${r%%,*} r=${r#*,}
  if [ "$codec" = mjpeg ]; then
    # ffmpeg also hands out the part of a JPEG that the file ends in; it is left out here.
    rm -rf dj; "$TOOL" -q frames "$f" -o dj || die "frames of $f"; cat dj/* >direct.raw
    cmp -s -n "$(wc -c <direct.raw)" <(ffmpeg -v error -i "$o" -map 0:v -c copy -f mjpeg -) direct.raw ||
      die "$f: JPEGs differ from ffmpeg's packets"
  else
    "$TOOL" frames "$f" -o - >direct.raw || die "frames of $f"
    ffmpeg -v error -i "$o" -map 0:v -vf fps="$r" -f rawvideo -pix_fmt bgr24 - | cmp -s - direct.raw || die "$f: frames differ from ffmpeg's"
  fi
  pcm "$o" >direct.pcm
  if [ -s direct.pcm ]; then
    "$TOOL" audio "$f" -o direct.wav -y && pcm direct.wav | cmp -s - direct.pcm || die "$f: audio differs from ffmpeg's"
  fi
  [ -z "${PYTHON:-}" ] && return
  "$PYTHON" - "$f" >py.frames 3>py.pcm <<'PY' || die "$f: the Python module fails"
import os, sys, avi
v = avi.open(sys.argv[1])
with os.fdopen(1, "wb") as frames, os.fdopen(3, "wb") as audio:
    for i in range(len(v)):
        frames.write(v.read_raw(i) if v.fourcc else v.read_frame(i).tobytes())
    if v.has_audio:
        audio.write(v.read_audio().tobytes())
PY
  cmp -s py.frames direct.raw && cmp -s py.pcm direct.pcm || die "$f: the Python module reads other bytes"
}

# expect REF DAMAGED [hints]: check flags DAMAGED; repair recovers, from its start, the frames
# of REF (a dropped frame comes back as a repeat of the one before) and a prefix of REF's
# audio, no less than ffmpeg gets from DAMAGED; check passes the repaired file.
expect() {
  local ref=$1 damaged=$2 ours ff audio; shift 2
  if "$TOOL" check "$damaged" >check.txt 2>&1; then die "check passes $damaged"; fi
  "$TOOL" repair "$damaged" rep.avi -y "$@" >report.txt || die "repair of $damaged: $(cat report.txt)"
  "$TOOL" check rep.avi >/dev/null || die "check of the repair of $damaged: $("$TOOL" check rep.avi 2>&1 | head -3)"
  hashes rep.avi | uniq >rep.h
  ours=$(wc -l <rep.h); ff=$(hashes "$damaged" | uniq | wc -l)
  [ "$ours" -ge 1 ] && [ "$ours" -ge "$ff" ] || die "$damaged: $ours frames repaired, ffmpeg reads $ff"
  head -n "$ours" "$ref.h" | cmp -s - rep.h || die "$damaged: repaired frames are not those of the original"
  pcm rep.avi >rep.pcm; audio=$(wc -c <rep.pcm)
  [ "$audio" -ge "$(pcm "$damaged" | wc -c)" ] || die "$damaged: less audio than ffmpeg reads"
  head -c "$audio" "$ref.pcm" | cmp -s - rep.pcm || die "$damaged: repaired audio is not the original's"
  # Without a header ffmpeg reads nothing: the repair, checked above, is the oracle then.
  if [ "$ff" -gt 0 ]; then direct "$damaged"; elif [ $# = 0 ]; then direct "$damaged" rep.avi; fi
  echo "$CASE $damaged: repair $ours frames, ffmpeg $ff frames; audio $audio bytes"
}

# ffmpeg rawvideo + PCM, cut at each of the offsets given (negative: from the end).
cuts() {
  local src=$1 at; shift; reference "$src" full
  for at in "$@"; do
    [ "$at" -lt 0 ] && at=$(($(stat -c%s "$src") + at)); head -c "$at" "$src" >cut_$at.avi; expect full cut_$at.avi
  done
}

# avitool create, fed raw frames through a FIFO and killed mid-write after SECONDS: killed_create
# SECONDS [create options]; leaves killed.avi (and its side file, if create wrote one). The
# same input run to its end gives the reference "src".
killed_create() {
  local wait=$1; shift
  local args=(--size 64x48 --fps 10 --raw - --audio in.wav "$@")
  if [ ! -e src.h ]; then
    ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10 -t 4 -pix_fmt bgr24 -f rawvideo src.raw
    ffmpeg -v error -f lavfi -i sine=f=440:r=8000 -t 4 -c:a pcm_s16le in.wav
    "$TOOL" create done.avi "${args[@]}" <src.raw; reference done.avi src
  fi
  rm -rf run; mkdir run; mkfifo run/frames
  "$TOOL" create run/k.avi "${args[@]}" <run/frames & local pid=$!
  exec 3>run/frames; head -c $((64 * 48 * 3 * 25)) src.raw >&3
  sleep "$wait"; kill -9 "$pid"; wait "$pid" 2>/dev/null || true; exec 3>&-
  rm run/frames
  for f in run/*; do case $f in *.recovery.json) mv "$f" killed.avi.recovery.json ;; *) mv "$f" killed.avi ;; esac; done
}

case $CASE in
gstreamer)  # avimux writes absolute idx1 offsets: the reader is handed wrong bytes
  command -v gst-launch-1.0 >/dev/null || { echo "GStreamer not installed: skipped"; exit 0; }
  v="videotestsrc num-buffers=20 ! video/x-raw,format=BGR,width=64,height=48,framerate=10/1"
  gst-launch-1.0 -q $v ! avimux ! filesink location=gv.avi
  gst-launch-1.0 -q $v ! queue ! mux. audiotestsrc num-buffers=20 samplesperbuffer=2205 \
    ! audio/x-raw,rate=22050,channels=2,format=S16LE ! queue ! mux. avimux name=mux ! filesink location=gva.avi
  for f in gv gva; do
    j=$("$TOOL" info --json $f.avi | tr -d ' \n')
    [[ $j == *'"index_offsets":"absolute"'*'"strict_same_bytes":false'* ]] || die "info misses the absolute offsets of $f.avi"
    if "$TOOL" frames --strict $f.avi -o - >strict.raw 2>/dev/null || [ -s strict.raw ]; then die "--strict hands out wrong bytes of $f.avi"; fi
    reference $f.avi $f; expect $f $f.avi; grep -q "idx1: *offsets are absolute" report.txt || die "$f.avi: idx1 not found absolute"
  done
  ;;
noidx)  # raw frames stored as 00dc, idx1 gone: the movi scan finds nothing; a prime number of samples
  ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=r=22051 -t 2 -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le n.avi
  reference n.avi n; at=$(grep -obUa idx1 n.avi | tail -1 | cut -d: -f1)
  printf JUNK | dd of=n.avi bs=1 seek="$at" conv=notrunc status=none
  expect n n.avi
  ;;
mjpeg)  # dropped frames are stored as empty chunks, which the reader refuses; a JPEG cut short is left out
  ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=r=22050 -t 2 \
    -vf "select='not(between(n,3,5))'" -fps_mode passthrough -c:v mjpeg -c:a pcm_s16le m.avi
  reference m.avi m; expect m m.avi; grep -q 'dropped frame.*avitool repair' check.txt || die "check does not explain: $(cat check.txt)"
  "$TOOL" repair m.avi rep.avi -y | grep -q '3 of them empty' || die "dropped frames not reported"
  at=$(grep -obUa 00dc m.avi | sed -n 12p | cut -d: -f1); head -c $((at + 300)) m.avi >mc.avi; expect m mc.avi  # cut in a JPEG
  [ "$(ffprobe -v error -show_entries stream=nb_frames -select_streams v -of csv=p=0 rep.avi)" = 10 ] || die "the cut JPEG was kept"
  ;;
dropped)  # a jump in time: ffmpeg stores the frames it skips as empty chunks
  ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=r=22050 -t 9 -c:v rawvideo -pix_fmt bgr24 \
    -vf "setpts='PTS+if(gte(N,10),1/TB,0)'" -fps_mode passthrough -c:a pcm_s16le d.avi
  reference d.avi d; expect d d.avi
  "$TOOL" info d.avi | grep -q '90 frames.* 10 of them dropped' || die "info: $("$TOOL" info d.avi)"
  rm -rf pd; "$TOOL" -q frames d.avi -o pd; [ "$(ls pd | wc -l)" = 80 ] && [ ! -e pd/frame_000010.png ] || die "files for dropped frames"
  ;;
cut)  # AVI 1.0 files cut in the header, in the data, in the index, at the last byte
  ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=r=22050 -t 2 -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le c.avi
  cuts c.avi 30001 150000 -500 -1
  head -c 4000 c.avi >h.avi
  set +e; "$TOOL" repair h.avi none.avi >/dev/null 2>&1; rc=$?; set -e
  [ $rc = 1 ] && [ ! -e none.avi ] || die "a file cut in its header: repair exits $rc"
  ;;
opendml)  # over 1 GiB: RIFF AVI and AVIX segments with OpenDML indexes, cut in both
  ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=22050 -t 200 -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le o.avi
  cuts o.avi 600000000 1100000000 -1
  ;;
killed)  # create killed mid-write: the file plays without repair up to its last checkpoint, and repairs fully
  for wait in 0.3 1.5; do
    killed_create $wait
    [ ! -e killed.avi.recovery.json ] || die "a side file beside a file with its header"
    hashes killed.avi >k.h; n=$(wc -l <k.h)
    [ "$n" -ge 1 ] && head -n "$n" src.h | cmp -s - k.h || die "killed at $wait s: ffmpeg reads $n frames, not the first ones"
    gst-launch-1.0 -q filesrc location=killed.avi ! avidemux ! videoconvert ! video/x-raw,format=BGR ! filesink location=g.raw
    [ -s g.raw ] && cmp -s g.raw <(head -c "$(wc -c <g.raw)" src.raw) || die "killed at $wait s: GStreamer reads other frames"
    "$TOOL" repair killed.avi rep.avi -y >report.txt; hashes rep.avi >rep.h
    [ "$(wc -l <rep.h)" -ge "$n" ] && head -n "$(wc -l <rep.h)" src.h | cmp -s - rep.h || die "killed at $wait s: repair"
    direct killed.avi
    echo "$CASE (killed at $wait s): ffmpeg $n frames, GStreamer $(($(wc -c <g.raw) / 9216)), repair $(wc -l <rep.h)"
  done
  # Killed between checkpoints: the chunks written after the last one are read as ffmpeg reads them.
  F=$((64 * 48 * 3)); mkfifo more; "$TOOL" create k2.avi --size 64x48 --fps 10 --raw - --audio in.wav --checkpoint 0.5 <more &
  pid=$!; exec 3>more; head -c $((F * 10)) src.raw >&3; sleep 1.2; dd if=src.raw bs=$F skip=10 count=15 status=none >&3
  sleep 0.2; kill -9 $pid; wait $pid 2>/dev/null || true; exec 3>&-
  n=$("$TOOL" info --json --strict k2.avi | python3 -c 'import json,sys; print(json.load(sys.stdin)["streams"][0]["nb_frames"])')
  [ "$n" -lt 25 ] || die "no chunk after the last checkpoint ($n frames checkpointed)"
  direct k2.avi
  ;;
fulldisk)  # without checkpoints, a full disk: the unclosed file ends inside a chunk, parameters from hints
  killed_create 1 --checkpoint 0
  [ -e killed.avi.recovery.json ] || die "create left no recovery side file"
  expect src killed.avi
  rm -f killed.avi.recovery.json
  head -c $(($(stat -c%s killed.avi) - 5000)) killed.avi >full.avi
  if "$TOOL" repair full.avi none.avi >/dev/null 2>&1; then die "repair without parameters"; fi
  expect src full.avi --size 64x48 --fps 10 --bits 24 --audio 8000:16:1
  ;;
damaged)  # a chunk header overwritten: the walk finds the chunks after it
  ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10 -t 2 -c:v rawvideo -pix_fmt bgr24 d.avi; reference d.avi d
  at=$(grep -obUa 00dc d.avi | sed -n 7p | cut -d: -f1)  # the 6th frame (the first 00dc is in the header)
  head -c 40 /dev/urandom | dd of=d.avi bs=1 seek="$at" conv=notrunc status=none
  "$TOOL" repair d.avi rep.avi >report.txt || die "repair: $(cat report.txt)"
  grep -q 'search' report.txt || die "no resynchronisation reported"
  # Every frame but the one whose header is gone, unchanged and in order.
  hashes rep.avi | cmp -s - <(sed 6d d.h) || die "repaired frames are not the original's without the 6th"
  echo "$CASE d.avi: repair 19 frames, ffmpeg $(hashes d.avi | wc -l) frames"
  ;;
*) die "unknown case" ;;
esac
