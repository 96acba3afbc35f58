#!/usr/bin/env bash
# Mutation check: applies each fault below, one at a time, to a scratch copy of the tree,
# rebuilds there what the fault's suite needs and runs that suite. A fault is caught when the
# suite fails or hangs. Suites: fast = avi_tests; tool = salvage_tests and the ctest label
# "tool" (avitool and salvage run end to end against ffmpeg; the scratch build has no remote
# plug-in, so the remote and s3 cases are left out, and the hostile-file run, which finds crashes and
# hangs rather than wrong bytes, is left out too). Only the mutated file recompiles.
#   tests/mutation.sh            all faults       tests/mutation.sh 3 7   faults 3 and 7 only
# A pattern must occur exactly once in its file; one that does not (the code moved) is
# reported "stale" and left out of the score. MUTATION_DIR keeps the scratch tree.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=${MUTATION_DIR:-${TMPDIR:-/tmp}/avi-mutation}
files=() pats=() reps=() what=() suites=()
m() { files+=("$1") pats+=("$2") reps+=("$3") what+=("$4") suites+=("${5:-fast}"); }

m src/write/Encoding.h 'fcns::putUint32(p, begin->getPosition() + 8u);' 'fcns::putUint32(p, begin->getPosition());' "standard index offset without + 8"
m src/read/IndexLoading.cpp 'char2uint32(e + 8) + 8u' 'char2uint32(e + 8)' "idx1 offset read without + 8"
m src/write/MoviWriting.cpp 'size, size, size & 1u' 'size, size, 0' "odd video frame without its pad byte"
m src/write/WriterConfig.cpp 'chunkSize + (chunkSize % 2)' 'chunkSize' "odd audio chunk without its pad byte"
m src/write/WriterConfig.cpp 'format::paddedRow(3ULL * width) * height' '(format::paddedRow(3ULL * width) - 1) * height' "written row padding off by one"
m src/format/Rows.h '? 0 : 4 - n % 4' '? 0 : 3 - n % 4' "row padding off by one (the shared rule: RGB24 rows among them)"
m src/read/VideoReading.cpp 'format::paddedRow(width) * static_cast' '(format::paddedRow(width) - (width % 4 != 0)) * static_cast' "palette-index row padding off by one"
m src/write/HeaderWriting.cpp 'static_cast<std::int64_t>(room) + 12 - p' 'static_cast<std::int64_t>(room) + 20 - p' "JUNK size 8 too large"
m src/write/HeaderWriting.cpp 'firstRiffMoviBytes + 4 +' 'firstRiffMoviBytes +' "first movi list size without its form type"
m src/write/HeaderWriting.cpp '(16 * s + 148 + pal)' '(16 * s + 148)' "video strl size without the palette"
m src/write/WriterConfig.cpp '148 + paletteBytes()) * v' '148) * v' "header room without the palette"
m src/write/HeaderWriting.cpp 'firstRiffVideoChunks + avixVideoChunks : firstRiffAudioChunks' 'firstRiffVideoChunks : firstRiffAudioChunks' "total frames count the first segment only"
m src/write/HeaderWriting.cpp 'hasVideoStream ? firstRiffVideoChunks + avixVideoChunks : 0' 'hasVideoStream ? firstRiffVideoChunks : 0' "dmlh counts the first segment only"
m src/write/HeaderWriting.cpp '(audioChunkSize * firstRiffAudioChunks) / h.dwSampleSize' 'audioChunkSize * firstRiffAudioChunks' "audio length in bytes, not samples"
m src/write/HeaderWriting.cpp 'writeList("RIFF", firstRiffEnd - 8' 'writeList("RIFF", firstRiffEnd' "RIFF size counts its own header"
m src/write/HeaderWriting.cpp 'h.dwFlags = 0x810;' 'h.dwFlags = 0x830;' "main header flags demand the index"
m src/write/IndexWriting.cpp 'putUint32(p + 4, 0);' 'putUint32(p + 4, 0x10);' "idx1 flags set"
m src/write/IndexWriting.cpp 'audioChunkSize) * n / sampleSize' 'audioChunkSize) * n' "audio super-index duration in bytes"
m src/write/IndexWriting.cpp 'start, 8u * n + 32u' 'start, 8u * n + 24u' "super-index entry size without the chunk header"
m src/write/Segmentation.cpp 'return t >= (1ULL << 31);' 'return t > (1ULL << 31);' "segment boundary one byte late"
m src/write/Segmentation.cpp 'audioIndex.size() + 1) + 24 + 8' 'audioIndex.size()) + 24 + 8' "boundary ignores the next audio index entry"
m src/write/Segmentation.cpp 'return used + 2 <= n;' 'return used + 1 <= n;' "one segment more than the header lists"
m src/write/Segmentation.cpp 'writeList("LIST", r - 12, "movi")' 'writeList("LIST", r - 4, "movi")' "AVIX movi size wrong"
m src/write/Segmentation.cpp 'moviBase = dataStart - 4;' 'moviBase = dataStart;' "AVIX movi base off by 4"
m src/write/MoviWriting.cpp 'if (height < 2 || frame == nullptr) return;' 'return;' "writer flip skipped"
m src/read/HeaderParsing.cpp 'topDown = true;' 'topDown = false;' "reader flip skipped"
m src/read/HeaderParsing.cpp 'moviBase = here - 4;' 'moviBase = here;' "movi base at the list data"
m src/read/HeaderParsing.cpp 'setError(ERR_WAVE_FILE);' 'setError(ERR_AVI_CHUNK_MISSING);' "WAVE reported as a missing AVI chunk"
m src/format/Records.cpp 'e.rgbGreen = static_cast<std::uint8_t>(d[1]);' 'e.rgbGreen = static_cast<std::uint8_t>(d[2]);' "palette green read from red"
m src/read/IndexLoading.cpp 'fcns::getChunkLength(c + 4)' 'fcns::char2uint32(c + 4)' "scan ignores pad bytes"
m src/read/AudioReading.cpp 'std::memset(buffer + (count - remaining), 0, remaining);' '' "audio zero-fill skipped"
m src/read/AudioReading.cpp 'if (audioChunkOffset >= e.getSize()) {' 'if (audioChunkOffset > e.getSize()) {' "audio stalls at a chunk end"
m src/read/PixelConversion.cpp '(((v >> 2) & 0xF8u) << 8)' '(((v >> 3) & 0xF8u) << 8)' "RGB555 green misplaced (scalar)"
m src/read/PixelConversion.cpp '_mm_slli_epi32(v, 6), mg' '_mm_slli_epi32(v, 5), mg' "RGB555 green misplaced (SSSE3)"
m src/read/PixelConversion.cpp 'h = t[u[i + 7]];' 'h = t[u[i + 6]];' "eighth palette pixel of a step repeats the seventh"
m src/read/PixelConversion.cpp 'std::memmove(out + 3 * i, in + 4 * i, 3)' 'std::memmove(out + 3 * i, in + 4 * i + 1, 3)' "32-bit tail pixels shifted"
m src/core/errors.cpp '"Unsupported AVI file",' '"Unsupported AVI file format",' "wrong error message"

