# shellcheck shell=bash
# e2e-env.sh: a private, throw-away desktop for running Lumrio under Wine.
#
# Source this file, then call e2e_up: it starts a virtual X display (Xvfb), a
# private PulseAudio server with two null sinks ("mic": what the program hears,
# "spk": what it plays) and a fresh Wine prefix, all under one temp dir, and
# registers e2e_down so that everything it started is stopped again on exit.
# Pieces can also be started one by one (scripts/run reuses the user's own
# display or sound server when they work).
#
# Wine plays through its ALSA driver (winealsa) into ALSA's PulseAudio
# plugin, not through its PulseAudio driver (winepulse). winepulse counts a
# sample as played once it has copied it into a ring of its own, and after an
# underrun it pads with silence that stays in that ring: the delay grows and
# nothing a program can read shows it. Through winealsa an underrun restarts
# the stream from what Wine holds (see e2e_alsa_config), and a backlog
# larger than Wine's own buffer shows in the position (refloop_check.sh).
# E2E_SOUND_PATH=pulse gives the old path, for comparison.
#
# Every wait is bounded; every process started here has its pid recorded and
# is stopped by pid, never by name.

E2E_RATE=22050
# shellcheck source=scripts/lib/wine32.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine32.sh"
# The Windows build under test: win32 is the product, which 32-bit Wine runs;
# win64 is its twin. E2E_WINE runs the program and its registry commands (a
# 32-bit program sees the registry through WoW64's 32-bit view, and so must
# reg); prefixes are always booted with wine64, and such a prefix runs both.
E2E_ARCH=${E2E_ARCH:-win32}
case $E2E_ARCH in
  win32) E2E_WINE=${E2E_WINE:-$WINE32_LOADER} ;;
  win64) E2E_WINE=${E2E_WINE:-$WINE64_LOADER} ;;
  *)
    printf 'e2e: E2E_ARCH must be win32 or win64, not %s\n' "$E2E_ARCH" >&2
    exit 2
    ;;
esac
E2E_WINE64=$WINE64_LOADER
E2E_WINESERVER=${E2E_WINESERVER:-$WINE_SERVER}
# The sound chain (PulseAudio, wineserver, the program under test) and the X
# server run at this niceness. Test machines are often busy compiling; at normal priority
# the chain underruns and the measured delay drifts for reasons that have
# nothing to do with the program. (Without root, nice warns and runs the
# command at normal priority.)
E2E_NICE=${E2E_NICE:--10}
# The program under test and its wineserver; a check of robustness runs them
# at normal priority (0), as a user's machine does, and leaves the sound
# server its raised one, as the Windows audio engine has.
E2E_PROG_NICE=${E2E_PROG_NICE:-$E2E_NICE}
E2E_SOUND_PATH=${E2E_SOUND_PATH:-alsa}
E2E_PIDS=()
E2E_DIR=""
E2E_OWN_PREFIX=0

e2e_log() { printf 'e2e: %s\n' "$*" >&2; }
e2e_die() {
  printf 'e2e: FAIL: %s\n' "$*" >&2
  exit 1
}

# --- dependencies ---------------------------------------------------------

# command-or-path:package pairs; a missing command means its package is needed.
E2E_DEPS=(
  "$E2E_WINE64:wine64" "Xvfb:xvfb" "pulseaudio:pulseaudio" "pactl:pulseaudio-utils"
  "xdotool:xdotool" "xwininfo:x11-utils" "xdpyinfo:x11-utils" "import:imagemagick"
  "sox:sox" "espeak-ng:espeak-ng" "/usr/lib/x86_64-linux-gnu/alsa-lib/libasound_module_pcm_pulse.so:libasound2-plugins"
  "i686-w64-mingw32-g++-posix:g++-mingw-w64-i686"
  "x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64"
)

e2e_have() { command -v "$1" >/dev/null 2>&1 || [[ -x "$1" ]]; }

