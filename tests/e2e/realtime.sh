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
#     (utime + stime from /proc) over the run may exceed the reference loop's,
#     measured in the same attempt, by at most E2E_CPU_EXTRA points (default
#     8) of one core. Most of what either uses is Wine's own sound and window
#     threads, which the machine's load and the Wine build move for both
#     alike; what the program adds is its scope and its equalizer, each
#     under a point of a core with the block loop in SSE2. (The 32-bit
#     build's exact x87 path, which a CPU without SSE2 takes, costs about 4.)
#
# Both are judged on the sound stack's behaviour, which a busy machine
# disturbs now and then (either loop may lose a stretch to one underrun). So
# an attempt that fails is made again, up to E2E_REALTIME_TRIES times
# (default 5), each time afresh for both loops; every attempt's figures are
# printed. Each of the two verdicts passes once an attempt has met it; a
# program that cannot keep up fails it in every attempt.
#
# Usage: tests/e2e/realtime.sh     (LUMRIO_EXE, REFLOOP_EXE skip the builds)
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

SECONDS_OF_TONE=${E2E_REALTIME_SECONDS:-30}
CPU_EXTRA=${E2E_CPU_EXTRA:-8}
TRIES=${E2E_REALTIME_TRIES:-5}
BLOCK=64

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare refloop
e2e_bound_total 900 "$0" "$@"

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

# The reference's CPU time is the yardstick for the program's.
reference_run() {
  start_refloop "$BLOCK" $((SECONDS_OF_TONE + 8))
  run_tone_timed reference refloop.exe
  finish_refloop "$BLOCK"
  REF_CPU_PERCENT=$CPU_PERCENT
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
  figure realtime "block 64, equalizer on: CPU time" "$CPU_FIGURE" \
    "% of one core (limit $(awk -v r="$REF_CPU_PERCENT" -v e="$CPU_EXTRA" 'BEGIN { printf "%.1f", r + e }'))"
}

# One attempt: the reference, then the program without and with the
# equalizer. Sets DAMAGE_OK and CPU_OK when the program kept up.
attempt() {
  reference_run
  plain_run
  figure realtime "block 64, ${SECONDS_OF_TONE} s tone: reference damaged samples" "$REF_DAMAGED"
  figure realtime "block 64, ${SECONDS_OF_TONE} s tone: program damaged samples" "$PROG_DAMAGED" \
    "(limit $((REF_DAMAGED + BLOCK)))"
  ((PROG_DAMAGED <= REF_DAMAGED + BLOCK)) && DAMAGE_OK=1
  equalized_run
  awk -v p="$CPU_PERCENT" -v r="$REF_CPU_PERCENT" -v e="$CPU_EXTRA" 'BEGIN { exit !(p <= r + e) }' &&
    CPU_OK=1
  return 0
}

main() {
  e2e_up
  TONE="$E2E_DIR/tone.raw"
  e2e_tool tone "$TONE" --frequency 437 --amplitude 8000 --noise 300 --seconds "$SECONDS_OF_TONE" --lead 0.2 >/dev/null
  DAMAGE_OK=0
  CPU_OK=0
  local try
  for ((try = 1; try <= TRIES; try++)); do
    attempt
    ((DAMAGE_OK && CPU_OK)) && break
    echo "realtime: attempt $try of $TRIES failed (damage ok: $DAMAGE_OK, CPU ok: $CPU_OK)" >&2
  done
  ((CPU_OK)) ||
    e2e_die "with the equalizer on, the program used more than $CPU_EXTRA points of a core beyond the reference loop, $TRIES times"
  ((DAMAGE_OK)) ||
    e2e_die "the program damaged more samples than the reference (+ $BLOCK allowed), $TRIES times"
  echo "realtime: PASS"
}

main "$@"
