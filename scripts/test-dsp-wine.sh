#!/usr/bin/env bash
# Runs the cross-built DSP tests under Wine in a throwaway prefix, so the
# Windows build's numerics are checked on this machine. Expects the win64
# build to exist; exits with the tests' status.
#
#   scripts/test-dsp-wine.sh [path/to/dsp_tests.exe] [gtest arguments...]
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exe="${1:-$repo_root/build/win64/tests/dsp/dsp_tests.exe}"
shift $(($# > 0 ? 1 : 0))
wine="${WINE:-/usr/lib/wine/wine64}"
wineserver="${WINESERVER:-$(dirname "$wine")/wineserver}"

if [[ ! -f "$exe" ]]; then
  echo "test-dsp-wine: $exe not found; build the win64 preset first" >&2
  exit 2
fi

prefix="$(mktemp -d "${TMPDIR:-/tmp}/lumrio-dsp-wine.XXXXXX")"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

timeout 180 "$wine" wineboot -i >/dev/null 2>&1 || {
  echo "test-dsp-wine: wineboot failed" >&2
  exit 3
}

status=0
timeout 600 "$wine" "$exe" "$@" || status=$?
exit "$status"
