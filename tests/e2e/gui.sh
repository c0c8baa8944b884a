#!/usr/bin/env bash
# gui.sh: Lumrio worked with mouse and keyboard, as a person would.
#
# First the frame as Win32 sees it, read from inside Wine by framecheck.exe:
# no minimise or maximise box, no sizing border, a system menu whose only
# commands are Move and Close, a client area of 410 x 149, an owner window
# titled "lumrio" (the application window the task bar shows). Then with xdotool on the private X display, at
# the positions of the control layout (client-area pixels):
#  1. ticking "x 10 Delay" changes the scale under the delay slider and the
#     delay to ten times as much (measured);
#  2. after unticking it, a two-second drag of the delay slider restarts the
#     engine once, about 500 ms after the mouse button is released, with the
#     position it was dropped at (measured; the position is read back from
#     the saved settings);
#  3. clicking the slider's thumb and pressing arrow keys does not move it
#     (screenshots equal, delay unchanged);
#  4. ticking "Equalizer" changes the output;
#  5. the volume slider: thumb at the top is louder than in the middle, which
#     is louder than at the bottom (RMS of a tone through the program);
#  6. Alt+F4 closes the window with status 0 and the registry holds what was
#     set.
#
# Usage: tests/e2e/gui.sh     (LUMRIO_EXE=path skips the build)
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

export E2E_CLICK_SECONDS=${E2E_CLICK_SECONDS:-2}

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare framecheck
e2e_bound_total 300 "$0" "$@"

CLIENT_SIZE=410x149
# Move and Close: a window of fixed size offers nothing else.
SYSTEM_COMMANDS="0xF010 0xF060"
# The task bar shows the title of the application window, which owns the
# main window.
APP_TITLE=lumrio
# Wine puts "About Wine" into every system menu; Windows does not.
WINE_ABOUT=0xF141

# Control positions in the client area (group box offset added).
X10_BOX=(343 11)          # cb_X10Delay (335,3,73,17): the box itself
EQ_BOX=(343 36)           # cb_UseFilter (4,7,64,17) in EqGroupBox (331,21)
SCALE=(10 37 320 13)      # lb_0ms .. lb_2ms in DelayGroupBox (2,0)
DELAY_TRACK=(4 15 323 21) # DelayTrackBar (2,15,323,21) in DelayGroupBox
VOLUME_X=9                # VolumeTrackBar (-3,66,24,87), positions 1..6500
VOLUME_TOP=73
VOLUME_BOTTOM=146

# Thumb centre of the delay slider at position $1 (0..880): the channel
# leaves half a thumb (and a pixel) at either end.
delay_thumb_x() { echo $((DELAY_TRACK[0] + 8 + (DELAY_TRACK[2] - 16) * $1 / 880)); }
delay_thumb_y() { echo $((DELAY_TRACK[1] + 10)); }

click_at() {
  timeout 10 xdotool mousemove $((OX + $1)) $((OY + $2)) click 1 || e2e_die "xdotool click failed"
}

# Drags with the mouse from client point ($1,$2) to ($3,$4) in $5 steps,
# 100 ms apart (never a pause of 500 ms).
drag() {
  local x0=$1 y0=$2 x1=$3 y1=$4 steps=$5 i
  timeout 10 xdotool mousemove $((OX + x0)) $((OY + y0)) mousedown 1
  for ((i = 1; i <= steps; i++)); do
    timeout 5 xdotool mousemove $((OX + x0 + (x1 - x0) * i / steps)) $((OY + y0 + (y1 - y0) * i / steps))
    sleep 0.1
  done
  timeout 10 xdotool mouseup 1
}

# md5 of a rectangle of a fresh screenshot of the window.
crop_hash() {
  local shot="$E2E_DIR/crop.png"
  e2e_screenshot "$shot" "$WINDOW_ID"
  timeout 20 convert "$shot" -crop "$3x$4+$1+$2" +repage -depth 8 rgb:- | md5sum | cut -c1-12
}

# Waits until the engine has restarted (a new playback stream) and blocks
# flow again.
wait_restart() {
  sleep 1.5
  e2e_wait_for 20 "${PLAYS_INTO_SPEAKER[@]}" || e2e_die "$1: the engine did not start again"
  sleep 0.5
  fail_on_message_box "$1" gui
}

