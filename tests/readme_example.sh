#!/usr/bin/env bash
# The README's usage example: its code block is examples/readme_example.cpp as it stands,
# and the program built from that file copies the sample clip the build makes into a file
# that decodes (ffmpeg, when present) to the same pictures and sound.
#   readme_example.sh SOURCE_DIR EXAMPLE_PROGRAM SAMPLE.avi
set -euo pipefail
src=$1 example=$2 sample=$3
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
sed -n '/^## Using it/,/^## /p' "$src/README.md" | sed -n '/^```cpp$/,/^```$/p' | sed '1d;$d' >"$tmp/block.cpp"
diff -u "$src/examples/readme_example.cpp" "$tmp/block.cpp"
"$example" "$sample" "$tmp/copy.avi"
command -v ffmpeg >/dev/null || exit 0
md5() { ffmpeg -v error -i "$1" -map 0 -f md5 -; }
[ "$(md5 "$sample")" = "$(md5 "$tmp/copy.avi")" ]
