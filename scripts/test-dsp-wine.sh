#!/usr/bin/env bash
# Runs the cross-built DSP tests under Wine in a throwaway prefix, so the
# Windows build's numerics are checked on this machine: the 32-bit build
# (x87 extended precision) under 32-bit Wine, the 64-bit one (SSE2) under
# wine64. Exits with the tests' status.
#
#   scripts/test-dsp-wine.sh path/to/dsp_tests.exe [gtest arguments...]
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/lib/wine32.sh
source "$repo_root/scripts/lib/wine32.sh"
exe="${1:-$repo_root/build/win32/tests/dsp/dsp_tests.exe}"
shift $(($# > 0 ? 1 : 0))

if [[ ! -f "$exe" ]]; then
  echo "test-dsp-wine: $exe not found; build its preset first" >&2
  exit 2
fi
wine=$(wine_loader_for "$exe") || {
  echo "test-dsp-wine: $exe is not a Windows x86 program" >&2
  exit 2
}
[[ -x "$wine" ]] || {
  echo "test-dsp-wine: $wine is missing (wine32 for 32-bit programs, wine64 for 64-bit ones)" >&2
  exit 2
}
wineserver=/usr/lib/wine/wineserver

prefix="$(mktemp -d "${TMPDIR:-/tmp}/lumrio-dsp-wine.XXXXXX")"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

cleanup() {
  timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

# wine64 makes a prefix that runs both kinds of program.
timeout 180 "$WINE64_LOADER" wineboot -i >/dev/null 2>&1 || {
  echo "test-dsp-wine: wineboot failed" >&2
  exit 3
}

echo "test-dsp-wine: $(basename "$(dirname "$(dirname "$(dirname "$exe")")")") build under $(basename "$wine")"
status=0
timeout 600 "$wine" "$exe" "$@" || status=$?
exit "$status"
