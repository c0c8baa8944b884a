# shellcheck shell=bash
# steadiness.sh: does the delay hold, minute after minute and after the
# machine stalls? Shared by quiet.sh and faults.sh, which set TRAIN_SECONDS
# and FAULTS and call steady_check.
#
# For each block, one click a second is played into "mic" while three
# loops run side by side on the same input, at the same time:
#   - lumrio.exe, playing into "spk" (judged);
#   - refloop.exe, the bare capture-to-playback loop, playing into "loop";
#   - PulseAudio's own module-loopback (latency_msec=50), into "pal": the
#     sound server doing the same job, the steadiness to beat.
# The program and the loop run at normal priority with their wineserver;
# the sound server keeps its raised one, as the Windows audio engine has.
# A fault (FAULTS) stops both Windows processes (kill -STOP/-CONT) or loads
# the machine with two CPU hogs.
#
# The verdict, on the program alone, over the clicks outside each fault and
# the 2 s after it (and the first 2 s): none lost; at least 90 % within
# 220 samples (10 ms) of the quiet delay (the median of the clicks from 2 s
# to 7.5 s); the last 5 all within. The three curves are printed side by side.

export LC_ALL=C E2E_PROG_NICE=${E2E_PROG_NICE:-0}
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

STEADY_TOLERANCE=${E2E_STEADY_TOLERANCE:-220}
STEADY_SHARE=${E2E_STEADY_SHARE:-90}
STEADY_LAST=5
STEADY_LOOPBACK_MS=50

# The stored Delay position that gives a block (x 10 Delay off).
position_of() {
  case $1 in
    64) echo 0 ;;
    *) echo $(($1 / 10)) ;;
  esac
}

hog() { timeout "$1" bash -c 'while :; do :; done' || true; }

# Sleeps until $2 seconds after the moment $1 (both from $EPOCHREALTIME).
sleep_until() {
  sleep "$(awk -v t0="$1" -v at="$2" -v now="$EPOCHREALTIME" 'BEGIN { d = t0 + at - now; printf "%.3f", (d > 0 ? d : 0) }')"
}

# Runs the fault schedule against the processes "$@", timed from now.
run_schedule() {
  local t0=$EPOCHREALTIME fault name start length hog_pid
  for fault in "${FAULTS[@]}"; do
    read -r name start length <<<"$fault"
    sleep_until "$t0" "$start"
    case $name in
      stop)
        # A check that dies meanwhile must not leave the processes stopped.
        # shellcheck disable=SC2064 # the pids are fixed now
        trap "kill -CONT $* 2>/dev/null; e2e_down" EXIT
        kill -STOP "$@"
        sleep "$length"
        kill -CONT "$@"
        trap e2e_down EXIT
        ;;
      load)
        hog "$length" &
        hog_pid=$!
        hog "$length"
        wait "$hog_pid"
        ;;
    esac
  done
}

steady_sinks() {
  e2e_null_sink loop
  e2e_null_sink pal
  if [[ ${E2E_KEEP_AWAKE:-1} != 0 ]]; then
    e2e_keep_awake loop
    e2e_keep_awake pal
  fi
}

# Starts the three loops for blocks of $1; sets PROG_PID, LOOP_PID and
# LOOPBACK_MODULE.
start_loops() {
  local block=$1
  # Loaded first: the loopback takes some seconds to settle on its latency.
  LOOPBACK_MODULE=$(timeout 10 pactl load-module module-loopback source=mic.monitor sink=pal \
    latency_msec=$STEADY_LOOPBACK_MS source_dont_move=true sink_dont_move=true) ||
    e2e_die "could not load module-loopback"
  store_settings Delay="$(position_of "$block")" X10=0 Equalizer=0
  start_lumrio "steady-$block"
  PROG_PID=$(program_pid lumrio.exe)
  LUMRIO_START_PID=$E2E_PROG_PID
  PULSE_SINK=loop e2e_start_program "$E2E_DIR/refloop.$block.log" "$REFLOOP_EXE_PATH" "$block" \
    $((TRAIN_SECONDS + 12)) "Z:$E2E_DIR/refloop.$block.backlog"
  REFLOOP_START_PID=$E2E_PROG_PID
  e2e_wait_for 20 "${PLAYS_INTO_SINK[@]}" loop || e2e_die "refloop $block does not play into the sink loop"
  LOOP_PID=$(E2E_PROG_PID=$REFLOOP_START_PID program_pid refloop.exe)
  sleep 1
}

stop_loops() {
  local block=$1
  timeout 10 pactl unload-module "$LOOPBACK_MODULE" || true
  E2E_PROG_PID=$LUMRIO_START_PID
  close_lumrio "steady-$block"
  E2E_PROG_PID=$REFLOOP_START_PID
  finish_refloop "$block"
}

# Plays the click train into "mic" with the four monitors recorded while
# the schedule runs; writes $1.{in,prog,loop,pal}.raw.
record_loops() {
  local name=$1 seconds=$((TRAIN_SECONDS + 8)) before sink pids=() pid
  before=$(e2e_recorder_count)
  e2e_record_start "$E2E_DIR/$name.in.raw" "$seconds" mic.monitor
  pids+=("$E2E_REC_PID")
  for sink in spk:prog loop:loop pal:pal; do
    e2e_record_start "$E2E_DIR/$name.${sink#*:}.raw" "$seconds" "${sink%%:*}.monitor"
    pids+=("$E2E_REC_PID")
  done
  e2e_wait_recorders $((before + 4))
  sleep 0.2
  e2e_play_raw "$CLICKS" &
  local play_pid=$!
  run_schedule "$PROG_PID" "$LOOP_PID"
  wait "$play_pid" || e2e_die "playing the clicks into mic failed"
  for pid in "${pids[@]}"; do e2e_record_wait "$pid"; done
}