e2e_missing_packages() {
  local pair cmd pkg
  for pair in "${E2E_DEPS[@]}"; do
    cmd=${pair%%:*}
    pkg=${pair##*:}
    e2e_have "$cmd" || echo "$pkg"
  done
  e2e_python_has_numpy || echo python3-numpy
}

e2e_install_deps() {
  local missing
  mapfile -t missing < <(e2e_missing_packages | sort -u)
  apt_ensure "${missing[@]}" || e2e_die "could not install ${missing[*]}"
  if [[ $E2E_ARCH == win32 ]]; then
    wine32_kernel_ok && wine32_ensure || e2e_die "the 32-bit product cannot run here: $WINE32_WHY (the 64-bit twin can: scripts/run --win64, or E2E_ARCH=win64 for the tests)"
    # 32-bit Wine loads the 32-bit ALSA plugin.
    apt_ensure libasound2-plugins:i386 || e2e_die "could not install libasound2-plugins:i386"
  fi
}

# The analysis tools need numpy; the distribution's python3 has it from
# python3-numpy even when another python3 comes first on PATH.
e2e_python() {
  local py
  for py in /usr/bin/python3 python3; do
    if "$py" -c 'import numpy' >/dev/null 2>&1; then
      echo "$py"
      return 0
    fi
  done
  return 1
}
e2e_python_has_numpy() { e2e_python >/dev/null; }

# --- bookkeeping ----------------------------------------------------------

e2e_track() { E2E_PIDS+=("$1"); }

# Starts "$@" in the background, tracked; sets E2E_SPAWNED_PID. With
# E2E_DETACH set, it runs in a session of its own, so a Ctrl-C in the terminal
# reaches only the script, which can then close the program politely before
# stopping the services. (Without it a test's overall timeout stops
# everything at once, which is what a test wants.) Both forms are simple
# commands in the background, which bash execs directly, and setsid does not
# fork since such a child is never a process-group leader: the pid is the
# program's own.
e2e_spawn() {
  if [[ -n "${E2E_DETACH:-}" ]]; then
    setsid "$@" &
  else
    "$@" &
  fi
  E2E_SPAWNED_PID=$!
  e2e_track "$E2E_SPAWNED_PID"
}

e2e_make_dir() {
  [[ -n "$E2E_DIR" ]] && return 0
  E2E_DIR=$(mktemp -d /tmp/lumrio-e2e.XXXXXX)
  export E2E_DIR
}

# Polls an external command (not a shell function: it runs in a new bash)
# until it succeeds, for at most $1 seconds.
e2e_wait_for() {
  local seconds=$1
  shift
  timeout "$seconds" bash -c 'until "$@" >/dev/null 2>&1; do sleep 0.1; done' _ "$@"
}

# --- display --------------------------------------------------------------

e2e_display_works() { [[ -n "${DISPLAY:-}" ]] && timeout 5 xdpyinfo >/dev/null 2>&1; }

# Starts Xvfb on a display number that the server picks itself (-displayfd),
# so parallel runs cannot race for the same number.
e2e_start_xvfb() {
  e2e_make_dir
  local fdfile="$E2E_DIR/display"
  : >"$fdfile"
  # At the sound chain's priority: the program draws on every block, and
  # its drawing waits for the X server.
  e2e_spawn nice -n "$E2E_NICE" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" \
    >"$E2E_DIR/xvfb.log" 2>&1
  e2e_wait_for 15 test -s "$fdfile" || e2e_die "Xvfb did not start (see $E2E_DIR/xvfb.log)"
  DISPLAY=":$(tr -d '[:space:]' <"$fdfile")"
  export DISPLAY
  e2e_wait_for 10 xdpyinfo || e2e_die "Xvfb display $DISPLAY does not answer"
  e2e_log "Xvfb on $DISPLAY"
}

# --- sound ----------------------------------------------------------------

e2e_sound_works() { timeout 5 pactl info >/dev/null 2>&1; }

# E2E_SINK_NOREWINDS=1 loads the null sinks without rewinds. A sink that
# rewinds takes back what a stream wrote ahead whenever another stream asks
# for a lower latency, and ALSA's PulseAudio plugin then makes its stream
# anew (every 2 s or so). Without rewinds the delay held steadier in the one
# minute measured, but each monitor then renders its sound ahead by its
# sink's latency, which changes with the streams on it, so the lag between
# two monitors is no longer the delay (906 samples for a block of 1000):
# the checks that judge the delay itself need the default.
E2E_SINK_NOREWINDS=${E2E_SINK_NOREWINDS:-0}
e2e_null_sink() {
  timeout 10 pactl load-module module-null-sink "sink_name=$1" "rate=$E2E_RATE" \
    channels=1 format=s16le "norewinds=$E2E_SINK_NOREWINDS" "sink_properties=device.description=$1" >/dev/null ||
    e2e_die "could not create null sink $1"
}

# A private ALSA configuration whose default device is the PulseAudio server
# of $PULSE_SERVER: the system's own alsa.conf without the files it would
# load from /etc and from the user's home, then the two defaults.
e2e_alsa_config() {
  e2e_make_dir
  local conf="$E2E_DIR/alsa.conf"
  awk 'skip == 0 && /^@hooks \[/ { skip = 1; next }
       skip == 1 { if (/^\]/) skip = 2; next }
       { print }' /usr/share/alsa/alsa.conf >"$conf" || e2e_die "cannot read /usr/share/alsa/alsa.conf"
  # handle_underrun: when the sound server's queue runs dry, the plugin says
  # so, as a sound card does, and Wine's driver starts the stream again from
  # what it holds. Without it the server plays on in silence and the data
  # behind the gap comes out later for good (60 s at block 1000 on sinks
  # without rewinds: +438 samples for the bare loop and the program alike;
  # with it, neither moved after the first seconds; on the default sinks
  # both still rose, by 425 and 329).
  printf '%s\n' 'pcm.!default { type pulse handle_underrun true }' 'ctl.!default { type pulse }' >>"$conf"
  export ALSA_CONFIG_PATH="$conf"
}

