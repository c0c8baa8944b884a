# shellcheck shell=bash
# common.sh: shared steps of the end-to-end checks (sourced, not run).
#
# Builds what a check needs in the build tree of E2E_ARCH (win32, the product,
# by default; win64 for its twin), starts a Windows program under Wine in the
# private desktop of scripts/lib/e2e-env.sh and measures its audio path with
# a click train: the click train is played into
# the "mic" sink while both mic.monitor (what the program hears) and
# spk.monitor (what it plays) are recorded. Both recordings come from the one
# sound server clock, so the lag between them is the program's own delay,
# free of the recorders' start-up offsets.

E2E_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/e2e-env.sh
source "$E2E_ROOT/scripts/lib/e2e-env.sh"

E2E_BUILD_DIR=${E2E_BUILD_DIR:-$E2E_ROOT/build/$E2E_ARCH}
E2E_TOOL="$E2E_ROOT/tests/e2e/tools/audiotool.py"
E2E_OUT=${E2E_OUT:-$E2E_ROOT/build/e2e-out/$E2E_ARCH}

# Re-runs the calling script under an overall time limit (once). From a
# terminal, timeout must stay in the terminal's process group or Ctrl-C would
# not reach the script; elsewhere it times out the whole group at once.
e2e_bound_total() {
  local seconds=$1 script=$2 mode=()
  shift 2
  [[ -t 0 ]] && mode=(--foreground)
  if [[ -z "${E2E_BOUNDED:-}" ]]; then
    E2E_BOUNDED=1 exec timeout "${mode[@]}" --kill-after=20 "$seconds" bash "$script" "$@"
  fi
}

# Builds one target of the E2E_ARCH preset unless E2E_NO_BUILD is set.
e2e_build_target() {
  local target=$1
  [[ -n "${E2E_NO_BUILD:-}" ]] && return 0
  cd "$E2E_ROOT" || e2e_die "cannot enter $E2E_ROOT"
  mkdir -p "$E2E_OUT"
  if [[ ! -f "$E2E_BUILD_DIR/CMakeCache.txt" ]]; then
    timeout 600 cmake --preset "$E2E_ARCH" >/dev/null || e2e_die "cmake --preset $E2E_ARCH failed"
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
  # nice execs the command, so the pid is Wine's own.
  nice -n "$E2E_PROG_NICE" "$WINE" "$@" >"$log" 2>&1 &
  E2E_PROG_PID=$!
  e2e_track "$E2E_PROG_PID"
}

e2e_program_alive() { kill -0 "$E2E_PROG_PID" 2>/dev/null; }

# Plays a click train through the running program and measures it. $1 is a
# name for the files (under $E2E_DIR), $2 the longest delay to look for in
# seconds. Sets E2E_DELAY (the steady delay, samples), E2E_DELAY_MIN and
# E2E_DELAY_MAX (over all chunks), E2E_CHANGES (how often the delay changed:
# underruns of the sound stack under load) and E2E_SEGMENTS_OK (1 when nearly
# every chunk of the input came out unchanged). E2E_CLICK_SECONDS sets the
# length of the click train (default 4 s).
e2e_measure_loop() {
  local name=$1 max_delay=$2 seconds=${E2E_CLICK_SECONDS:-4}
  local clicks="$E2E_DIR/$name.clicks.raw" in="$E2E_DIR/$name.in.raw" out="$E2E_DIR/$name.out.raw"
  local report="$E2E_DIR/$name.segments.txt"
  e2e_tool clicks "$clicks" --seconds "$seconds" --noise 200 --lead 0.3 >/dev/null
  e2e_play_through "$clicks" "$in" "$out" \
    "$(awk -v s="$seconds" -v d="$max_delay" 'BEGIN { printf "%.1f", s + d + 2 }')"
  # Cross-correlation against the click train: informative only, an underrun
  # in the middle of the train can blur its single peak.
  e2e_tool delay "$clicks" "$out" --input "$in" --max-delay "$((${max_delay%.*} + 2))" \
    --windows 1 2>&1 | sed -n 's/^delay:/cross-correlation delay:/p; s/^audiotool/cross-correlation/p' |
    sed "s/^/  /" || true
  E2E_SEGMENTS_OK=1
  e2e_tool segments "$in" "$out" --max-delay "$((${max_delay%.*} + 2))" >"$report" 2>&1 ||
    E2E_SEGMENTS_OK=0
  sed "s/^/  /" "$report"
  E2E_DELAY=$(awk '/^delay:/ { print $2 }' "$report")
  E2E_DELAY_MIN=$(awk '/^shifts:/ { print $3 }' "$report")
  E2E_DELAY_MAX=$(awk '/^shifts:/ { print $5 }' "$report")
  E2E_CHANGES=$(awk '/^shifts:/ { print $7 }' "$report")
}

# Judges a measurement of e2e_measure_loop named $1 for a loop of $2 samples
# per block ($3: how many underrun shifts to tolerate, if not the default).
# Tolerates a few underruns of the sound stack (E2E_MAX_CHANGES) but not a
# delay below one block, nor beyond block + E2E_MAX_EXTRA, nor audio that
# comes out changed or not at all. Says why and returns 1 when it fails.
e2e_loop_ok() {
  local name=$1 block=$2
  local max_extra=${E2E_MAX_EXTRA:-3000} max_changes=${3:-${E2E_MAX_CHANGES:-4}} why=""
  if [[ $E2E_SEGMENTS_OK -ne 1 || -z "$E2E_DELAY" ]]; then
    why="the input did not come out of the program unchanged (see above)"
  elif ((E2E_DELAY_MIN < block)); then
    why="delay $E2E_DELAY_MIN samples is shorter than the block of $block: playback does not wait for a full block"
  elif ((E2E_DELAY_MAX > block + max_extra)); then
    why="delay $E2E_DELAY_MAX samples exceeds the block of $block + $max_extra samples of sound-stack latency"
  elif ((E2E_CHANGES > max_changes)); then
    why="the delay changed $E2E_CHANGES times during ${E2E_CLICK_SECONDS:-4} s (blocks lost or repeated)"
  fi
  [[ -z "$why" ]] && return 0
  printf 'e2e: %s: %s\n' "$name" "$why" >&2
  return 1
}

# The same, for a loop that must pass: a failure ends the check.
e2e_check_loop() {
  e2e_loop_ok "$@" || e2e_die "$1 failed"
}

# Counts pixels of one colour in a rectangle of an image: IMAGE X Y W H R G B.
e2e_pixels() {
  local py
  py=$(e2e_python) || e2e_die "no python3 with numpy (install python3-numpy)"
  "$py" "$E2E_ROOT/tests/e2e/tools/pixels.py" "$@" || e2e_die "cannot read pixels of $1"
}

# Keeps an artefact (screenshot, recording) after the temp dir is gone.
e2e_keep() {
  mkdir -p "$E2E_OUT"
  cp "$1" "$E2E_OUT/$2"
}
