#!/usr/bin/env bash
# check-sanitizers.sh: the native test suite built with AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer (the native-asan preset, in
# build/native-asan). Any report stops the test that made it and fails the
# run: every sanitizer is built with -fno-sanitize-recover and halts on the
# first error.
#
# Usage: scripts/check-sanitizers.sh
# Environment: LUMRIO_SEQUENCES (default 2000) sets how many randomized
# lifecycle sequences run; the plain native suite runs 10,000, which under
# ASan would take most of the time budget for little more coverage.
set -euo pipefail
cd "$(dirname "$0")/.."

TOTAL_SECONDS=${SANITIZER_TIMEOUT:-1500}

log() { printf '\n=== %s\n' "$*"; }

# shellcheck source=scripts/lib/apt.sh
source scripts/lib/apt.sh
install_deps() { apt_ensure cmake g++ make libgtest-dev libgmock-dev; }

build() {
  log "build native-asan"
  timeout 600 cmake --preset native-asan -DLUMRIO_WERROR=ON >/dev/null
  timeout 1800 cmake --build --preset native-asan
}

run_tests() {
  log "native tests under ASan, UBSan and LSan"
  export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=report_objects=1
  export LUMRIO_SEQUENCES=${LUMRIO_SEQUENCES:-2000}
  ((LUMRIO_SEQUENCES >= 2000)) || echo "note: LUMRIO_SEQUENCES=$LUMRIO_SEQUENCES is below the usual 2000"
  timeout --kill-after=20 "$TOTAL_SECONDS" ctest --preset native-asan -j2 --timeout 900
}

install_deps
build
run_tests
log "sanitizers: no reports"
