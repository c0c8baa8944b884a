#!/usr/bin/env bash
# wake.sh: a measurement of Lumrio's delay when it starts on sound devices
# that have gone to sleep, against starts on devices kept awake.
#
# The rig normally keeps a reader on each null sink's monitor so that the
# sinks never sleep (e2e_keep_awake, see tests/e2e/README.md); a desktop's
# sound server has no such reader. Here the sound server starts without
# them, and before every start of a program they are either started (awake)
# or not, and the sinks are left idle for E2E_WAKE_IDLE seconds, long enough
# for an idle null sink to fall asleep. At block 1000 (stored Delay 100) the
# program and the reference loop are started E2E_STARTS times under each
# condition, interleaved, and the quiet delay of each start is measured as
# delay_accuracy.sh does. Verdict: the program's median delay on sleeping
# sinks lies within 220 samples (10 ms) of its median on sinks kept awake.
# The reference loop's figures are printed beside, not judged. The program
# and its wineserver run at normal priority (E2E_PROG_NICE=0). Not in
# run_all.sh: about 6 minutes.
#
# Usage: tests/e2e/wake.sh
set -euo pipefail
export LC_ALL=C E2E_PROG_NICE=${E2E_PROG_NICE:-0} E2E_KEEP_AWAKE=0
export E2E_CLICK_SECONDS=${E2E_CLICK_SECONDS:-2}
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

BLOCK=1000
POSITION=100
STARTS=${E2E_STARTS:-5}
IDLE=${E2E_WAKE_IDLE:-4}
TOLERANCE=220
# A start on sleeping sinks was seen 16,000 to 25,000 samples late: look that far.
MAX_DELAY=2

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare refloop
e2e_bound_total $((120 + 4 * STARTS * (IDLE + 25))) "$0" "$@"

AWAKE_PIDS=()

awake_on() {
  e2e_keep_awake mic
  AWAKE_PIDS+=("$E2E_SPAWNED_PID")
  e2e_keep_awake spk
  AWAKE_PIDS+=("$E2E_SPAWNED_PID")
}

awake_off() {
  local pid
  for pid in "${AWAKE_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  AWAKE_PIDS=()
}

# The latency the "spk" sink runs at now (what its streams ask for; an idle
# sink with no reader runs at its longest).
sink_latency() {
  timeout 5 pactl list sinks | awk '/^\tName: / { name = $2 } name == "spk" && /Latency:/ { print $5 / 1000 " ms"; exit }'
}

# Measures one start of $1 (refloop or lumrio) under condition $2 (awake or
# asleep), run $3; appends the delay to DELAYS[$1-$2], or "none".
measure_start() {
  local what=$1 condition=$2 run=$3 name="$1-$2-$3"
  [[ $condition == awake ]] && awake_on
  sleep "$IDLE"
  printf 'wake: %s, %s, start %s: spk runs at %s before the start\n' "$what" "$condition" "$run" "$(sink_latency)"
  if [[ $what == refloop ]]; then
    start_refloop "$BLOCK" $((E2E_CLICK_SECONDS + MAX_DELAY + 8))
    e2e_measure_loop "$name" "$MAX_DELAY"
    finish_refloop "$BLOCK"
  else
    store_settings Delay="$POSITION" X10=0 Equalizer=0
    start_lumrio "wake-$condition-$run"
    e2e_measure_loop "$name" "$MAX_DELAY"
    close_lumrio "wake-$condition-$run"
  fi
  awake_off
  DELAYS[$what-$condition]="${DELAYS[$what-$condition]:-} ${E2E_DELAY:-none}"
  ((E2E_SEGMENTS_OK == 1)) || printf 'wake: %s: the input did not come out unchanged\n' "$name"
}

median_of() {
  tr ' ' '\n' <<<"$1" | grep -E '^[0-9]+$' | sort -n | awk '{ v[NR] = $1 }
    END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

main() {
  declare -gA DELAYS
  e2e_up
  local run what condition awake asleep
  # Interleaved, so that a change of the machine's load hits every kind alike.
  for ((run = 1; run <= STARTS; run++)); do
    for condition in awake asleep; do
      for what in refloop lumrio; do
        measure_start "$what" "$condition" "$run"
      done
    done
  done
  for what in refloop lumrio; do
    for condition in awake asleep; do
      figure wake "$what, sinks $condition: delays" "${DELAYS[$what-$condition]# }" samples
      figure wake "$what, sinks $condition: median" "$(median_of "${DELAYS[$what-$condition]}")" samples
    done
  done
  if [[ "${DELAYS[lumrio-awake]} ${DELAYS[lumrio-asleep]}" == *none* ]]; then
    e2e_die "a start of the program gave no delay (see above)"
  fi
  awake=$(median_of "${DELAYS[lumrio-awake]}")
  asleep=$(median_of "${DELAYS[lumrio-asleep]}")
  figure wake "program: asleep less awake" "$((asleep - awake))" "samples (allowed: within $TOLERANCE)"
  ((asleep - awake <= TOLERANCE && awake - asleep <= TOLERANCE)) ||
    e2e_die "the program's median delay on sleeping sinks, $asleep samples, is not within $TOLERANCE of $awake on sinks kept awake"
  echo "wake: PASS"
}

main "$@"
