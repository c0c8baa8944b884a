#!/usr/bin/env bash
# sample_exact.sh: what Lumrio plays, sample for sample.
#
#  1. Equalizer off: a click train with a noise bed comes out unchanged; once
#     aligned, not one sample of the recording differs from the input.
#  2. Equalizer on, all bands at the middle (gain 3): impulses of 10000 into
#     silence each come out as the band mix's impulse response: -51 first,
#     6001 as the 17th sample, non-trivial and over after 33 samples.
#  3. Equalizer on, all bands at the top (gain 5): a full-scale 1 kHz tone is
#     amplified beyond the sample range and must be clipped at 32767 and
#     -32768, not wrapped round (a wrapped peak flips its sign).
#
# Usage: tests/e2e/sample_exact.sh     (LUMRIO_EXE=path skips the build)
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

IMPULSES=6
# The usual backlog is learned over the first 2.1 s after the first block;
# start_lumrio has waited 1 s of that. Start-up steps come once a second.
SETTLE_SECONDS=${E2E_SETTLE_SECONDS:-4}

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare
e2e_bound_total 240 "$0" "$@"

# Plays a raw file into "mic" while recording "spk.monitor" to $2.
play_and_record() {
  local file=$1 out=$2 seconds before
  seconds=$(($(stat -c %s "$file") / (2 * E2E_RATE) + 2))
  before=$(e2e_recorder_count)
  e2e_record_start "$out" "$seconds" spk.monitor
  local pid=$E2E_REC_PID
  e2e_wait_recorders $((before + 1))
  sleep 0.2
  e2e_play_raw "$file"
  e2e_record_wait "$pid"
}

check_plain_copy() {
  store_settings Equalizer=0 Delay=100 X10=0
  start_lumrio plain
  # The copy is judged once the program has learned its usual backlog: a
  # stream that starts with more in hand than it keeps later is brought
  # back in steps of 10 ms during the first seconds (2606 -> 1726 samples
  # once at block 1000), and each step changes a chunk on purpose.
  sleep "$SETTLE_SECONDS"
  e2e_measure_loop plain 1
  close_lumrio plain
  e2e_check_loop plain 1000
  figure sample_exact "plain copy: delay" "$E2E_DELAY" samples
  figure sample_exact "plain copy: underrun shifts" "$E2E_CHANGES"
  if ((E2E_CHANGES == 0)); then
    local result
    result=$(e2e_tool compare "$E2E_DIR/plain.in.raw" "$E2E_DIR/plain.out.raw" --shift "$E2E_DELAY" 2>&1) ||
      e2e_die "plain copy: $result"
    figure sample_exact "plain copy: differing samples after alignment" \
      "$(sed -n 's/.*, \([0-9]*\) differ$/\1/p' <<<"$result") of $(sed -n 's/^compare: \([0-9]*\) samples.*/\1/p' <<<"$result")"
  else
    echo "sample_exact: underruns shifted the output; the chunk comparison above is the verdict"
  fi
}

check_impulse_response() {
  local signal="$E2E_DIR/impulses.raw" out="$E2E_DIR/impulses.out.raw" report="$E2E_DIR/impulses.txt"
  store_settings Equalizer=1 Equalizer1k=40 Equalizer2k=40 Equalizer3k=40 Equalizer4k=40
  e2e_tool impulses "$signal" --amplitude 10000 --count "$IMPULSES" >/dev/null
  start_lumrio impulses
  play_and_record "$signal" "$out"
  close_lumrio impulses
  e2e_keep "$out" sample-exact-impulses.raw
  local status=0
  e2e_tool response "$out" --count "$IMPULSES" --length 33 --expect 0=-51 --expect 16=6001 >"$report" 2>&1 ||
    status=$?
  sed 's/^/  /' "$report"
  figure sample_exact "equalizer gain 3, impulse 10000: first sample" \
    "$(awk '/^response 1 /{ sub(/.*: /, ""); print $1 }' "$report")" "(expected -51)"
  figure sample_exact "equalizer gain 3, impulse 10000: 17th sample" \
    "$(awk '/^response 1 /{ sub(/.*: /, ""); print $17 }' "$report")" "(expected 6001)"
  figure sample_exact "equalizer gain 3: responses found" \
    "$(awk '/^responses:/ { print $2 }' "$report") of $IMPULSES"
  ((status == 0)) || e2e_die "the equalizer's impulse response is wrong (see above)"
}

check_saturation() {
  local signal="$E2E_DIR/tone.raw" out="$E2E_DIR/tone.out.raw" report="$E2E_DIR/tone.txt"
  store_settings Equalizer=1 Equalizer1k=0 Equalizer2k=0 Equalizer3k=0 Equalizer4k=0
  e2e_tool tone "$signal" --frequency 1000 --amplitude 32767 --seconds 1.5 >/dev/null
  start_lumrio saturation
  play_and_record "$signal" "$out"
  close_lumrio saturation
  e2e_keep "$out" sample-exact-saturation.raw
  local status=0
  # A wrapped peak jumps from one rail towards the other, by 50000 and more;
  # the tone's own steps stay under 30000, and a sample of silence that the
  # sound stack let in next to a clipped one (an underrun on a busy machine)
  # makes a step of 32768 at most.
  e2e_tool saturation "$out" --min-rail 200 --max-step 40000 >"$report" 2>&1 || status=$?
  sed 's/^/  /' "$report"
  figure sample_exact "equalizer gain 5, 1 kHz at 32767: samples at 32767 / -32768" \
    "$(awk '/^saturation:/ { print $4 " / " $7 }' "$report")"
  figure sample_exact "equalizer gain 5: largest step between neighbours" \
    "$(awk '/^saturation:/ { print $NF }' "$report")" "(a wrap jumps by > 40000)"
  ((status == 0)) || e2e_die "loud equalized sound is not clipped at the sample range (see above)"
}

main() {
  e2e_up
  check_plain_copy
  check_impulse_response
  check_saturation
  echo "sample_exact: PASS"
}

main "$@"