m src/write/Checkpoints.cpp 'putUint32(b, r.onDisk);' 'putUint32(b, r.onDisk + 1);' "checkpoint names one index entry more than it wrote"
m src/write/Checkpoints.cpp 'ok = ok && writeAt(moviBase - 4, b, 4);' 'ok = ok && writeAt(moviBase - 8, b, 4);' "checkpoint writes the movi size over its list id"
m src/write/Checkpoints.cpp 'putUint32(b, u32(end - c.segmentStart - 8));' 'putUint32(b, u32(end - c.segmentStart - 16));' "checkpoint RIFF size short of the data"
m src/write/Checkpoints.cpp '        needRoom = true;' '' "a new segment's chunks listed in the last segment's room"
m src/write/MoviWriting.cpp 'index.pop_back();' '' "a failed chunk stays in a checkpoint's index"
m src/write/MoviWriting.cpp 'headerWritten = fileHandler->fwrite(header, 1, 8, fileHandle) == 8;' 'headerWritten = fileHandler->fwrite(header, 1, 8, fileHandle) == 8 || true;' "a chunk whose header failed is kept"
m src/write/Checkpoints.cpp 'if (!(s == 0 ? hasVideoStream : hasAudioStream)) continue;' '' "checkpoint patches the indx of a stream that is not there" tool
m salvage/src/tolerant_open.cpp 'indexed && !l.goesOn &&' 'indexed &&' "chunks after the last checkpoint not read" tool
m salvage/src/walker.cpp 'rel == r.idx1Entries   ?' 'abs == r.idx1Entries   ?' "idx1 absolute/relative decision inverted" tool
m salvage/src/walker.cpp 'find(pos + 1, end)' 'find(pos + 2, end)' "resync skips one byte too many" tool
m salvage/src/walker.cpp 'f.size != 0 && f.size != frameBytes' 'f.size != frameBytes' "zero-length (dropped) frames discarded" tool
m salvage/src/walker.cpp 'use && f.video && (partial ||' 'use && f.video && (false ||' "a cut video chunk kept" tool
m salvage/src/walker.cpp 'strongHeader(dataEnd, end, 1)' 'false' "unpadded odd chunks not followed" tool
m salvage/src/walker.cpp 'c.size -= c.size % align;' '' "cut audio chunk keeps a partial sample frame" tool
m salvage/src/params.cpp 'p.height = v.value("height", 0u);' 'p.height = v.value("width", 0u);' "side-file height read from width" tool
m salvage/src/tolerant_open.cpp 'bases{l.hasMovi ? l.movi.data() : 0}' 'bases{l.hasMovi ? l.movi.data() + 4 : 0}' "tolerant: idx1 relative base off by 4" tool
m salvage/src/tolerant_open.cpp 'size & 0x7FFFFFFFu, (size & 0x80000000u) == 0)' 'size & 0x7FFFFFFFu, true)' "tolerant: OpenDML bit 31 not read as a non-key frame" tool
m salvage/src/tolerant_open.cpp 'base + u32(e), size & 0x7FFFFFFFu,' 'base + u32(e), size,' "tolerant: OpenDML size keeps bit 31" tool
m salvage/src/tolerant_open.cpp '(!r.hasAudio_ || reaches(audioEntries))' 'true' "tolerant: no walk behind an audio index that stops a segment early" tool
m salvage/src/tolerant_open.cpp '? std::min(videoEnd, audioEnd)' '? std::max(videoEnd, audioEnd)' "tolerant: the walk starts behind the stream whose index reaches furthest" tool
m salvage/src/tolerant_open.cpp 'whole = c.size - c.size % align;' 'whole = c.size;' "tolerant: a cut audio chunk keeps a partial sample frame" tool
m salvage/src/tolerant.h 'avi::fcns::char2uint32(header + 4) == stored;' 'true;' "tolerant: a chunk's size not checked" tool
m salvage/src/tolerant_read.cpp 'while (i >= 0 && frames_[static_cast<std::size_t>(i)].size == 0) --i;' '' "tolerant: a dropped frame not shown as the one before" tool
m salvage/src/tolerant_read.cpp 'out[3 * x] = static_cast<unsigned char>(b << 3 | b >> 2);' 'out[3 * x] = static_cast<unsigned char>(b << 3);' "tolerant: RGB555 blue widened without its high bits" tool
m tools/avitool/commands/frames.cpp 'if (!toStdout && !opt.strict && t.frames()[i].size == 0) continue;' 'if (!opt.strict && t.frames()[i].size == 0) continue;' "avitool: the raw pipe skips dropped frames" tool
m tools/avitool/commands/frames.cpp 'if (!miss.empty())' 'if (false)' "avitool --strict hands out frames whose index entry misses its chunk" tool
m tools/avitool/rawpipe.cpp 'src + static_cast<std::size_t>(height - 1 - r) * srcStride' 'src + static_cast<std::size_t>(r) * srcStride' "raw frames keep bottom-up row order" tool
m tools/avitool/rawpipe.cpp 'return static_cast<std::size_t>(width) * bits / 8;' 'return (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;' "raw rows keep the AVI padding (odd-width rgb555)" tool
m tools/avitool/arguments.cpp 'return EXIT_USAGE;' 'return EXIT_FAIL;' "usage errors exit 1, not 2" tool
m tools/avitool/outputs.cpp 'if (!overwrite) return fail(' 'if (false) return fail(' "existing output replaced without -y" tool
m tools/avitool/rawpipe.cpp 'const char entry[4] = {static_cast<char>(map[i].rgbBlue)' 'const char entry[4] = {static_cast<char>(map[i].rgbRed)' "pal8 pipe palette with red and blue swapped" tool
m tools/avitool/rawpipe.cpp 'static_cast<std::uint8_t>(p[4 * i + 2]), 0};' 'static_cast<std::uint8_t>(p[4 * i]), 0};' "pal8 input palette red taken from blue" tool
m tools/avitool/json.cpp 's["r_frame_rate"] = fraction(v->rate, v->scale);' 's["r_frame_rate"] = fraction(v->scale, v->rate);' "JSON r_frame_rate inverted" tool

