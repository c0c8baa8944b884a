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
#
# Usage: tests/e2e/settings_wine.sh
# Environment: LUMRIO_EXE=path skips the build; E2E_OUT (default
# build/e2e-out) receives a screenshot of any unexpected message box.
set -euo pipefail
# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [[ -z "${E2E_BOUNDED:-}" ]]; then
  e2e_install_deps
  [[ -n "${LUMRIO_EXE:-}" ]] || e2e_build_target lumrio
fi
e2e_bound_total 300 "$0" "$@"

EXE=${LUMRIO_EXE:-$E2E_BUILD_DIR/src/app/lumrio.exe}
[[ -f "$EXE" ]] || e2e_die "lumrio.exe not found at $EXE"

TITLE="Quibex Lumrio v 1.72"
KEY='HKLM\Software\Quibex\Lumrio'
VALUE_COUNT=8

wine_reg() { timeout 60 "$WINE" reg "$@"; }

# Prints "NAME TYPE DATA" for every value under the key.
stored_values() {
  wine_reg query "$KEY" 2>/dev/null | tr -d '\r' |
    awk 'NF == 3 && $2 ~ /^REG_/ { print $1, $2, $3 }'
}

# Fails unless the key holds exactly the given NAME=0xHEX values, each as
# REG_DWORD.
expect_values() {
  local values pair name want line
  values=$(stored_values)
  [[ $(grep -c . <<<"$values") -eq $VALUE_COUNT ]] ||
    e2e_die "expected $VALUE_COUNT values under $KEY, found: $(tr '\n' ' ' <<<"$values")"
  for pair in "$@"; do
    name=${pair%%=*}
    want=${pair#*=}
    line=$(awk -v n="$name" 'tolower($1) == tolower(n)' <<<"$values")
    [[ -n "$line" ]] || e2e_die "value $name missing under $KEY"
    [[ "$line" == "$name REG_DWORD $want" ]] ||
      e2e_die "value $name: expected REG_DWORD $want, found '$line'"
  done
  echo "settings: $KEY holds $(awk '{ printf "%s=%s ", $1, $3 }' <<<"$values")"
}

store_dword() {
  wine_reg add "$KEY" /v "$1" /t REG_DWORD /d "$2" /f >/dev/null || e2e_die "reg add $1 failed"
}

# Message boxes are top-level windows titled with the application title.
fail_on_message_box() {
  local box
  box=$(xdotool search --onlyvisible --name '^lumrio$' 2>/dev/null | head -n1) || true
  if [[ -n "$box" ]]; then
    e2e_screenshot "$E2E_DIR/message-box.png" && e2e_keep "$E2E_DIR/message-box.png" settings-message-box.png
    e2e_die "lumrio shows a message box ($1); screenshot in $E2E_OUT/settings-message-box.png"
  fi
}

# The engine is started as the last step of start-up, after the load: a
# stream into the speaker sink means start-up ran to its end. (A command,
# not a function: e2e_wait_for runs it in a new shell.)
PLAYS_INTO_SPEAKER=(bash -c 'timeout 5 pactl list short sink-inputs | grep -q .')

# Starts the program and checks that it came up normally; sets WINDOW_ID.
start_lumrio() {
  local label=$1
  e2e_start_program "$E2E_DIR/lumrio.$label.log" "$EXE"
  WINDOW_ID=$(e2e_find_window "$TITLE" 60) || {
    fail_on_message_box "$label, at start"
    e2e_die "$label: no window titled \"$TITLE\" within 60 s"
  }
  e2e_wait_for 20 "${PLAYS_INTO_SPEAKER[@]}" || {
    fail_on_message_box "$label, at start"
    e2e_die "$label: the engine did not start"
  }
  sleep 1
  e2e_program_alive || e2e_die "$label: lumrio ended by itself"
  fail_on_message_box "$label, while running"
}

# Closes the window with Alt+F4 and expects a clean exit.
close_lumrio() {
  local label=$1
  e2e_close_window "$WINDOW_ID"
  e2e_wait_exit "$E2E_PROG_PID" 30 || {
    fail_on_message_box "$label, on close"
    e2e_die "$label: lumrio did not exit within 30 s of Alt+F4"
  }
  [[ $E2E_EXIT_STATUS -eq 0 ]] || e2e_die "$label: lumrio exited with status $E2E_EXIT_STATUS"
  echo "settings: $label run started normally and closed cleanly"
}

main() {
  e2e_up
  if wine_reg query "$KEY" >/dev/null 2>&1; then e2e_die "a fresh prefix already has $KEY"; fi

  # First run: the key and all eight values are created with their defaults.
  start_lumrio first
  close_lumrio first
  expect_values Volume=0xc80 Delay=0x64 Equalizer=0x0 Equalizer1k=0x28 Equalizer2k=0x28 \
    Equalizer3k=0x28 Equalizer4k=0x28 X10=0x0

  # Values stored from outside are loaded and survive the next close.
  store_dword Delay 0
  store_dword X10 1
  start_lumrio stored
  close_lumrio stored
  expect_values Volume=0xc80 Delay=0x0 Equalizer=0x0 Equalizer1k=0x28 Equalizer2k=0x28 \
    Equalizer3k=0x28 Equalizer4k=0x28 X10=0x1

  # The loaded delay is the one in use: position 500 without "x 10 Delay"
  # is a block of 5000 samples, far beyond the default 1000 plus the sound
  # stack's latency.
  store_dword Delay 500
  store_dword X10 0
  start_lumrio delay
  e2e_measure_loop settings-delay 1
  e2e_check_loop settings-delay 5000
  ((E2E_DELAY >= 5000)) || e2e_die "delay $E2E_DELAY samples: the stored position 500 was not used"
  echo "settings: measured delay $E2E_DELAY samples with the stored position 500"
  close_lumrio delay
  expect_values Delay=0x1f4 X10=0x0

  echo "settings: PASS"
}

main "$@"