# Prints "T LAG" a click (T: seconds into the train, LAG: samples or lost).
curve_of() {
  local name=$1 out=$2
  shift 2
  e2e_tool curve "$E2E_DIR/$name.in.raw" "$E2E_DIR/$name.$out.raw" --max-delay 6 "$@" |
    awk 'NR == 1 { first = $3 } { printf "%.1f %s\n", $3 - first + 1, $4 }'
}

# The judged windows, "FROM TO" pairs in seconds of the train.
judged_windows() {
  local windows="2" fault name start length
  for fault in "${FAULTS[@]}"; do
    read -r name start length <<<"$fault"
    windows+=" $start $((start + length + 2))"
  done
  echo "$windows $((TRAIN_SECONDS - 1))"
}

# Prints the three curves side by side and judges the program's; returns 1
# when it fails. $1: a label, $2: the run's name.
judge_curves() {
  local label=$1 name=$2
  curve_of "$name" prog >"$E2E_DIR/$name.prog.curve"
  curve_of "$name" loop >"$E2E_DIR/$name.loop.curve"
  curve_of "$name" pal --approx --max-delay 1 >"$E2E_DIR/$name.pal.curve"
  printf '%s: click (s), lag in samples: program, bare loop, module-loopback\n' "$label"
  join -a1 -a2 -e - -o 0,1.2,2.2 <(sort -k1,1 "$E2E_DIR/$name.prog.curve") \
    <(sort -k1,1 "$E2E_DIR/$name.loop.curve") |
    join -a1 -a2 -e - -o 0,1.2,1.3,2.2 - <(sort -k1,1 "$E2E_DIR/$name.pal.curve") |
    sort -n | awk '{ printf "  %6s %7s %7s %7s\n", $1, $2, $3, $4 }'
  local who
  for who in loop pal; do
    summarise "$label" "$who" "$E2E_DIR/$name.$who.curve" || true
  done
  summarise "$label" prog "$E2E_DIR/$name.prog.curve"
}

# Judges one curve (and prints its figures); only the program's verdict
# counts.
summarise() {
  local label=$1 who=$2 curve=$3
  awk -v tol="$STEADY_TOLERANCE" -v share="$STEADY_SHARE" -v last="$STEADY_LAST" \
    -v windows="$(judged_windows)" -v label="$label" -v who="$who" '
    { t[NR] = $1; lag[NR] = $2 }
    function judged(x,   k) {
      for (k = 1; k in w; k += 2) if (x >= w[k] && x < w[k + 1]) return 1
      return 0
    }
    END {
      split(windows, w, " ")
      n = 0
      for (i = 1; i <= NR; i++) if (t[i] >= 2 && t[i] <= 7.5 && lag[i] != "lost") quiet[++n] = lag[i] + 0
      if (n == 0) { printf "%s: %s: no click came through in the quiet start\n", label, who; exit 1 }
      for (i = 2; i <= n; i++)
        for (j = i; j > 1 && quiet[j - 1] > quiet[j]; j--) { x = quiet[j]; quiet[j] = quiet[j - 1]; quiet[j - 1] = x }
      q = quiet[int((n + 1) / 2)]
      total = 0; within = 0; lost = 0; lo = ""; hi = ""; m = 0
      for (i = 1; i <= NR; i++) {
        if (!judged(t[i])) continue
        total++
        if (lag[i] == "lost") { lost++; ok[++m] = 0; continue }
        d = lag[i] - q
        if (lo == "" || lag[i] < lo) lo = lag[i]
        if (hi == "" || lag[i] > hi) hi = lag[i]
        ok[++m] = (d <= tol && -d <= tol)
        within += ok[m]
      }
      lastOk = 1
      for (i = m; i > m - last && i > 0; i--) if (!ok[i]) lastOk = 0
      pct = total ? 100 * within / total : 0
      printf "%s: %s: quiet delay %d samples; judged clicks %d, range %s..%s, lost %d, within %d samples %d (%.0f %%), last %d within: %s\n",
        label, who, q, total, lo, hi, lost, tol, within, pct, last, lastOk ? "yes" : "no"
      exit !(total > 0 && lost == 0 && pct >= share && lastOk)
    }' "$curve"
}

# One block: the three loops, the schedule, the verdict.
measure_block() {
  local block=$1 label=$2
  start_loops "$block"
  record_loops "$label-$block"
  stop_loops "$block"
  judge_curves "$label: block $block" "$label-$block"
}

steady_main() {
  local label=$1
  shift
  e2e_up
  steady_sinks
  CLICKS="$E2E_DIR/clicks.raw"
  e2e_tool clicks "$CLICKS" --seconds "$TRAIN_SECONDS" --noise 200 --every 1 >/dev/null
  local block failed=0
  for block in "$@"; do
    measure_block "$block" "$label" || failed=1
  done
  ((failed == 0)) || e2e_die "the program's delay did not hold"
  echo "$label: PASS"
}

# The whole check: LABEL, the time bound per block in seconds, then the
# blocks (64, 1000 and 8800 by default).
steady_check() {
  local label=$1 per_block=$2
  shift 2
  local blocks=("$@")
  ((${#blocks[@]})) || blocks=(64 1000 8800)
  [[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare refloop
  e2e_bound_total $((60 + per_block * ${#blocks[@]})) "$0" "${blocks[@]}"
  steady_main "$label" "${blocks[@]}"
}
