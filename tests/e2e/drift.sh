#!/usr/bin/env bash
# drift.sh: a measurement of how Lumrio's delay holds when the playback clock
# runs off the capture clock, as two sound cards' crystals do.
#
# The capture stays on "mic" (the system clock); the playback goes to a
# PulseAudio pipe sink, "card", whose FIFO tools/pacedpipe.py reads at 0.2 %
# below the nominal rate, and in a second run 0.2 % above it, saving what it
# reads. Each sample it saves is heard at a known moment, and each sample of
# mic.monitor was captured at a known moment, so a click's delay is a
# difference of two times, counted in samples of the system clock.
#
# The rig first proves itself with the reference loop, which plays every
# block: from click to click its delay has to move by the clocks' difference
# (44 samples a second), but for the steps Wine's driver makes (see
# check_rig), or the rig is wrong and the script fails. Then the program runs
# for 3 minutes at block 1000 with a click a second; the whole per-click
# curve is printed with every step that departs from the rig's drift (a
# correction of the program's, or an underrun). Verdict per direction: the
# median delay of the last 10 clicks lies within 220 samples (10 ms) of the
# median of the 10 clicks from 3 s on. The program and its wineserver run at
# normal priority (E2E_PROG_NICE=0). Not in run_all.sh: about 10 minutes.
#
# Usage: tests/e2e/drift.sh [FACTOR...]     (0.998 1.002 by default)
# Environment: E2E_DRIFT_SECONDS (180), E2E_DRIFT_REF_SECONDS (60).
set -euo pipefail
export LC_ALL=C E2E_PROG_NICE=${E2E_PROG_NICE:-0}
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

