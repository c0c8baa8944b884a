#!/usr/bin/env bash
# realtime.sh: Lumrio keeps up with the sound card at its smallest block.
#
#  1. Blocks of 64 samples (2.9 ms), equalizer off: a 30 s tone with a noise
#     bed goes through the program and through the reference loop refloop.exe
#     in the same desktop; the samples that do not come out unchanged are
#     counted for both (a shift of the whole stream by an underrun is not
#     counted, what it damaged is). The program may damage at most one block
#     (64 samples) more than the reference.
#  2. The same with the equalizer on: the CPU time of the program's process
#     (utime + stime from /proc) over the run must stay under
#     E2E_CPU_LIMIT percent (default 10) of one core.
#
# Both are judged on the sound stack's behaviour, which a busy machine
# disturbs now and then (either loop may lose a stretch to one underrun). So a
# comparison that fails is run again, up to E2E_REALTIME_TRIES times (default
# 3), each time afresh for both loops; every attempt's figures are printed. A
# program that cannot keep up fails every attempt.
#
# Usage: tests/e2e/realtime.sh     (LUMRIO_EXE, REFLOOP_EXE skip the builds)
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

SECONDS_OF_TONE=${E2E_REALTIME_SECONDS:-30}
CPU_LIMIT=${E2E_CPU_LIMIT:-10}
TRIES=${E2E_REALTIME_TRIES:-3}
BLOCK=64

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare refloop
e2e_bound_total 600 "$0" "$@"

# Plays the tone into "mic" and records both monitors; $1 names the files.
run_tone() {
  local name=$1
  e2e_play_through "$TONE" "$E2E_DIR/$name.in.raw" "$E2E_DIR/$name.out.raw" \
    $((SECONDS_OF_TONE + 3))
}

# Prints the number of damaged samples of run $1.
damaged() {
  local result
  result=$(e2e_tool glitches "$E2E_DIR/$1.in.raw" "$E2E_DIR/$1.out.raw" --max-delay 0.5 2>&1) ||
    e2e_die "$1: $result"
  echo "  $1: $result" >&2
  sed -n 's/.*, \([0-9]*\) differ,.*/\1/p' <<<"$result"
}

# utime + stime of a process, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# The pid of the process that runs $1 (lumrio.exe, refloop.exe): Wine's
# loader execs into it, so it is normally the pid we started.
program_pid() {
  local exe=$1 pid=$E2E_PROG_PID child
  if tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qi "$exe"; then
    echo "$pid"
    return 0
  fi
  # shellcheck disable=SC2013 # the file holds pids separated by spaces
  for child in $(cat "/proc/$pid/task/"*/children 2>/dev/null); do
    if tr '\0' ' ' <"/proc/$child/cmdline" 2>/dev/null | grep -qi "$exe"; then
      echo "$child"
      return 0
    fi
  done
  e2e_die "no process running $exe under pid $pid"
}

# Runs the tone through the running program $2 (files named $1) and sets
# CPU_PERCENT and CPU_FIGURE to the CPU time its process used meanwhile.
run_tone_timed() {
  local name=$1 pid t0 t1 c0 c1 hz
  pid=$(program_pid "$2")
  c0=$(cpu_ticks "$pid")
  t0=$(date +%s%N)
  run_tone "$name"
  c1=$(cpu_ticks "$pid")
  t1=$(date +%s%N)
  hz=$(getconf CLK_TCK)
  CPU_PERCENT=$(awk -v c=$((c1 - c0)) -v hz="$hz" -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f", 100 * c / hz / (ns / 1e9) }')
  CPU_FIGURE="$(awk -v c=$((c1 - c0)) -v hz="$hz" 'BEGIN { printf "%.2f", c / hz }') s in $(awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f", ns / 1e9 }') s = $CPU_PERCENT"
}

# The reference's CPU time is printed for comparison: most of what either
# process uses is Wine's own sound and window threads.
reference_run() {
  start_refloop "$BLOCK" $((SECONDS_OF_TONE + 8))
  run_tone_timed reference refloop.exe
  finish_refloop "$BLOCK"
  figure realtime "block 64: reference loop CPU time" "$CPU_FIGURE" "% of one core"
  REF_DAMAGED=$(damaged reference)
}

plain_run() {
  store_settings Delay=0 X10=0 Equalizer=0
  start_lumrio plain64
  run_tone plain
  close_lumrio plain64
  PROG_DAMAGED=$(damaged plain)
}

equalized_run() {
  store_settings Delay=0 X10=0 Equalizer=1
  start_lumrio eq64
  run_tone_timed equalized lumrio.exe
  close_lumrio eq64
  figure realtime "block 64, equalizer on: CPU time" "$CPU_FIGURE" "% of one core"
  awk -v p="$CPU_PERCENT" -v l="$CPU_LIMIT" 'BEGIN { exit !(p < l) }'
}

# One comparison of the two loops; true when the program kept up.
compare_once() {
  reference_run
  plain_run
  figure realtime "block 64, ${SECONDS_OF_TONE} s tone: reference damaged samples" "$REF_DAMAGED"
  figure realtime "block 64, ${SECONDS_OF_TONE} s tone: program damaged samples" "$PROG_DAMAGED" \
    "(limit $((REF_DAMAGED + BLOCK)))"
  ((PROG_DAMAGED <= REF_DAMAGED + BLOCK))
}

# Runs `$1` up to TRIES times until it succeeds.
with_tries() {
  local try
  for ((try = 1; try <= TRIES; try++)); do
    "$1" && return 0
    echo "realtime: attempt $try of $TRIES failed" >&2
  done
  return 1
}

main() {
  e2e_up
  TONE="$E2E_DIR/tone.raw"
  e2e_tool tone "$TONE" --frequency 437 --amplitude 8000 --noise 300 --seconds "$SECONDS_OF_TONE" --lead 0.2 >/dev/null
  local failed=0
  with_tries compare_once ||
    failed=1
  with_tries equalized_run ||
    e2e_die "the program used more than $CPU_LIMIT % of a core with the equalizer on, $TRIES times"
  ((failed == 0)) ||
    e2e_die "the program damaged more samples than the reference (+ $BLOCK allowed), $TRIES times"
  echo "realtime: PASS"
}

main "$@"
