#!/usr/bin/env bash
# quiet.sh: the delay holds for a minute of quiet running.
#
# One click a second for 60 s, for blocks of 64, 1000 and 8800 samples,
# nothing else happening; the program beside the bare loop and PulseAudio's
# own loopback (see steadiness.sh for the rig and the verdict).
#
# Usage: tests/e2e/quiet.sh [BLOCK...]     (64, 1000, 8800 by default)
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
TRAIN_SECONDS=60
FAULTS=()

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare refloop
e2e_bound_total $((60 + 120 * ${#BLOCKS[@]})) "$0" "$@"
steady_main quiet "${BLOCKS[@]}"
