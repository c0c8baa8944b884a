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
# shellcheck source=tests/e2e/steadiness.sh
source "$(dirname "${BASH_SOURCE[0]}")/steadiness.sh"

# NAME START LENGTH, in seconds from the start of the click train (stop: the
# processes are stopped; load: two CPU hogs).
FAULTS=("stop 8 1" "load 17 10" "stop 35 3")
TRAIN_SECONDS=47
steady_check faults 110 "$@"
