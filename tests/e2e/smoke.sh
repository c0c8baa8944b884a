#!/usr/bin/env bash
# smoke.sh: Lumrio's end-to-end smoke test under Wine.
#
# In a private desktop (Xvfb, PulseAudio with null sinks, fresh Wine prefix)
# it starts lumrio.exe, checks the main window's title, client size and
# position and that the scope draws its trace once blocks flow, plays
# a click train into the microphone and measures what comes out of the
# speaker: with the default settings the delay must be the 1000-sample block
# plus the sound stack's own latency, and the samples must come out unchanged.
# Then it closes the window like a user and expects a clean exit (status 0).
#
# Usage: tests/e2e/smoke.sh [--refloop]
#   --refloop   first run tests/e2e/refloop_check.sh to prove the rig itself
# Environment: LUMRIO_EXE=path skips the build; E2E_OUT (default build/e2e-out)
# receives the screenshot and the recordings.
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

CLIENT_SIZE="410 149"
BLOCK=1000 # the default delay: slider position 100 times 10 samples

if [[ -z "${E2E_BOUNDED:-}" ]]; then
  if [[ "${1:-}" == "--refloop" ]]; then
    e2e_install_deps
    bash "$E2E_ROOT/tests/e2e/refloop_check.sh" || e2e_die "the test rig itself does not work"
  fi
  lumrio_prepare
fi
e2e_bound_total 180 "$0" "$@"

# The window that start_lumrio found: its title, client size and position.
check_window() {
  local geometry
  geometry=$(e2e_window_geometry "$WINDOW_ID") || e2e_die "xwininfo cannot read window $WINDOW_ID"
  read -r width height left top <<<"$geometry" # kept for check_centred
  printf 'smoke: window "%s" id %s, client %sx%s at %s,%s\n' "$LUMRIO_TITLE" "$WINDOW_ID" \
    "$width" "$height" "$left" "$top"
  [[ "$width $height" == "$CLIENT_SIZE" ]] ||
    e2e_die "client area is ${width}x${height}, expected ${CLIENT_SIZE/ /x}"
  check_centred
}

# Without a window manager the frame is not drawn but still counts: the
# client area is centred horizontally and sits a caption's height below the
# vertical centre.
check_centred() {
  local screen_w screen_h
  read -r screen_w screen_h < <(timeout 10 xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[1], d[2] }')
  local dx=$((2 * left + width - screen_w)) dy=$((2 * top + height - screen_h))
  printf 'smoke: client centre off the screen centre by %s,%s half-pixels\n' "$dx" "$dy"
  ((dx >= -8 && dx <= 8)) || e2e_die "the window is not centred horizontally on the ${screen_w}x${screen_h} screen"
  ((dy >= 0 && dy <= 80)) || e2e_die "the window is not centred vertically on the ${screen_w}x${screen_h} screen"
}

# Once blocks flow the scope (304 x 77 at 24,53) carries the trace of the
# latest block in yellow across its width. A screenshot can catch a redraw
# half done, so a few are taken.
check_scope_trace() {
  local yellow=0 shot="$E2E_DIR/window.png"
  for _ in 1 2 3; do
    e2e_screenshot "$shot" "$WINDOW_ID"
    yellow=$(e2e_pixels "$shot" 24 53 304 77 255 255 0)
    ((yellow >= 280)) && break
    sleep 0.3
  done
  e2e_keep "$shot" smoke-window.png
  echo "smoke: scope shows $yellow yellow trace pixels"
  ((yellow >= 280)) || e2e_die "no yellow trace across the scope (screenshot in $E2E_OUT/smoke-window.png)"
  # Black box, green frame and grid, and "Sound delay : 45 ms" pixel for pixel.
  "$(e2e_python)" "$E2E_ROOT/tests/e2e/tools/scope_look.py" "$shot" \
    "$E2E_ROOT/tests/e2e/reference/delay-text-45ms.txt" ||
    e2e_die "the scope does not look as it should (screenshot in $E2E_OUT/smoke-window.png)"
}

check_audio() {
  e2e_measure_loop lumrio 1
  e2e_check_loop lumrio "$BLOCK"
  e2e_keep "$E2E_DIR/lumrio.out.raw" smoke-output.raw
  printf 'smoke: delay %s samples (%s ms): block %s + %s from the sound stack; %s underrun shifts\n' \
    "$E2E_DELAY" "$(awk -v d="$E2E_DELAY" 'BEGIN { printf "%.1f", d * 1000 / 22050 }')" \
    "$BLOCK" "$((E2E_DELAY - BLOCK))" "$E2E_CHANGES"
}

main() {
  e2e_up
  start_lumrio smoke
  check_window
  check_scope_trace
  check_audio
  fail_on_message_box "while running" smoke
  close_lumrio smoke
  echo "smoke: closed with Alt+F4, exit status 0"
  echo "smoke: PASS"
}

main "$@"