# Measures the delay and checks that it belongs to a block of $2 samples.
measure_block() {
  local name=$1 block=$2 max_delay
  max_delay=$(awk -v b="$block" 'BEGIN { printf "%.2f", (b + 3000) / 22050 + 0.1 }')
  e2e_measure_loop "$name" "$max_delay"
  e2e_check_loop "$name" "$block"
  figure gui "$name: delay" "$E2E_DELAY samples (block $block)"
}

# Black text pixels of the three scale labels: "0 ms 200 ms 400 ms" and
# "0 sec 2 sec 4 sec" differ in ink.
scale_ink() {
  local shot="$E2E_DIR/scale.$1.png"
  e2e_screenshot "$shot" "$WINDOW_ID"
  e2e_keep "$shot" "gui-scale-$1.png"
  e2e_pixels "$shot" "${SCALE[@]}" 0 0 0
}

# Records a failure and goes on, so that one run reports every figure.
soft_fail() {
  echo "gui: FAIL: $*" >&2
  FAILURES+=("$*")
}

# Prints the value of KEY in the report of framecheck.exe ($1 file, $2 key).
frame_fact() { awk -v k="$2" 'index($0, k "=") == 1 { print substr($0, length(k) + 2); exit }' "$1"; }

check_frame() {
  local report="$E2E_DIR/frame.txt" status=0 boxes all commands client owner owner_title
  [[ -f "$FRAMECHECK_EXE_PATH" ]] || e2e_die "framecheck.exe not found at $FRAMECHECK_EXE_PATH"
  timeout 60 "$WINE" "$FRAMECHECK_EXE_PATH" 10 2>"$E2E_DIR/framecheck.log" | tr -d '\r' >"$report" ||
    status=$?
  ((status == 0)) || e2e_die "framecheck.exe did not read the window \"$LUMRIO_TITLE\" (status $status)"
  sed 's/^/  /' "$report"
  boxes="$(frame_fact "$report" minimizebox) / $(frame_fact "$report" maximizebox) / $(frame_fact "$report" thickframe)"
  figure gui "frame: minimise box / maximise box / sizing border" "$boxes" "(expected 0 / 0 / 0)"
  [[ "$boxes" == "0 / 0 / 0" ]] || soft_fail "the window can be minimised, maximised or resized (style $(frame_fact "$report" style))"
  all=$(awk -F= '$1 ~ /^sysmenu\.[0-9]+$/ && $2 != "separator" { split($2, w, " "); print w[1] }' "$report" |
    sort | tr '\n' ' ')
  all=${all% }
  commands=$(tr ' ' '\n' <<<"$all" | { grep -vx "$WINE_ABOUT" || true; } | tr '\n' ' ')
  commands=${commands% }
  figure gui "frame: system menu commands" "${all:-none}" "(expected $SYSTEM_COMMANDS, and Wine's own $WINE_ABOUT)"
  [[ "$(frame_fact "$report" sysmenu)" == 1 && "$commands" == "$SYSTEM_COMMANDS" ]] ||
    soft_fail "the system menu offers ${commands:-nothing}, not only Move and Close"
  client=$(frame_fact "$report" client)
  figure gui "frame: client area (GetClientRect)" "$client" "(expected $CLIENT_SIZE)"
  [[ "$client" == "$CLIENT_SIZE" ]] || soft_fail "the client area is $client, not $CLIENT_SIZE"
  owner=$(frame_fact "$report" owner) owner_title=$(frame_fact "$report" owner.title)
  figure gui "frame: owner window / its title / visible" \
    "$owner / $owner_title / $(frame_fact "$report" owner.visible)" "(expected an owner titled $APP_TITLE)"
  [[ "$owner" != 0 && "$owner_title" == "$APP_TITLE" ]] ||
    soft_fail "the main window's owner is ${owner:-missing} titled \"$owner_title\", not the application window \"$APP_TITLE\""
}

