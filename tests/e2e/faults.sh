#!/usr/bin/env bash
# faults.sh: after the machine stalls or is loaded, the delay comes back to
# what it was and the sound goes on.
#
# With one click a second throughout, for blocks of 64, 1000 and 8800
# samples: quiet 8 s; the program stopped for 1 s (kill -STOP, then -CONT,
# by its pid, as a busy machine or a stuck driver stops it); 8 s; two
# CPU-bound processes for 10 s; 8 s; stopped for 3 s; 8 s. The bare loop
# runs beside it and is stopped with it; PulseAudio's own loopback runs too
# (see steadiness.sh for the rig and the verdict).
#
# Usage: tests/e2e/faults.sh [BLOCK...]     (64, 1000, 8800 by default)
set -euo pipefail
export LC_ALL=C E2E_PROG_NICE=${E2E_PROG_NICE:-0}
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"
# shellcheck source=tests/e2e/steadiness.sh
source "$E2E_ROOT/tests/e2e/steadiness.sh"

BLOCKS=("$@")
((${#BLOCKS[@]})) || BLOCKS=(64 1000 8800)
# NAME START LENGTH, in seconds from the start of the click train (stop: the
# processes are stopped; load: two CPU hogs).
FAULTS=("stop 8 1" "load 17 10" "stop 35 3")
TRAIN_SECONDS=47

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare refloop
e2e_bound_total $((60 + 110 * ${#BLOCKS[@]})) "$0" "$@"
steady_main faults "${BLOCKS[@]}"
