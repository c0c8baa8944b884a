#!/usr/bin/env bash
# device_loss.sh: the speaker goes away while Lumrio plays.
#
# The "spk" sink is unloaded from the sound server while the program runs.
# The program must not crash (it stays alive until it is asked to close),
# must never show more than one message box at a time (watched for
# E2E_LOSS_WATCH seconds, default 8), and must still close: a user presses
# Return on a message box if one is open, then Alt+F4 on the main window, and
# the process ends with status 0 within 30 s.
#
# Usage: tests/e2e/device_loss.sh     (LUMRIO_EXE=path skips the build)
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

WATCH=${E2E_LOSS_WATCH:-8}

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare
e2e_bound_total 150 "$0" "$@"

speaker_module() {
  timeout 10 pactl list short modules | awk '$2 == "module-null-sink" && $3 ~ /sink_name=spk( |$)/ { print $1 }'
}

# Watches the message boxes for $1 seconds; sets MOST_BOXES and BOX_SEEN.
watch_boxes() {
  local until=$((SECONDS + $1)) n
  MOST_BOXES=0
  while ((SECONDS < until)); do
    e2e_program_alive || e2e_die "lumrio ended by itself after the speaker was removed: $(tail -n 5 "$E2E_DIR/lumrio.loss.log")"
    n=$(message_boxes | grep -c . || true)
    ((n > MOST_BOXES)) && MOST_BOXES=$n
    sleep 0.2
  done
}

main() {
  e2e_up
  store_settings Delay=100 X10=0 Equalizer=0
  start_lumrio loss
  local module t0 elapsed
  module=$(speaker_module)
  [[ -n "$module" ]] || e2e_die "no module for the spk sink"
  timeout 10 pactl unload-module "$module" || e2e_die "could not unload module $module"
  echo "device_loss: unloaded the spk sink (module $module)"
  watch_boxes "$WATCH"
  figure device_loss "most message boxes open at once" "$MOST_BOXES" "(limit 1)"
  ((MOST_BOXES <= 1)) || e2e_die "$MOST_BOXES message boxes open at once"
  dismiss_boxes
  figure device_loss "message boxes dismissed with Return" "$DISMISSED"
  e2e_program_alive || e2e_die "lumrio ended by itself"
  t0=$(date +%s%N)
  e2e_close_window "$WINDOW_ID"
  # A box raised by the close itself gets its Return as well.
  local deadline=$((SECONDS + 30))
  until e2e_wait_exit "$E2E_PROG_PID" 1; do
    ((SECONDS < deadline)) || e2e_die "lumrio did not exit within 30 s of Alt+F4 after the speaker was lost"
    dismiss_boxes
  done
  elapsed=$((($(date +%s%N) - t0) / 1000000))
  figure device_loss "close after the loss: exit status" "$E2E_EXIT_STATUS"
  figure device_loss "close after the loss: time from Alt+F4 to exit" "$elapsed" ms
  [[ $E2E_EXIT_STATUS -eq 0 ]] || e2e_die "lumrio exited with status $E2E_EXIT_STATUS"
  echo "device_loss: PASS"
}

main "$@"