check_x10() {
  local before after back
  measure_block "default delay" 1000
  before=$(scale_ink ms)
  click_at "${X10_BOX[@]}"
  wait_restart "x 10 Delay ticked"
  after=$(scale_ink x10)
  figure gui "scale label ink before / after ticking x 10 Delay" "$before / $after" "black pixels"
  ((before != after)) || soft_fail "ticking x 10 Delay left the scale labels as they were (see $E2E_OUT/gui-scale-x10.png)"
  measure_block "x 10 Delay ticked" 10000
  click_at "${X10_BOX[@]}"
  wait_restart "x 10 Delay unticked"
  back=$(scale_ink back)
  figure gui "scale label ink after unticking" "$back" "black pixels"
  ((back == before)) || soft_fail "unticking x 10 Delay did not bring the ms scale back"
  measure_block "x 10 Delay unticked" 1000
}

# What tells one opening of the playback device from the next. Through
# ALSA's PulseAudio plugin every opening is a client of the sound server of
# its own, while a stream is made anew within it after each underrun; Wine's
# PulseAudio driver keeps one client and makes a stream per opening.
if [[ $E2E_SOUND_PATH == alsa ]]; then OPENING_COLUMN=3; else OPENING_COLUMN=1; fi

# Logs "milliseconds opening-id,..." lines to $1 every 50 ms (background).
start_stream_log() {
  # shellcheck disable=SC2016 # the inner script expands its own variables
  timeout 30 bash -c 'while :; do
      echo "$(date +%s%3N) $(pactl list short sink-inputs 2>/dev/null | awk -v c="$1" "{ print \$c }" | sort -u | tr "\n" ",")"
      sleep 0.05
    done' _ "$OPENING_COLUMN" >"$1" &
  STREAM_LOG_PID=$!
  e2e_track "$STREAM_LOG_PID"
}

check_drag() {
  local log="$E2E_DIR/streams.log" y released first_new count delay_ms
  y=$(delay_thumb_y)
  start_stream_log "$log"
  sleep 0.3
  drag "$(delay_thumb_x 100)" "$y" "$(delay_thumb_x 400)" "$y" 20
  released=$(date +%s%3N)
  DROP_X=$(delay_thumb_x 400)
  sleep 2.5
  kill "$STREAM_LOG_PID" 2>/dev/null || true
  wait "$STREAM_LOG_PID" 2>/dev/null || true
  # The playback streams after the release that were not there before it.
  local old
  old=$(awk -v r="$released" '$1 < r { print $2 }' "$log" | tail -n1)
  count=$(awk -v r="$released" -v old="$old" '$1 >= r && $2 != "" && $2 != old { print $2 }' "$log" |
    tr ',' '\n' | grep . | grep -vxF -f <(tr ',' '\n' <<<"$old" | grep .) | sort -u | wc -l)
  first_new=$(awk -v r="$released" -v old="$old" '$1 >= r && $2 != "" && $2 != old { print $1; exit }' "$log")
  local changes_during
  changes_during=$(awk -v r="$released" '$1 < r { print $2 }' "$log" | uniq | wc -l)
  figure gui "drag: playback streams during the 2 s drag" "$changes_during" "(1 = no restart)"
  figure gui "drag: new playback streams after the release" "$count" "(expected 1)"
  ((changes_during == 1)) || e2e_die "the engine restarted while the slider was still being dragged"
  ((count == 1)) || e2e_die "the drag restarted the engine $count times, expected once"
  delay_ms=$((first_new - released))
  figure gui "drag: restart after the release" "$delay_ms" "ms (500 ms countdown + stop/start)"
  ((delay_ms >= 450 && delay_ms <= 1500)) || e2e_die "the engine restarted $delay_ms ms after the release, not about 500 ms"
  wait_restart "delay dragged"
  measure_block "dragged delay" 4000
  DRAGGED_DELAY=$E2E_DELAY
}

check_arrow_keys() {
  local before after y
  y=$(delay_thumb_y)
  click_at "$DROP_X" "$y"
  sleep 1.5 # the release repeats the position: a restart may follow
  e2e_wait_for 20 "${PLAYS_INTO_SPEAKER[@]}" || e2e_die "no engine after clicking the thumb"
  before=$(crop_hash "${DELAY_TRACK[@]}")
  timeout 10 xdotool key Right Right Right Up End Page_Down
  sleep 1.5
  after=$(crop_hash "${DELAY_TRACK[@]}")
  figure gui "delay slider before / after arrow keys" "$before / $after"
  [[ "$before" == "$after" ]] || e2e_die "the keys moved the delay slider: it kept the keyboard focus"
  measure_block "after arrow keys" 4000
}