# A private PulseAudio server: its own runtime and state dirs under the temp
# dir (so runs never share a socket or a cookie) and anonymous access.
e2e_start_pulse() {
  e2e_make_dir
  local run="$E2E_DIR/pulse"
  mkdir -p "$run" "$E2E_DIR/pulse-state"
  chmod 700 "$run"
  export PULSE_RUNTIME_PATH="$run" XDG_RUNTIME_DIR="$run" PULSE_STATE_PATH="$E2E_DIR/pulse-state"
  export PULSE_SERVER="unix:$run/native"
  # --disable-shm: PulseAudio 16 aborts now and then on a block imported
  # through memfd from one client and passed on to another ("Cannot send
  # block reference with non-registered memfd ID", then an assertion in
  # memblock_replace_import), seen after about 15 starts of the loops at
  # block 64. Copying the sound over the socket costs nothing at this rate.
  e2e_spawn nice -n "$E2E_NICE" pulseaudio --exit-idle-time=-1 -n --daemonize=no --use-pid-file=no --disable-shm=yes \
    --load="module-native-protocol-unix socket=$run/native auth-anonymous=1" \
    >"$E2E_DIR/pulse.log" 2>&1
  E2E_PULSE_PID=$E2E_SPAWNED_PID
  e2e_wait_for 15 pactl info || e2e_die "PulseAudio did not start (see $E2E_DIR/pulse.log)"
  e2e_null_sink mic
  e2e_null_sink spk
  timeout 10 pactl set-default-sink spk || e2e_die "pactl set-default-sink failed"
  timeout 10 pactl set-default-source mic.monitor || e2e_die "pactl set-default-source failed"
  e2e_alsa_config
  # E2E_KEEP_AWAKE=0 leaves both sinks to sleep when idle, as a desktop's
  # sound server does; wake.sh measures starts that way.
  if [[ ${E2E_KEEP_AWAKE:-1} != 0 ]]; then
    e2e_keep_awake mic
    e2e_keep_awake spk
  fi
  e2e_log "PulseAudio at $PULSE_SERVER (sinks mic, spk)"
}