FACTORS=("$@")
((${#FACTORS[@]})) || FACTORS=(0.998 1.002)
BLOCK=1000
POSITION=100
PROG_SECONDS=${E2E_DRIFT_SECONDS:-180}
REF_SECONDS=${E2E_DRIFT_REF_SECONDS:-60}
TOLERANCE=220
# A click-to-click change this far off the rig's own drift is a step.
STEP=30
PACED="$E2E_ROOT/tests/e2e/tools/pacedpipe.py"

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare refloop
e2e_bound_total $((120 + (PROG_SECONDS + REF_SECONDS + 60) * ${#FACTORS[@]})) "$0" "$@"

# Loads the pipe sink, starts its paced reader and makes it the default
# sink, so that Wine's playback goes there. Sets CARD_MODULE, CARD_PID.
card_up() {
  local factor=$1 py
  py=$(e2e_python) || e2e_die "no python3 with numpy"
  CARD_OUT="$E2E_DIR/card-$factor.raw"
  CARD_LOG="$E2E_DIR/card-$factor.log"
  rm -f "$E2E_DIR/card.fifo"
  mkfifo "$E2E_DIR/card.fifo"
  CARD_MODULE=$(timeout 10 pactl load-module module-pipe-sink sink_name=card \
    file="$E2E_DIR/card.fifo" rate=$E2E_RATE channels=1 format=s16le) ||
    e2e_die "could not load the pipe sink"
  e2e_spawn nice -n "$E2E_NICE" "$py" "$PACED" drain "$E2E_DIR/card.fifo" "$CARD_OUT" "$CARD_LOG" \
    --factor "$factor"
  CARD_PID=$E2E_SPAWNED_PID
  e2e_wait_for 10 test -s "$CARD_LOG" || e2e_die "the paced reader did not start"
  timeout 10 pactl set-default-sink card || e2e_die "pactl set-default-sink card failed"
}

card_down() {
  timeout 10 pactl set-default-sink spk || true
  kill "$CARD_PID" 2>/dev/null || true
  wait "$CARD_PID" 2>/dev/null || true
  timeout 10 pactl unload-module "$CARD_MODULE" || e2e_die "could not unload the pipe sink"
}

# Plays N seconds of clicks (one a second) into "mic" while mic.monitor is
# recorded with arrival times; writes $1.in.raw and $1.in.log.
record_clicks() {
  local name=$1 seconds=$2 py before rec_pid
  py=$(e2e_python)
  e2e_tool clicks "$E2E_DIR/$name.clicks.raw" --seconds "$seconds" --noise 200 --every 1 >/dev/null
  before=$(e2e_recorder_count)
  timeout --signal=INT $((seconds + 10)) nice -n "$E2E_NICE" parec -d mic.monitor --raw \
    --rate=$E2E_RATE --channels=1 --format=s16le --latency-msec=10 |
    nice -n "$E2E_NICE" "$py" "$PACED" record "$E2E_DIR/$name.in.raw" "$E2E_DIR/$name.in.log" &
  rec_pid=$!
  e2e_track "$rec_pid"
  e2e_wait_recorders $((before + 1))
  sleep 0.2
  e2e_play_raw "$E2E_DIR/$name.clicks.raw"
  e2e_record_wait "$rec_pid"
}

# Prints "T LAG" a click (T: seconds into the train, LAG: samples or lost).
curve_of() {
  local py
  py=$(e2e_python)
  "$py" "$PACED" delays "$E2E_DIR/$1.in.raw" "$E2E_DIR/$1.in.log" "$CARD_OUT" "$CARD_LOG" \
    --chunk 200 | awk 'NR == 1 { first = $3 } { printf "%.1f %s\n", $3 - first + 1, $4 }'
}

# Statistics of a curve: median of the 10 clicks from 3 s, median of the last
# 10, least-squares slope and median click-to-click change (samples a
# second, from 3 s), found and lost clicks, smallest and largest from 3 s.
curve_stats() {
  awk '$2 != "lost" { t[++n] = $1; v[n] = $2 + 0 } $2 == "lost" { lost++ }
    function median(a, k,   i, j, x) {
      for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { x = a[j]; a[j] = a[j - 1]; a[j - 1] = x }
      return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    END {
      for (i = 1; i <= n; i++) {
        if (t[i] >= 3 && k1 < 10) s[++k1] = v[i]
        if (i > n - 10) e[++k2] = v[i]
        if (t[i] >= 3 && (lo == "" || v[i] < lo)) lo = v[i]
        if (t[i] >= 3 && (hi == "" || v[i] > hi)) hi = v[i]
        if (t[i] >= 3) { m++; st += t[i]; sv += v[i]; stt += t[i] * t[i]; stv += t[i] * v[i] }
        if (t[i] >= 3 && i > 1 && t[i - 1] >= 3) r[++k3] = (v[i] - v[i - 1]) / (t[i] - t[i - 1])
      }
      slope = (m > 2) ? (m * stv - st * sv) / (m * stt - st * st) : 0
      printf "%d %d %.1f %.1f %d %d %d %d\n", k1 ? median(s, k1) : -1, k2 ? median(e, k2) : -1, slope,
        k3 ? median(r, k3) : 0, n, lost + 0, lo, hi
    }' "$1"
}

# Click-to-click changes that stray from the rig's drift by more than STEP
# samples: one line each, "T CHANGE DEPARTURE".
steps_of() {
  awk -v drift="$2" -v step="$STEP" '$2 != "lost" {
      if (have) { d = $2 - last; off = d - drift * ($1 - lt); if (off > step || -off > step) printf "%s %+d %+d\n", $1, d, off }
      have = 1; last = $2; lt = $1
    }' "$1"
}

print_curve() {
  printf 'drift: %s: click (s), delay (samples)\n' "$1"
  paste -d' ' - - - - - - <"$2" | sed 's/^/  /'
}

# Prints the steps of curve $1 against drift $2, indented.
print_steps() {
  printf 'drift: %s: steps off the drift of %s/s (s, change, departure):\n' "$3" "$2"
  steps_of "$1" "$2" | awk '{ print "  " $0; n++ } END { if (!n) print "  none" }'
}

# The reference loop on this card. Between the steps Wine makes (below), its
# delay must move by the clocks' difference, within a quarter of it, else the
# card does not run at the rate it should.
#
# Not over the whole run: Wine's driver advances its own buffer a period per
# tick of its timer whatever the sound server has taken. Against a card 0.2 %
# slow it drops the oldest audio it has not handed on whenever that buffer
# overflows, so even a loop that plays every block keeps its delay within
# about a thousand samples, in irregular steps; against a card 0.2 % fast the
# delay shrinks until the stream underruns (near 3800 samples at block 1000)
# and Wine starts it again with thousands of samples of silence. On a card
# at the nominal rate the loop's delay held within 10 samples.
check_rig() {
  local factor=$1 drift=$2 name="ref-$1" start end slope rate found lost lo hi
  start_refloop "$BLOCK" $((REF_SECONDS + 14))
  record_clicks "$name" "$REF_SECONDS"
  finish_refloop "$BLOCK"
  curve_of "$name" >"$E2E_DIR/$name.curve"
  print_curve "reference loop, playback x $factor" "$E2E_DIR/$name.curve"
  print_steps "$E2E_DIR/$name.curve" "$drift" "reference loop, playback x $factor"
  read -r start end slope rate found lost lo hi <<<"$(curve_stats "$E2E_DIR/$name.curve")"
  figure drift "x $factor: reference start, end; range from 3 s" "$start $end; $lo..$hi" samples
  figure drift "x $factor: reference slope, median change" "$slope $rate" "samples/s (the clocks differ by $drift/s)"
  figure drift "x $factor: reference clicks found, lost" "$found $lost"
  awk -v s="$rate" -v d="$drift" 'BEGIN { exit !((s - d) ^ 2 <= (d / 4) ^ 2) }' ||
    e2e_die "x $factor: the reference loop's delay moved $rate samples a second between steps, not $drift: the rig is wrong"
}

# The program for PROG_SECONDS; returns 1 when its end is off its start.
measure_program() {
  local factor=$1 drift=$2 name="prog-$1" start end slope rate found lost lo hi
  store_settings Delay="$POSITION" X10=0 Equalizer=0
  start_lumrio "drift-$factor"
  record_clicks "$name" "$PROG_SECONDS"
  close_lumrio "drift-$factor"
  curve_of "$name" >"$E2E_DIR/$name.curve"
  print_curve "program, playback x $factor" "$E2E_DIR/$name.curve"
  read -r start end slope rate found lost lo hi <<<"$(curve_stats "$E2E_DIR/$name.curve")"
  print_steps "$E2E_DIR/$name.curve" "$drift" "program, playback x $factor"
  figure drift "x $factor: program start, end; range from 3 s" "$start $end; $lo..$hi" samples
  figure drift "x $factor: program slope, median change" "$slope $rate" "samples/s"
  figure drift "x $factor: program clicks found, lost" "$found $lost"
  figure drift "x $factor: program steps" "$(steps_of "$E2E_DIR/$name.curve" "$drift" | grep -c . || true)"
  ((found >= 20 && start >= 0 && end >= 0)) || {
    echo "drift: FAIL: x $factor: too few clicks came through ($found)" >&2
    return 1
  }
  if ((end - start > TOLERANCE || start - end > TOLERANCE)); then
    echo "drift: FAIL: x $factor: the delay went from $start to $end samples" >&2
    return 1
  fi
}

# The card while clicks of $1 were recorded: how full its pipe was (the
# sink's lead over the reader), its slowest read, and the silence it played
# because the sink had nothing for it.
card_stats() {
  awk 'FNR == 1 && FILENAME ~ /in.log$/ { from = $1 } FILENAME ~ /in.log$/ { to = $1; next }
    /^start/ { t0 = $2; next }
    /^second/ && t0 + $2 > from + 1 && t0 + $2 <= to {
      if (min == "" || $8 < min) min = $8; if ($9 > max) max = $9; silence += $11; if ($6 > slow) slow = $6 }
    END { printf "pipe fill %d..%d samples, slowest read %.1f ms, silence %d samples\n", min, max, slow, silence }' \
    "$E2E_DIR/$1.in.log" "$CARD_LOG"
}

main() {
  e2e_up
  local factor drift failed=0
  for factor in "${FACTORS[@]}"; do
    # Samples a second by which the playback falls behind (or runs ahead).
    drift=$(awk -v f="$factor" 'BEGIN { printf "%.1f", (1 - f) * 22050 }')
    card_up "$factor"
    check_rig "$factor" "$drift"
    figure drift "x $factor: card under the reference" "$(card_stats "ref-$factor")"
    measure_program "$factor" "$drift" || failed=1
    figure drift "x $factor: card under the program" "$(card_stats "prog-$factor")"
    card_down
  done
  ((failed == 0)) || e2e_die "the program's delay did not hold against the clock drift"
  echo "drift: PASS"
}

main "$@"
