#!/usr/bin/env bash
# Runs one cross-built console program (the DSP tests, the equalizer's
# throughput measure) under Wine in a throwaway prefix, with the loader of its
# own kind: a 32-bit program under 32-bit Wine, a 64-bit one under wine64.
# Exits with the program's status.
#
#   scripts/wine-exe.sh path/to/program.exe [arguments...]
#   e.g. scripts/wine-exe.sh build/win32/tests/dsp/dsp_tests.exe
#        scripts/wine-exe.sh build/win32/bench/eq_throughput.exe 20
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/lib/wine32.sh
source "$repo_root/scripts/lib/wine32.sh"
(($# > 0)) || {
  echo "usage: scripts/wine-exe.sh path/to/program.exe [arguments...]" >&2
  exit 2
}
exe=$1
shift

if [[ ! -f "$exe" ]]; then
  echo "wine-exe: $exe not found; build its preset first" >&2
  exit 2
fi
wine=$(wine_loader_for "$exe") || {
  echo "wine-exe: $exe is not a Windows x86 program" >&2
  exit 2
}
[[ -x "$wine" ]] || {
  echo "wine-exe: $wine is missing (wine32 for 32-bit programs, wine64 for 64-bit ones)" >&2
  exit 2
}
prefix="$(mktemp -d "${TMPDIR:-/tmp}/lumrio-wine-exe.XXXXXX")"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="$WINE_DLL_OVERRIDES"

cleanup() {
  timeout 30 "$WINE_SERVER" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

wine_new_prefix "$prefix" || {
  echo "wine-exe: wineboot failed" >&2
  exit 3
}

echo "wine-exe: ${exe#"$repo_root"/} under $(basename "$wine")"
status=0
timeout 600 "$wine" "$exe" "$@" || status=$?
exit "$status"