# A null sink that no stream asks for a short latency sleeps up to 2 s at a
# time. Under Wine that made the capture start up to 2 s late, or, when the
# playback began on a "spk" still asleep, made Wine's driver play at two
# thirds of real time until several blocks had piled up, a backlog kept for
# the rest of the run. A reader of the monitor that asks for 10 ms keeps the
# sink's clock ticking for the whole session; what it reads is thrown away.
e2e_keep_awake() {
  e2e_spawn nice -n "$E2E_NICE" parec -d "$1.monitor" --raw --rate=$E2E_RATE --channels=1 \
    --format=s16le --latency-msec=10 --client-name="keep-$1-awake" >/dev/null 2>&1
  e2e_wait_recorder_named "keep-$1-awake" || e2e_die "the reader that keeps $1 awake did not connect"
}

# Waits (10 s at most) for a recording stream of the named client.
e2e_wait_recorder_named() {
  local deadline=$((SECONDS + 10))
  until timeout 5 pactl list source-outputs 2>/dev/null | grep -q "application.name = \"$1\""; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# --- Wine -----------------------------------------------------------------

e2e_wine_env() {
  export WINE="$E2E_WINE" WINESERVER="$E2E_WINESERVER"
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-$WINE_DLL_OVERRIDES}
}

# A fresh prefix for this desktop. When E2E_PREFIX_TEMPLATE names a prefix
# made earlier by e2e_make_prefix_template (run_all.sh makes one for all its
# checks), it is copied; otherwise one is made here the same way. Then it is
# booted, which takes 2 s; the copy is still this desktop's own and goes with
# it.
e2e_make_prefix() {
  e2e_make_dir
  e2e_wine_env
  export WINEPREFIX="$E2E_DIR/prefix"
  E2E_OWN_PREFIX=1
  local t0=$SECONDS
  if [[ -n "${E2E_PREFIX_TEMPLATE:-}" && -f "$E2E_PREFIX_TEMPLATE/system.reg" ]]; then
    cp -a "$E2E_PREFIX_TEMPLATE" "$WINEPREFIX" || e2e_die "cannot copy the Wine prefix $E2E_PREFIX_TEMPLATE"
  else
    e2e_make_prefix_template "$WINEPREFIX"
  fi
  # wineserver is started here and inherits the priority.
  timeout 120 nice -n "$E2E_PROG_NICE" "$E2E_WINE64" wineboot >"$E2E_DIR/wineboot.log" 2>&1 ||
    e2e_die "wineboot failed or timed out (see $E2E_DIR/wineboot.log)"
  e2e_log "Wine prefix $WINEPREFIX ready in $((SECONDS - t0)) s"
}

# Makes a Wine prefix at $1 (a fresh one: whatever is there goes) for
# e2e_make_prefix to copy.
e2e_make_prefix_template() {
  local dir=$1
  e2e_wine_env
  rm -rf "$dir"
  wine_new_prefix "$dir" || e2e_die "wineboot -i failed for the Wine prefix $dir, or its wineserver did not end"
  e2e_choose_wine_driver "$dir"
}

# Tells the prefix at $1 which sound driver Wine loads (E2E_SOUND_PATH).
e2e_choose_wine_driver() {
  local driver=$E2E_SOUND_PATH
  [[ $driver == alsa || $driver == pulse ]] || e2e_die "E2E_SOUND_PATH must be alsa or pulse, not $driver"
  WINEPREFIX=$1 timeout 60 "$E2E_WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d "$driver" /f \
    >/dev/null 2>&1 || e2e_die "could not choose Wine's $driver driver in $1"
  WINEPREFIX=$1 timeout 60 "$E2E_WINESERVER" -w || e2e_die "the wineserver of $1 did not end"
}

# --- up / down ------------------------------------------------------------

