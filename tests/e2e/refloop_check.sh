#!/usr/bin/env bash
# refloop_check.sh: proves the end-to-end rig (Xvfb, private PulseAudio, Wine,
# click-train measurement) with refloop.exe, a minimal capture-to-playback
# loop whose behaviour is known: its delay must be one block plus Wine's own
# latency, it must play exactly what it recorded, and it must stop cleanly.
#
# Usage: tests/e2e/refloop_check.sh        (REFLOOP_EXE=path to skip the build)
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The largest block makes a delay far beyond any latency of the sound stack,
# so it shows that the block length, not the rig, sets the delay.
BLOCKS=(1000 64 10000)

if [[ -z "${E2E_BOUNDED:-}" ]]; then
  e2e_install_deps
  mkdir -p "$E2E_OUT"
  [[ -n "${REFLOOP_EXE:-}" ]] || e2e_build_target refloop
fi
e2e_bound_total 180 "$0" "$@"

EXE=${REFLOOP_EXE:-$E2E_BUILD_DIR/tests/e2e/refloop.exe}
[[ -f "$EXE" ]] || e2e_die "refloop.exe not found at $EXE"

check_block() {
  local block=$1
  local log="$E2E_DIR/refloop-$block.log"
  e2e_log "refloop with blocks of $block samples"
  e2e_start_program "$log" "$EXE" "$block" 12
  sleep 1.5
  e2e_program_alive || e2e_die "refloop $block died at start: $(cat "$log")"
  e2e_measure_loop "refloop-$block" 1
  e2e_wait_exit "$E2E_PROG_PID" 30 || e2e_die "refloop $block did not stop within 30 s"
  sed 's/^/  /' "$log"
  [[ $E2E_EXIT_STATUS -eq 0 ]] || e2e_die "refloop $block exited with status $E2E_EXIT_STATUS"
  # Blocks of 2.9 ms leave Wine no slack on a busy machine: more underruns.
  local tolerated=${E2E_MAX_CHANGES:-4}
  ((block < 500)) && tolerated=$((tolerated * 4))
  e2e_check_loop "refloop $block" "$block" "$tolerated"
  DELAYS[$block]=$E2E_DELAY
}

main() {
  declare -gA DELAYS
  e2e_up
  local block
  for block in "${BLOCKS[@]}"; do
    check_block "$block"
  done
  for block in "${BLOCKS[@]}"; do
    printf 'refloop: block %s -> delay %s samples (Wine adds %s)\n' \
      "$block" "${DELAYS[$block]}" "$((DELAYS[$block] - block))"
  done
  echo "refloop_check: PASS"
}

main "$@"