# A fresh copy with the original times: the build there recompiles only what changed.
rm -rf "$work/tree" && mkdir -p "$work/tree"
tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/tree" -xf -
# Files an earlier run mutated may have objects newer than their restored sources.
(cd "$work/tree" && touch "${files[@]}")
cmake -S "$work/tree" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVI_WITH_REMOTE=OFF >/dev/null || exit 2
targets() { [ "$1" = tool ] && echo avitool salvage_tests avi_python || echo avi_tests; }
build() { cmake --build "$work/build" -j2 --target $(targets "$1") >"$work/build.log" 2>&1; }
suite() {
  if [ "$1" = tool ]; then
    timeout 120 "$work/build/bin/salvage_tests" >"$work/suite.log" 2>&1 &&
      (cd "$work/build" && timeout 900 ctest -L tool -LE large -E 'remote|s3|hostile' -j2 >>"$work/suite.log" 2>&1)
  else
    timeout 120 "$work/build/bin/avi_tests" >"$work/suite.log" 2>&1
  fi
}
selected=("${@:-${!files[@]}}")
for s in $(for i in "${selected[@]}"; do echo "${suites[$i]}"; done | sort -u); do
  build "$s" && suite "$s" || { echo "the unmutated tree does not build or pass the $s suite: see $work"; exit 2; }
done

caught=0 total=0 survivors=()
for i in "${selected[@]}"; do
  f=$work/tree/${files[$i]}
  if [ "$(grep -cF -- "${pats[$i]}" "$f")" != 1 ]; then echo "stale    $i: ${what[$i]}"; continue; fi
  text=$(<"$f")
  printf '%s\n' "${text/"${pats[$i]}"/"${reps[$i]}"}" >"$f"
  if ! build "${suites[$i]}"; then
    result="broken  "
  else
    total=$((total + 1))
    if suite "${suites[$i]}"; then result="SURVIVED" survivors+=("$i"); else result="caught  " caught=$((caught + 1)); fi
  fi
  printf '%s\n' "$text" >"$f"  # the scratch copy's own text: the live tree may have moved on
  echo "$result $i [${suites[$i]}]: ${what[$i]}"
done
echo "caught $caught of $total faults${survivors[*]:+; survivors: ${survivors[*]}}"
[ "$caught" = "$total" ]
