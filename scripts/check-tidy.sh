#!/usr/bin/env bash
# check-tidy.sh: runs clang-tidy (the checks in .clang-tidy) over the portable
# sources, src/**/*.cpp except src/platform/win32, with the compile commands
# of the native build (build/native, configured here if it is not yet).
# Fails, listing them, on any finding. Files that only the Windows builds
# compile (they are not in the native compile commands) are named and skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

TIDY=${CLANG_TIDY:-clang-tidy-14}
BUILD=build/native
JOBS=${JOBS:-2}

# shellcheck source=scripts/lib/apt.sh
source scripts/lib/apt.sh
command -v "$TIDY" >/dev/null 2>&1 || apt_ensure clang-tidy

if [ ! -f "$BUILD/compile_commands.json" ]; then
  cmake --preset native >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The files the native build compiles, by absolute path.
python3 - "$BUILD/compile_commands.json" >"$work/known" <<'PY'
import json, os, sys
for entry in json.load(open(sys.argv[1])):
    path = entry["file"]
    if not os.path.isabs(path):
        path = os.path.join(entry["directory"], path)
    print(os.path.realpath(path))
PY

: >"$work/files"
skipped=()
while IFS= read -r f; do
  abs=$(realpath "$f")
  if grep -qxF "$abs" "$work/known"; then
    echo "$abs" >>"$work/files"
  else
    skipped+=("$f")
  fi
done < <(find src -name '*.cpp' -not -path 'src/platform/win32/*' | LC_ALL=C sort)

if [ ! -s "$work/files" ]; then
  echo "check-tidy: no sources found in $BUILD/compile_commands.json" >&2
  exit 2
fi
if ((${#skipped[@]})); then
  echo "check-tidy: skipped (Windows builds only): ${skipped[*]}"
fi
echo "check-tidy: $TIDY over $(wc -l <"$work/files") files, $JOBS at a time"

# One clang-tidy per file; each writes its own report so that parallel runs
# do not interleave.
status=0
# shellcheck disable=SC2016 # expanded by the inner sh, from its arguments
xargs -P "$JOBS" -I{} sh -c \
  'out="$1/$(echo "$2" | tr / _).log"; "$3" -p "$4" --quiet "$2" >"$out" 2>&1 || echo "$2" >>"$1/failed"' \
  _ "$work" {} "$TIDY" "$BUILD" <"$work/files" || status=$?

findings=$(cat "$work"/*.log | grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' | LC_ALL=C sort -u || true)
if [ -n "$findings" ] || [ -s "$work/failed" ] || [ "$status" -ne 0 ]; then
  if [ -n "$findings" ]; then
    echo "$findings" | sed "s|^$PWD/||"
    echo
    echo "check-tidy: $(echo "$findings" | wc -l) finding(s) in:"
    echo "$findings" | sed "s|^$PWD/||; s|:[0-9]*:[0-9]*:.*||" | LC_ALL=C sort -u | sed 's/^/  /'
  fi
  if [ -s "$work/failed" ]; then
    echo "check-tidy: clang-tidy failed on:"
    sed "s|^$PWD/|  |" "$work/failed"
    # Whatever clang-tidy said about a failure without a finding line.
    [ -n "$findings" ] || cat "$work"/*.log
  fi
  exit 1
fi
echo "check-tidy: clean"
