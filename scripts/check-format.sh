#!/usr/bin/env bash
# check-format.sh: checks, without changing anything, that every C and C++
# source under src/, tests/ and bench/ is formatted as .clang-format says.
# Exits non-zero listing the files that differ; `clang-format -i FILE` fixes
# one.
set -euo pipefail
cd "$(dirname "$0")/.."

FORMAT=${CLANG_FORMAT:-clang-format}
# shellcheck source=scripts/lib/apt.sh
source scripts/lib/apt.sh
command -v "$FORMAT" >/dev/null 2>&1 || apt_ensure clang-format

mapfile -d '' files < <(find src tests bench -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) \
  -print0 2>/dev/null | LC_ALL=C sort -z)
if ((${#files[@]} == 0)); then
  echo "check-format: no sources found" >&2
  exit 2
fi

differ=()
for f in "${files[@]}"; do
  if ! "$FORMAT" --style=file --dry-run --Werror "$f" >/dev/null 2>&1; then
    differ+=("$f")
  fi
done

if ((${#differ[@]})); then
  echo "check-format: ${#differ[@]} of ${#files[@]} files differ from .clang-format:"
  printf '  %s\n' "${differ[@]}"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