count_unchanged() { awk '/^  segments:/ { print $6 }' <<<"$1"; }

check_equalizer() {
  local found total report
  click_at "${EQ_BOX[@]}"
  sleep 0.5
  e2e_measure_loop equalized 0.5 >"$E2E_DIR/eq.txt"
  report=$(cat "$E2E_DIR/eq.txt")
  found=$(awk '/^  segments:/ { print $6 }' <<<"$report")
  total=$(awk '/^  segments:/ { print $2 }' <<<"$report")
  [[ -n "$total" ]] || {
    cat "$E2E_DIR/eq.txt"
    e2e_die "equalizer: nothing measured"
  }
  figure gui "equalizer ticked: chunks found unchanged" "${found:-0} of $total" "(was all before)"
  ((${found:-0} * 10 < total)) || e2e_die "ticking Equalizer did not change the output"
}

# RMS of the program's output while a tone plays into it.
output_rms() {
  local out="$E2E_DIR/vol.$1.raw"
  e2e_record "$out" 1.2 spk.monitor
  e2e_tool level "$out" --start 4410 | awk '{ print $NF }'
}

check_volume() {
  local tone="$E2E_DIR/tone.raw" top mid bottom
  e2e_tool tone "$tone" --frequency 440 --amplitude 8000 --seconds 14 --lead 0 >/dev/null
  timeout 20 nice -n "$E2E_NICE" pacat --playback -d mic --raw --rate=$E2E_RATE --channels=1 \
    --format=s16le --latency-msec=200 "$tone" &
  e2e_track $!
  sleep 1
  local mid_y=$(((VOLUME_TOP + VOLUME_BOTTOM) / 2))
  drag "$VOLUME_X" "$mid_y" "$VOLUME_X" $((VOLUME_TOP - 10)) 5
  top=$(output_rms top)
  drag "$VOLUME_X" "$VOLUME_TOP" "$VOLUME_X" "$mid_y" 5
  mid=$(output_rms middle)
  drag "$VOLUME_X" "$mid_y" "$VOLUME_X" $((VOLUME_BOTTOM + 10)) 5
  bottom=$(output_rms bottom)
  figure gui "volume thumb top / middle / bottom: output RMS" "$top / $mid / $bottom" "(tone RMS 5657)"
  awk -v t="$top" -v m="$mid" -v b="$bottom" 'BEGIN { exit !(t > 1.2 * m && m > 1.2 * b) }' ||
    e2e_die "the output level does not fall as the volume thumb moves down"
}

check_close_and_saved() {
  close_lumrio gui
  local delay x10 eq volume
  delay=$(stored_dword Delay)
  x10=$(stored_dword X10)
  eq=$(stored_dword Equalizer)
  volume=$(stored_dword Volume)
  figure gui "saved Delay / X10 / Equalizer / Volume" "$delay / $x10 / $eq / $volume"
  ((x10 == 0 && eq == 1 && volume == 6500)) || e2e_die "saved X10=$x10 Equalizer=$eq Volume=$volume, expected 0, 1, 6500"
  ((delay >= 350 && delay <= 450)) || e2e_die "saved Delay $delay, not where the thumb was dropped (about 400)"
  ((DRAGGED_DELAY >= delay * 10 && DRAGGED_DELAY <= delay * 10 + 3000)) ||
    e2e_die "the delay after the drag ($DRAGGED_DELAY samples) does not belong to position $delay"
  figure gui "dragged delay vs saved position" "$DRAGGED_DELAY samples for block $((delay * 10))"
}

main() {
  FAILURES=()
  e2e_up
  store_settings Delay=100 X10=0 Equalizer=0 Volume=3200
  start_lumrio gui
  read -r OX OY <<<"$(window_origin "$WINDOW_ID")"
  check_frame
  check_x10
  check_drag
  check_arrow_keys
  check_equalizer
  check_volume
  check_close_and_saved
  ((${#FAILURES[@]} == 0)) || e2e_die "${#FAILURES[@]} check(s) failed: ${FAILURES[*]}"
  echo "gui: PASS"
}

main "$@"
