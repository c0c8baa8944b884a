#!/usr/bin/env bash
# refloop_check.sh: proves the end-to-end rig (Xvfb, private PulseAudio, Wine,
# click-train measurement) with refloop.exe, a minimal capture-to-playback
# loop whose behaviour is known: its delay must be one block plus Wine's own
# latency, it must play exactly what it recorded, and it must stop cleanly.
#
# Then it shows that a program can see a stall's backlog on this sound path:
# the loop at blocks of 1000 is stopped for a second (kill -STOP/-CONT), so
# that its delay steps up, and the step in the delay heard must show in what
# the loop has written less the playback device's position
# (waveOutGetPosition), which the loop logs after every block, to within
# Wine's own buffer: Wine counts what it has copied there as played, and
# after the burst of blocks that a stall leaves the buffer is full.
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
e2e_bound_total 260 "$0" "$@"

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

# Wine's own buffer of 100 ms, which its position counts as played (one run:
# heard step 21685, shown 20456).
STEP_TOLERANCE=2205
STALL_AT=6
STALL_SECONDS=1
STALL_TRAIN=14

# The median of column 2 of "T VALUE" lines with FROM <= T < TO.
median_between() {
  awk -v from="$2" -v to="$3" '$1 >= from && $1 < to && $2 != "lost" { v[++n] = $2 + 0 }
    END {
      if (!n) exit 1
      for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { x = v[j]; v[j] = v[j - 1]; v[j - 1] = x }
      print v[int((n + 1) / 2)]
    }' "$1"
}

check_backlog_shows_step() {
  local block=1000 log="$E2E_DIR/stall.log" backlog="$E2E_DIR/stall.backlog" clicks="$E2E_DIR/stall.clicks.raw"
  e2e_log "refloop at $block, stopped for $STALL_SECONDS s: does the position show the step?"
  e2e_tool clicks "$clicks" --seconds "$STALL_TRAIN" --noise 200 --every 1 >/dev/null
  e2e_start_program "$log" "$EXE" "$block" $((STALL_TRAIN + 12)) "Z:$backlog"
  sleep 1.5
  local pid=$E2E_PROG_PID
  # shellcheck disable=SC2317 # run by e2e_play_through
  stall() {
    sleep "$STALL_AT"
    kill -STOP "$pid"
    sleep "$STALL_SECONDS"
    kill -CONT "$pid"
  }
  e2e_play_through "$clicks" "$E2E_DIR/stall.in.raw" "$E2E_DIR/stall.out.raw" $((STALL_TRAIN + 4)) stall
  e2e_wait_exit "$E2E_PROG_PID" 40 || e2e_die "refloop $block did not stop within 40 s"
  e2e_tool curve "$E2E_DIR/stall.in.raw" "$E2E_DIR/stall.out.raw" --max-delay 6 |
    awk 'NR == 1 { first = $3 } { printf "%.1f %s\n", $3 - first + 1, $4 }' >"$E2E_DIR/stall.curve"
  # The loop's log counts from its own start, 1.5 s and the recorders'
  # start-up before the train; the medians are taken well clear of both.
  local heard_before heard_after held_before held_after
  heard_before=$(median_between "$E2E_DIR/stall.curve" 2 "$STALL_AT") || e2e_die "no click before the stall"
  heard_after=$(median_between "$E2E_DIR/stall.curve" $((STALL_AT + STALL_SECONDS + 2)) "$STALL_TRAIN") ||
    e2e_die "no click after the stall"
  awk '{ printf "%.3f %s\n", $1 / 1000, $2 }' "$backlog" >"$E2E_DIR/stall.backlog.s"
  held_before=$(median_between "$E2E_DIR/stall.backlog.s" 3 "$((STALL_AT + 1))") || e2e_die "no backlog logged before the stall"
  held_after=$(median_between "$E2E_DIR/stall.backlog.s" $((STALL_AT + STALL_SECONDS + 4)) $((STALL_TRAIN + 1))) ||
    e2e_die "no backlog logged after the stall"
  local heard_step=$((heard_after - heard_before)) held_step=$((held_after - held_before))
  printf 'refloop: stopped %s s at block %s: heard delay %s -> %s (step %s), written - position %s -> %s (step %s)\n' \
    "$STALL_SECONDS" "$block" "$heard_before" "$heard_after" "$heard_step" "$held_before" "$held_after" "$held_step"
  local off=$((heard_step - held_step))
  ((off < 0)) && off=$((-off))
  ((off <= STEP_TOLERANCE)) ||
    e2e_die "the step in the heard delay ($heard_step) does not show in written - position ($held_step)"
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
  check_backlog_shows_step
  echo "refloop_check: PASS"
}

main "$@"
