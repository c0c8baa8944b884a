#!/usr/bin/env bash
# settings_wine.sh: the control positions persist in the real registry.
#
# In a private desktop (Xvfb, PulseAudio with null sinks, fresh Wine prefix)
# it runs lumrio.exe, closes it like a user and checks with Wine's own `reg`
# that the eight values exist as REG_DWORD with their defaults. Then it
# stores other values from outside, runs again and checks that the program
# starts normally (window, engine running, no message box, clean exit) and
# that the values survive the close. A last run with a long stored delay
# measures the audio delay, to prove the loaded position is the one used.
# Last, a logoff: "x 10 Delay" is ticked with the mouse, the Wine session is
# ended as a logoff ends it (wineboot -e) and the registry must hold the tick.
#
# Usage: tests/e2e/settings_wine.sh
# Environment: LUMRIO_EXE=path skips the build; E2E_OUT (default
# build/e2e-out) receives a screenshot of any unexpected message box.
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare
e2e_bound_total 300 "$0" "$@"

VALUE_COUNT=8
X10_BOX=(343 11) # cb_X10Delay (335,3,73,17) in the client area: the box itself

# Prints "NAME TYPE DATA" for every value under the key.
stored_values() {
  wine_reg query "$LUMRIO_KEY" 2>/dev/null | tr -d '\r' |
    awk 'NF == 3 && $2 ~ /^REG_/ { print $1, $2, $3 }'
}

# Fails unless the key holds exactly the given NAME=0xHEX values, each as
# REG_DWORD.
expect_values() {
  local values pair name want line
  values=$(stored_values)
  [[ $(grep -c . <<<"$values") -eq $VALUE_COUNT ]] ||
    e2e_die "expected $VALUE_COUNT values under $LUMRIO_KEY, found: $(tr '\n' ' ' <<<"$values")"
  for pair in "$@"; do
    name=${pair%%=*}
    want=${pair#*=}
    line=$(awk -v n="$name" 'tolower($1) == tolower(n)' <<<"$values")
    [[ -n "$line" ]] || e2e_die "value $name missing under $LUMRIO_KEY"
    [[ "$line" == "$name REG_DWORD $want" ]] ||
      e2e_die "value $name: expected REG_DWORD $want, found '$line'"
  done
  echo "settings: $LUMRIO_KEY holds $(awk '{ printf "%s=%s ", $1, $3 }' <<<"$values")"
}

# A run that starts normally (window, engine playing, no message box) and
# closes cleanly with Alt+F4.
run_and_close() {
  start_lumrio "$1"
  close_lumrio "$1"
  echo "settings: $1 run started normally and closed cleanly"
}

playback_streams() { timeout 5 pactl list short sink-inputs 2>/dev/null | awk '{ print $1 }' | sort | tr '\n' ' '; }

# What the user set is saved when the session ends under the program, as on
# Alt+F4. The tick restarts the engine (a new playback stream), which shows
# that the click landed before the session ends.
check_logoff() {
  local ox oy before after x10
  store_settings Delay=100 X10=0
  start_lumrio logoff
  read -r ox oy <<<"$(window_origin "$WINDOW_ID")"
  before=$(playback_streams)
  timeout 10 xdotool mousemove $((ox + X10_BOX[0])) $((oy + X10_BOX[1])) click 1 || e2e_die "xdotool click failed"
  sleep 1
  local deadline=$((SECONDS + 10))
  after=$(playback_streams)
  while [[ -z "${after// /}" || "$after" == "$before" ]] && ((SECONDS < deadline)); do
    sleep 0.2
    after=$(playback_streams)
  done
  [[ -n "${after// /}" && "$after" != "$before" ]] || e2e_die "ticking x 10 Delay did not restart the engine"
  echo "settings: x 10 Delay ticked, the engine restarted (playback stream ${before% } -> ${after% })"
  timeout 60 "$E2E_WINE64" wineboot -e >"$E2E_DIR/wineboot-end.log" 2>&1 ||
    e2e_die "wineboot -e failed (see $E2E_DIR/wineboot-end.log)"
  e2e_wait_exit "$E2E_PROG_PID" 30 || e2e_die "lumrio did not end within 30 s of the end of the session"
  echo "settings: logoff: lumrio ended with status $E2E_EXIT_STATUS"
  x10=$(stored_dword X10)
  echo "settings: after the logoff the registry holds X10=$x10 (ticked: 1)"
  ((x10 == 1)) || e2e_die "the logoff lost the tick of x 10 Delay: X10=$x10 stored, the session end did not save"
}

main() {
  e2e_up
  if wine_reg query "$LUMRIO_KEY" >/dev/null 2>&1; then e2e_die "a fresh prefix already has $LUMRIO_KEY"; fi

  # First run: the key and all eight values are created with their defaults.
  run_and_close first
  expect_values Volume=0xc80 Delay=0x64 Equalizer=0x0 Equalizer1k=0x28 Equalizer2k=0x28 \
    Equalizer3k=0x28 Equalizer4k=0x28 X10=0x0

  # Values stored from outside are loaded and survive the next close.
  store_settings Delay=0 X10=1
  run_and_close stored
  expect_values Volume=0xc80 Delay=0x0 Equalizer=0x0 Equalizer1k=0x28 Equalizer2k=0x28 \
    Equalizer3k=0x28 Equalizer4k=0x28 X10=0x1

  # The loaded delay is the one in use: position 500 without "x 10 Delay"
  # is a block of 5000 samples, far beyond the default 1000 plus the sound
  # stack's latency.
  store_settings Delay=500 X10=0
  start_lumrio delay
  e2e_measure_loop settings-delay 1
  e2e_check_loop settings-delay 5000
  ((E2E_DELAY >= 5000)) || e2e_die "delay $E2E_DELAY samples: the stored position 500 was not used"
  echo "settings: measured delay $E2E_DELAY samples with the stored position 500"
  close_lumrio delay
  echo "settings: delay run started normally and closed cleanly"
  expect_values Delay=0x1f4 X10=0x0

  check_logoff
  echo "settings: PASS"
}

main "$@"
