#!/usr/bin/env bash
# Fails, naming each file, when a tracked C/C++ source or header differs from what clang-format
# makes of it under .clang-format. `clang-format -i FILE` fixes one.
#   scripts/check-format.sh          CLANG_FORMAT=clang-format-14 scripts/check-format.sh
set -uo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format}
command -v "$clang_format" >/dev/null || { echo "check-format: $clang_format not found" >&2; exit 2; }

bad=()
while IFS= read -r -d '' f; do
  "$clang_format" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp' '*.hxx')

if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: ${#bad[@]} file(s) not formatted as .clang-format says (fix: clang-format -i FILE):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check-format: every tracked C/C++ file is formatted"
