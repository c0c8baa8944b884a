#!/usr/bin/env bash
# quiet.sh: the delay holds for a minute of quiet running.
#
# One click a second for 60 s, for blocks of 64, 1000 and 8800 samples,
# nothing else happening; the program beside the bare loop and PulseAudio's
# own loopback (see steadiness.sh for the rig and the verdict).
#
# Usage: tests/e2e/quiet.sh [BLOCK...]     (64, 1000, 8800 by default)
set -euo pipefail
# shellcheck source=tests/e2e/steadiness.sh
source "$(dirname "${BASH_SOURCE[0]}")/steadiness.sh"

TRAIN_SECONDS=60
FAULTS=()
steady_check quiet 120 "$@"
