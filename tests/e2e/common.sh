# common.sh: shared steps of the end-to-end checks (sourced, not run).
#
# Builds what a check needs in the standard win64 build tree, starts a Windows
# program under Wine in the private desktop of scripts/lib/e2e-env.sh and
# measures its audio path with a click train: the click train is played into
# the "mic" sink while both mic.monitor (what the program hears) and
# spk.monitor (what it plays) are recorded. Both recordings come from the one
# sound server clock, so the lag between them is the program's own delay,
# free of the recorders' start-up offsets.

E2E_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../scripts/lib/e2e-env.sh
source "$E2E_ROOT/scripts/lib/e2e-env.sh"

E2E_BUILD_DIR=${E2E_BUILD_DIR:-$E2E_ROOT/build/win64}
E2E_TOOL="$E2E_ROOT/tests/e2e/tools/audiotool.py"
E2E_OUT=${E2E_OUT:-$E2E_ROOT/build/e2e-out}

# Re-runs the calling script under an overall time limit (once).
e2e_bound_total() {
  local seconds=$1 script=$2
  shift 2
  if [[ -z "${E2E_BOUNDED:-}" ]]; then
    E2E_BOUNDED=1 exec timeout --kill-after=20 "$seconds" bash "$script" "$@"
  fi
}

# Builds one target of the win64 preset unless E2E_NO_BUILD is set.
e2e_build_target() {
  local target=$1
  [[ -n "${E2E_NO_BUILD:-}" ]] && return 0
  cd "$E2E_ROOT"
  mkdir -p "$E2E_OUT"
  if [[ ! -f "$E2E_BUILD_DIR/CMakeCache.txt" ]]; then
    timeout 600 cmake --preset win64 >/dev/null || e2e_die "cmake --preset win64 failed"
  fi
  timeout 1200 cmake --build "$E2E_BUILD_DIR" --target "$target" -j2 >"$E2E_OUT/build-$target.log" 2>&1 ||
    {
      tail -n 30 "$E2E_OUT/build-$target.log" >&2
      e2e_die "building $target failed"
    }
}

e2e_tool() {
  local py
  py=$(e2e_python) || e2e_die "no python3 with numpy (install python3-numpy)"
  "$py" "$E2E_TOOL" "$@"
}

# Starts a Windows program under Wine in the background; sets E2E_PROG_PID.
e2e_start_program() {
  local log=$1
  shift
  "$WINE" "$@" >"$log" 2>&1 &
  E2E_PROG_PID=$!
  e2e_track "$E2E_PROG_PID"
}

e2e_program_alive() { kill -0 "$E2E_PROG_PID" 2>/dev/null; }

# Plays a click train through the running program and measures it. $1 is a
# name for the files (under $E2E_DIR), $2 the longest delay to look for in
# seconds. Sets E2E_DELAY (samples) and E2E_DIFFERING (samples that differ
# between input and output once aligned).
e2e_measure_loop() {
  local name=$1 max_delay=$2
  local clicks="$E2E_DIR/$name.clicks.raw" in="$E2E_DIR/$name.in.raw" out="$E2E_DIR/$name.out.raw"
  local report="$E2E_DIR/$name.delay.txt" seconds=4
  e2e_tool clicks "$clicks" --seconds "$seconds" --noise 200 >/dev/null
  local record_for
  record_for=$(awk -v s="$seconds" -v d="$max_delay" 'BEGIN { printf "%d", s + d + 2.5 }')
  e2e_record_start "$in" "$record_for" mic.monitor
  local in_pid=$E2E_REC_PID
  e2e_record_start "$out" "$record_for" spk.monitor
  local out_pid=$E2E_REC_PID
  sleep 0.5
  e2e_play_raw "$clicks"
  e2e_record_wait "$in_pid"
  e2e_record_wait "$out_pid"
  e2e_tool delay "$clicks" "$out" --input "$in" --max-delay "$((${max_delay%.*} + 2))" |
    tee "$report" | sed "s/^/  /" ||
    e2e_die "$name: no usable click train in the recording of the program's output"
  E2E_DELAY=$(awk '/^delay:/ { print $2 }' "$report")
  [[ -n "$E2E_DELAY" ]] || e2e_die "$name: delay not measured"
  e2e_compare_streams "$name" "$clicks" "$in" "$out"
}

# Counts samples that differ between what the program heard and what it
# played, over the click train, after removing the measured delay.
e2e_compare_streams() {
  local name=$1 clicks=$2 in=$3 out=$4 in_lag
  in_lag=$(awk '/^input: lag/ { print $3 }' "$E2E_DIR/$name.delay.txt")
  local report="$E2E_DIR/$name.compare.txt" length
  length=$(($(stat -c %s "$clicks") / 2))
  e2e_tool compare "$in" "$out" --shift "$E2E_DELAY" --start "$in_lag" --length "$length" \
    --allow 1000000000 | tee "$report" | sed "s/^/  /"
  E2E_DIFFERING=$(awk '/^compare:/ { print $(NF-1) }' "$report")
}

# Keeps an artefact (screenshot, recording) after the temp dir is gone.
e2e_keep() {
  mkdir -p "$E2E_OUT"
  cp "$1" "$E2E_OUT/$2"
}