e2e_down() {
  local status=$? pid
  trap - EXIT INT TERM
  ((status == 0)) || e2e_keep_logs
  if [[ $E2E_OWN_PREFIX -eq 1 && -n "${WINEPREFIX:-}" ]]; then
    timeout 20 "$E2E_WINESERVER" -k >/dev/null 2>&1 || true
    E2E_OWN_PREFIX=0
  fi
  for pid in "${E2E_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${E2E_PIDS[@]}"; do
    timeout 5 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -9 "$pid" 2>/dev/null || true
  done
  E2E_PIDS=()
  if [[ -n "$E2E_DIR" && -d "$E2E_DIR" ]]; then
    if [[ -n "${E2E_KEEP:-}" ]]; then
      e2e_log "kept $E2E_DIR"
    else
      rm -rf "$E2E_DIR"
    fi
  fi
  E2E_DIR=""
}

# After a failure the logs of the private desktop outlive it, and a sound
# server that died says how it died.
e2e_keep_logs() {
  [[ -n "$E2E_DIR" && -d "$E2E_DIR" && -n "${E2E_OUT:-}" ]] || return 0
  local keep
  keep="$E2E_OUT/failed-logs/$(basename "$E2E_DIR")"
  mkdir -p "$keep" && cp "$E2E_DIR"/*.log "$keep"/ 2>/dev/null || true
  if [[ -n "${E2E_PULSE_PID:-}" ]] && ! kill -0 "$E2E_PULSE_PID" 2>/dev/null; then
    printf 'e2e: FAIL: the sound server had died; its last words: %s\n' \
      "$(tail -n 3 "$E2E_DIR/pulse.log" 2>/dev/null | tr '\n' ' ')" >&2
  fi
  e2e_log "logs kept in $keep"
}

e2e_on_signal() {
  e2e_down
  exit 130
}

e2e_register_cleanup() {
  trap e2e_down EXIT
  trap e2e_on_signal INT TERM
}

# The whole private desktop: display, sound and a fresh Wine prefix.
e2e_up() {
  e2e_register_cleanup
  e2e_make_dir
  e2e_start_xvfb
  e2e_start_pulse
  e2e_make_prefix
}

# --- audio helpers --------------------------------------------------------

# Plays a raw 22050 Hz mono s16le file into the "mic" sink; waits for the end.
e2e_play_raw() {
  local file=$1 seconds
  seconds=$(($(stat -c %s "$file") / (2 * E2E_RATE) + 10))
  # A generous buffer: an underrun here would put gaps into the very input
  # that the program is supposed to pass on.
  timeout "$seconds" nice -n "$E2E_NICE" pacat --playback -d mic --raw --rate=$E2E_RATE \
    --channels=1 --format=s16le --latency-msec=200 "$file" || e2e_die "playing $file into mic failed"
}

# Plays any audio file sox can read into "mic" (converted to 22050 mono s16).
e2e_play_file() {
  local file=$1 raw="$E2E_DIR/play.$$.raw"
  sox "$file" -t raw -r $E2E_RATE -c 1 -e signed -b 16 -L "$raw" || e2e_die "sox cannot convert $file"
  e2e_play_raw "$raw"
}

# Starts recording a source (default spk.monitor) to a raw file for N
# seconds in the background; sets E2E_REC_PID.
e2e_record_start() {
  local out=$1 seconds=$2 source=${3:-spk.monitor}
  timeout --signal=INT "$seconds" nice -n "$E2E_NICE" parec -d "$source" --raw \
    --rate=$E2E_RATE --channels=1 --format=s16le --latency-msec=100 "$out" &
  E2E_REC_PID=$!
  e2e_track "$E2E_REC_PID"
}

# Waits for a recording started with e2e_record_start; the timeout that ends
# it is the normal way for it to finish.
e2e_record_wait() {
  local pid=$1 status=0
  wait "$pid" || status=$?
  [[ $status -eq 0 || $status -eq 124 || $status -eq 130 ]] || e2e_die "parec failed (status $status)"
}

# Number of recording streams connected to the sound server.
e2e_recorder_count() { timeout 5 pactl list short source-outputs | wc -l; }

# Waits (10 s at most) until at least $1 recording streams are connected: a
# recorder process takes a moment, more on a busy machine, before it hears
# anything.
e2e_wait_recorders() {
  local want=$1 deadline=$((SECONDS + 10))
  until (($(e2e_recorder_count) >= want)); do
    ((SECONDS < deadline)) || e2e_die "the recorders did not connect to the sound server"
    sleep 0.1
  done
}

# Plays raw file $1 into "mic" while recording "mic.monitor" to $2 and
# "spk.monitor" to $3 for $4 seconds; returns when both recordings are done.
# Both recordings run on the sound server's one clock, so the shift between
# them is what the program under test adds. A command after the four
# arguments runs from the moment the playing starts (a fault schedule, say).
e2e_play_through() {
  local play=$1 in=$2 out=$3 seconds=$4 before in_pid out_pid play_pid
  shift 4
  before=$(e2e_recorder_count)
  e2e_record_start "$in" "$seconds" mic.monitor
  in_pid=$E2E_REC_PID
  e2e_record_start "$out" "$seconds" spk.monitor
  out_pid=$E2E_REC_PID
  e2e_wait_recorders $((before + 2))
  sleep 0.2
  if (($#)); then
    e2e_play_raw "$play" &
    play_pid=$!
    "$@"
    wait "$play_pid" || e2e_die "playing $play into mic failed"
  else
    e2e_play_raw "$play"
  fi
  e2e_record_wait "$in_pid"
  e2e_record_wait "$out_pid"
}

# Records for N seconds (foreground).
e2e_record() {
  e2e_record_start "$@"
  e2e_record_wait "$E2E_REC_PID"
}

# --- window helpers -------------------------------------------------------

# Prints the id of the first visible window whose title is exactly $1,
# waiting up to $2 seconds (default 30).
e2e_find_window() {
  local name=$1 seconds=${2:-30} id pattern
  pattern="^$(printf '%s' "$name" | sed 's/[][\.*^$+?(){}|]/\\&/g')\$"
  # shellcheck disable=SC2016 # the inner script expands its own arguments
  id=$(timeout "$seconds" bash -c '
    until ids=$(xdotool search --onlyvisible --name "$1" 2>/dev/null) && [[ -n "$ids" ]]; do
      sleep 0.2
    done
    echo "$ids" | head -n1' _ "$pattern") || return 1
  echo "$id"
}

# Prints "WIDTH HEIGHT X Y" of a window (client area under Wine without a
# window manager).
e2e_window_geometry() {
  timeout 10 xwininfo -id "$1" | awk '
    /Absolute upper-left X:/ {x=$NF} /Absolute upper-left Y:/ {y=$NF}
    /Width:/ {w=$NF} /Height:/ {h=$NF}
    END { if (w == "") exit 1; print w, h, x, y }'
}

# Saves a screenshot of the whole screen, or of one window if $2 is given.
e2e_screenshot() {
  local out=$1 id=${2:-root}
  timeout 20 import -window "$id" "$out" || e2e_die "screenshot failed"
}

# Asks a window to close the way a user would (Alt+F4 to the window itself).
e2e_close_window() {
  timeout 10 xdotool key --window "$1" alt+F4 2>/dev/null || e2e_die "could not send Alt+F4 to window $1"
}

# Waits up to $2 seconds for a background child of this shell to end and
# stores its exit status in E2E_EXIT_STATUS (not printed: a command
# substitution would run in a subshell, which cannot wait for our child).
# Returns 1 if it is still running.
# shellcheck disable=SC2034 # E2E_EXIT_STATUS is for the caller
e2e_wait_exit() {
  local pid=$1 seconds=$2
  E2E_EXIT_STATUS=""
  timeout "$seconds" tail --pid="$pid" -f /dev/null 2>/dev/null || return 1
  E2E_EXIT_STATUS=0
  wait "$pid" || E2E_EXIT_STATUS=$?
}
