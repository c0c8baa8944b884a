#!/usr/bin/env bash
# run_all.sh: the whole end-to-end suite of Lumrio under Wine, one check
# after the other (each in its own private desktop), then a table of every
# measured figure and of each check's verdict. Exit status 0 only if every
# check passed.
#
# Usage: tests/e2e/run_all.sh [CHECK...]   (default: all, in the order below)
# Environment: as the single checks (LUMRIO_EXE, REFLOOP_EXE, E2E_OUT ...).
set -euo pipefail
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ALL=(smoke close_time settings_wine sample_exact delay_accuracy gui realtime device_loss)
CHECKS=("$@")
((${#CHECKS[@]})) || CHECKS=("${ALL[@]}")

# Each check gets this long at most (it bounds itself as well, realtime.sh
# with its retries the longest); a run without retries takes about 7 min.
LIMIT=${E2E_CHECK_LIMIT:-660}
# realtime.sh makes up to five attempts of about two minutes.
REALTIME_LIMIT=${E2E_REALTIME_LIMIT:-960}

build_once() {
  e2e_install_deps
  mkdir -p "$E2E_OUT"
  [[ -n "${LUMRIO_EXE:-}" ]] || e2e_build_target lumrio
  [[ -n "${REFLOOP_EXE:-}" ]] || e2e_build_target refloop
  [[ -n "${FRAMECHECK_EXE:-}" ]] || e2e_build_target framecheck
  export LUMRIO_EXE=${LUMRIO_EXE:-$E2E_BUILD_DIR/src/app/lumrio.exe}
  export REFLOOP_EXE=${REFLOOP_EXE:-$E2E_BUILD_DIR/tests/e2e/refloop.exe}
  export FRAMECHECK_EXE=${FRAMECHECK_EXE:-$E2E_BUILD_DIR/tests/e2e/framecheck.exe}
}

# One fresh prefix, copied by every check, saves most of wineboot's time.
make_prefix_template() {
  TEMPLATE_DIR=$(mktemp -d /tmp/lumrio-e2e-prefix.XXXXXX)
  trap 'rm -rf "$TEMPLATE_DIR"' EXIT
  e2e_make_prefix_template "$TEMPLATE_DIR/prefix"
  export E2E_PREFIX_TEMPLATE="$TEMPLATE_DIR/prefix"
}

# Runs one check; appends "NAME VERDICT SECONDS" to $RESULTS.
run_check() {
  local name=$1 log="$E2E_OUT/e2e-$1.log" t0=$SECONDS status=0
  printf '\n=== %s\n' "$name"
  local limit=$LIMIT
  [[ $name != realtime ]] || limit=$REALTIME_LIMIT
  timeout --kill-after=20 "$limit" bash "$E2E_ROOT/tests/e2e/$name.sh" 2>&1 | tee "$log" || status=$?
  # The rig's own checks print their figures as "name: ..." lines.
  case $name in
    smoke | settings_wine)
      grep -E '^(smoke|settings): .*(delay|client|scope|exit|holds)' "$log" |
        sed -E 's/^([a-z]+): (.*)$/\1\t\2\t/' >>"$E2E_FIGURES" || true
      ;;
  esac
  local verdict=PASS
  ((status == 0)) || verdict="FAIL($status)"
  printf '%s\t%s\t%s\n' "$name" "$verdict" $((SECONDS - t0)) >>"$RESULTS"
}

summary() {
  printf '\n=== figures\n'
  awk -F'\t' '{ printf "%-15s %-62s %s\n", $1, $2, $3 }' "$E2E_FIGURES"
  printf '\n=== verdicts\n'
  awk -F'\t' '{ printf "%-15s %-10s %4d s\n", $1, $2, $3 }' "$RESULTS"
  printf 'total %d s\n' "$SECONDS"
  failure_reasons
}

# The lines in which each failed check said why, so that a log cut down to
# its tail still tells.
failure_reasons() {
  local name verdict
  while IFS=$'\t' read -r name verdict _; do
    [[ $verdict == PASS ]] && continue
    printf '\n=== why %s failed\n' "$name"
    grep -E '^(e2e: FAIL|e2e: [^:]+: |[a-z_]+: FAIL)' "$E2E_OUT/e2e-$name.log" | tail -n 8 || echo "(it said nothing; see $E2E_OUT/e2e-$name.log)"
  done <"$RESULTS"
}

main() {
  build_once
  SECONDS=0
  make_prefix_template
  export E2E_FIGURES="$E2E_OUT/e2e-figures.tsv"
  RESULTS="$E2E_OUT/e2e-results.tsv"
  : >"$E2E_FIGURES"
  : >"$RESULTS"
  local name
  for name in "${CHECKS[@]}"; do
    [[ -f "$E2E_ROOT/tests/e2e/$name.sh" ]] || e2e_die "no check named $name"
    run_check "$name"
  done
  summary
  ! grep -q 'FAIL' "$RESULTS"
}

main
