#!/usr/bin/env bash
# The READMEs' examples: the top README's C++ block is examples/readme_example.cpp as it
# stands, and the program built from that file copies the sample clip the build makes into a
# file that decodes (ffmpeg, when present) to the same pictures and sound. python/README.md's
# Python blocks run as one session on that clip, where the build made the module. (The top
# README's Python block runs in python/tests.)
#   readme_example.sh SOURCE_DIR EXAMPLE_PROGRAM SAMPLE.avi
set -euo pipefail
src=$1 example=$2 sample=$3
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
sed -n '/^```cpp$/,/^```$/p' "$src/README.md" | sed '1d;$d' >"$tmp/block.cpp"
diff -u "$src/examples/readme_example.cpp" "$tmp/block.cpp"
"$example" "$sample" "$tmp/copy.avi"
py=$(cd "$(dirname "$sample")" && pwd)/python
if [ -d "$py/avi" ]; then
  awk '/^```python$/ {on = 1; next} /^```$/ {on = 0} on' "$src/python/README.md" >"$tmp/blocks.py" && cp "$sample" "$tmp/clip.avi"
  (cd "$tmp" && PYTHONPATH="$py" "$(sed -n 's/^AVI_PYTHON:[A-Z]*=//p' "$py/../CMakeCache.txt")" blocks.py)
fi
command -v ffmpeg >/dev/null || exit 0
md5() { ffmpeg -v error -i "$1" -map 0 -f md5 -; }
[ "$(md5 "$sample")" = "$(md5 "$tmp/copy.avi")" ]
