#!/usr/bin/env bash
# close_time.sh: Alt+F4 ends the program within a second.
#
# Two closes, each timed from the moment Alt+F4 is sent to the end of the
# process, with the program and its wineserver at normal priority:
#  1. a close while the engine still waits for its first block: a stored
#     delay of 4 s (Delay=880 with "x 10 Delay", blocks of 88000 samples), the
#     key sent as soon as the window is up, well within the first block; the
#     settings must be saved all the same (Volume was not stored before the
#     start, so only the close's save can have written it);
#  2. a close of a running program at the default delay, once its blocks
#     flow.
# Each must end with status 0 within CLOSE_LIMIT_MS.
#
# Usage: tests/e2e/close_time.sh     (LUMRIO_EXE=path skips the build)
set -euo pipefail
# As on a user's machine: the time judged is the program's, not a priority's.
export E2E_PROG_NICE=${E2E_PROG_NICE:-0}
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare
e2e_bound_total 150 "$0" "$@"

# What the user may wait for a close to end the program.
CLOSE_LIMIT_MS=1000
# The first block of a 4 s delay is complete 88000 / 22050 = 3.99 s after
# the capture starts, and the capture starts after its stream has appeared
# in the sound server. A key sent within this time of that moment comes
# before the first block...
FIRST_BLOCK_MS=3990
# ...less what the polling may see the stream late by (10 polls a second,
# each a pactl call) and what xdotool takes to send the key.
SEEN_LATE_MS=300
# The setting that only the close writes (not stored before the start), and
# the value the program starts with when it is missing.
UNSTORED=Volume
UNSTORED_DEFAULT=3200

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# The state letter of process $1 (R, S, Z...); nothing once it is reaped.
process_state() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }
  echo "${stat%% *}"
}

# Sends Alt+F4 to the main window and waits for the process to end (a
# zombie, since this shell has not reaped it yet). Sets CLOSE_MS, from just
# before the key to the end, and E2E_EXIT_STATUS.
timed_close() {
  local label=$1 t0 state
  t0=$(now_ms)
  e2e_close_window "$WINDOW_ID"
  while state=$(process_state "$E2E_PROG_PID") && [[ -n "$state" && "$state" != Z ]]; do
    (($(now_ms) - t0 < 30000)) || {
      fail_on_message_box "$label, on close" "$label"
      e2e_die "$label: lumrio did not exit within 30 s of Alt+F4"
    }
    sleep 0.01
  done
  CLOSE_MS=$(($(now_ms) - t0))
  e2e_wait_exit "$E2E_PROG_PID" 10 || e2e_die "$label: lumrio is a zombie that does not go"
}

judge_close() {
  local label=$1 what=$2
  figure close_time "Alt+F4 to the end of the process, $what" "$CLOSE_MS" ms
  [[ $E2E_EXIT_STATUS -eq 0 ]] || e2e_die "$label: lumrio exited with status $E2E_EXIT_STATUS"
  ((CLOSE_MS <= CLOSE_LIMIT_MS)) ||
    e2e_die "$label: the close took $CLOSE_MS ms, more than $CLOSE_LIMIT_MS ms"
}

close_before_first_block() {
  local recorders capture key_ms volume delay x10
  store_settings Delay=880 X10=1
  recorders=$(e2e_recorder_count)
  e2e_start_program "$E2E_DIR/lumrio.first.log" "$LUMRIO_EXE_PATH"
  # shellcheck disable=SC2016 # the inner script expands its own arguments
  e2e_wait_for 30 bash -c '(($(timeout 5 pactl list short source-outputs | wc -l) > $1))' _ "$recorders" ||
    e2e_die "first: the program's capture stream did not appear within 30 s"
  capture=$(now_ms)
  WINDOW_ID=$(e2e_find_window "$LUMRIO_TITLE" 30) || e2e_die "first: no window within 30 s"
  key_ms=$(($(now_ms) - capture))
  figure close_time "Alt+F4 sent after the capture stream appeared (4 s delay)" "$key_ms" ms
  ((key_ms + SEEN_LATE_MS < FIRST_BLOCK_MS)) ||
    e2e_die "first: the window came up too late for a close before the first block"
  timed_close first
  judge_close first "4 s delay, before its first block"
  volume=$(stored_dword "$UNSTORED")
  delay=$(stored_dword Delay)
  x10=$(stored_dword X10)
  figure close_time "saved $UNSTORED / Delay / X10 (4 s delay)" "$volume / $delay / $x10"
  ((volume == UNSTORED_DEFAULT && delay == 880 && x10 == 1)) ||
    e2e_die "first: the close did not save the settings: expected $UNSTORED_DEFAULT / 880 / 1"
  echo "close_time: the close before the first block saved the settings"
}

close_running() {
  store_settings Delay=100 X10=0
  start_lumrio running
  timed_close running
  judge_close running "default delay, running"
}

main() {
  e2e_up
  close_before_first_block
  close_running
  echo "close_time: PASS"
}

main "$@"
