# shellcheck shell=bash
# lumrio.sh: steps shared by the checks that drive lumrio.exe itself (sourced
# after common.sh): stored settings, start and close, message boxes, the
# reference loop, and a summary of labelled figures.

LUMRIO_TITLE="Quibex Lumrio v 1.72"
LUMRIO_KEY='HKLM\Software\Quibex\Lumrio'
LUMRIO_EXE_PATH=${LUMRIO_EXE:-$E2E_BUILD_DIR/src/app/lumrio.exe}
REFLOOP_EXE_PATH=${REFLOOP_EXE:-$E2E_BUILD_DIR/tests/e2e/refloop.exe}
# shellcheck disable=SC2034 # read by the checks that look at the frame
FRAMECHECK_EXE_PATH=${FRAMECHECK_EXE:-$E2E_BUILD_DIR/tests/e2e/framecheck.exe}
FIGURES_FILE=${E2E_FIGURES:-}

# Builds what the calling check needs (before the time bound starts).
# shellcheck disable=SC2120 # the arguments, "refloop" and "framecheck", are optional
lumrio_prepare() {
  e2e_install_deps
  mkdir -p "$E2E_OUT"
  [[ -n "${LUMRIO_EXE:-}" ]] || e2e_build_target lumrio
  if [[ " $* " == *" refloop "* && -z "${REFLOOP_EXE:-}" ]]; then e2e_build_target refloop; fi
  if [[ " $* " == *" framecheck "* && -z "${FRAMECHECK_EXE:-}" ]]; then e2e_build_target framecheck; fi
  return 0
}

# Prints one measured figure with its label and, when run_all.sh collects
# them, appends it to its summary file: CHECK LABEL VALUE [UNIT].
figure() {
  local check=$1 label=$2 value=$3 unit=${4:-}
  printf '%s: %s = %s %s\n' "$check" "$label" "$value" "$unit"
  if [[ -n "$FIGURES_FILE" ]]; then
    printf '%s\t%s\t%s %s\n' "$check" "$label" "$value" "$unit" >>"$FIGURES_FILE"
  fi
}

samples_ms() { awk -v d="$1" 'BEGIN { printf "%.1f", d * 1000 / 22050 }'; }

wine_reg() { timeout 60 "$WINE" reg "$@"; }

store_dword() {
  wine_reg add "$LUMRIO_KEY" /v "$1" /t REG_DWORD /d "$2" /f >/dev/null || e2e_die "reg add $1=$2 failed"
}

# Stores NAME=VALUE pairs as REG_DWORD values before a start.
store_settings() {
  local pair
  for pair in "$@"; do
    store_dword "${pair%%=*}" "${pair#*=}"
  done
}

# Prints the stored value NAME as a decimal number.
stored_dword() {
  local hex
  hex=$(wine_reg query "$LUMRIO_KEY" /v "$1" 2>/dev/null | tr -d '\r' |
    awk -v n="$1" 'tolower($1) == tolower(n) && $2 == "REG_DWORD" { print $3 }')
  [[ -n "$hex" ]] || e2e_die "value $1 is not stored as REG_DWORD under $LUMRIO_KEY"
  echo $((hex))
}

# Ids of the program's message boxes: top-level windows titled "lumrio" of a
# box's size. The program's application window bears the same title (it is
# what the task bar shows) but has no size of its own.
message_boxes() {
  local id w h
  for id in $(xdotool search --onlyvisible --name '^lumrio$' 2>/dev/null || true); do
    read -r w h _ <<<"$(e2e_window_geometry "$id" 2>/dev/null)" || continue
    ((${w:-0} >= 40 && ${h:-0} >= 20)) && echo "$id"
  done
  return 0
}

# Presses Return on every open message box, as a user would, until none is
# left (bounded); DISMISSED counts them.
dismiss_boxes() {
  local box tries=0
  DISMISSED=0
  while box=$(message_boxes | head -n1) && [[ -n "$box" ]]; do
    ((tries++ < 20)) || e2e_die "message boxes keep coming back"
    timeout 10 xdotool key --window "$box" Return 2>/dev/null || true
    DISMISSED=$((DISMISSED + 1))
    sleep 0.5
  done
}

fail_on_message_box() {
  local box
  box=$(message_boxes | head -n1)
  if [[ -n "$box" ]]; then
    e2e_screenshot "$E2E_DIR/message-box.png" && e2e_keep "$E2E_DIR/message-box.png" "$2-message-box.png"
    e2e_die "lumrio shows a message box ($1); screenshot in $E2E_OUT/$2-message-box.png"
  fi
}

# Whether a stream plays into the sink named $1.
PLAYS_INTO_SINK=(bash -c 'n=$(timeout 5 pactl list short sinks | awk -v s="$1" "\$2 == s { print \$1 }")
  timeout 5 pactl list short sink-inputs | awk -v n="$n" "\$2 == n" | grep -q .' _)

PLAYS_INTO_SPEAKER=("${PLAYS_INTO_SINK[@]}" spk)

# Starts lumrio.exe and waits until its window is up and its engine plays;
# sets WINDOW_ID and E2E_PROG_PID. $1: a label for the log and messages.
start_lumrio() {
  local label=$1
  [[ -f "$LUMRIO_EXE_PATH" ]] || e2e_die "lumrio.exe not found at $LUMRIO_EXE_PATH"
  e2e_start_program "$E2E_DIR/lumrio.$label.log" "$LUMRIO_EXE_PATH"
  WINDOW_ID=$(e2e_find_window "$LUMRIO_TITLE" 60) || {
    fail_on_message_box "$label, at start" "$label"
    e2e_die "$label: no window titled \"$LUMRIO_TITLE\" within 60 s"
  }
  e2e_wait_for 20 "${PLAYS_INTO_SPEAKER[@]}" || {
    fail_on_message_box "$label, at start" "$label"
    e2e_die "$label: the engine did not start"
  }
  sleep 1
  e2e_program_alive || e2e_die "$label: lumrio ended by itself"
  fail_on_message_box "$label, while running" "$label"
}

# Alt+F4 to the main window; expects exit status 0 within 30 s.
close_lumrio() {
  local label=$1
  e2e_close_window "$WINDOW_ID"
  e2e_wait_exit "$E2E_PROG_PID" 30 || {
    fail_on_message_box "$label, on close" "$label"
    e2e_die "$label: lumrio did not exit within 30 s of Alt+F4"
  }
  [[ $E2E_EXIT_STATUS -eq 0 ]] || e2e_die "$label: lumrio exited with status $E2E_EXIT_STATUS"
}

# Starts refloop.exe with blocks of $1 samples for $2 seconds.
start_refloop() {
  [[ -f "$REFLOOP_EXE_PATH" ]] || e2e_die "refloop.exe not found at $REFLOOP_EXE_PATH"
  e2e_start_program "$E2E_DIR/refloop.$1.log" "$REFLOOP_EXE_PATH" "$1" "$2"
  e2e_wait_for 20 "${PLAYS_INTO_SPEAKER[@]}" || e2e_die "refloop $1 did not start playing"
  sleep 1
  e2e_program_alive || e2e_die "refloop $1 died at start: $(cat "$E2E_DIR/refloop.$1.log")"
}

# Waits for refloop to end by itself and expects a clean stop.
finish_refloop() {
  e2e_wait_exit "$E2E_PROG_PID" 40 || e2e_die "refloop $1 did not stop within 40 s"
  [[ $E2E_EXIT_STATUS -eq 0 ]] || e2e_die "refloop $1 exited with status $E2E_EXIT_STATUS: $(cat "$E2E_DIR/refloop.$1.log")"
}

# The pid of the process that runs $1 (lumrio.exe, refloop.exe): Wine's
# loader execs into it, so it is normally the pid we started.
program_pid() {
  local exe=$1 pid=$E2E_PROG_PID child
  if tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qi "$exe"; then
    echo "$pid"
    return 0
  fi
  # shellcheck disable=SC2013 # the file holds pids separated by spaces
  for child in $(cat "/proc/$pid/task/"*/children 2>/dev/null); do
    if tr '\0' ' ' <"/proc/$child/cmdline" 2>/dev/null | grep -qi "$exe"; then
      echo "$child"
      return 0
    fi
  done
  e2e_die "no process running $exe under pid $pid"
}

# Client-area origin "X Y" of a window.
window_origin() {
  local w h x y
  read -r w h x y <<<"$(e2e_window_geometry "$1")" || e2e_die "xwininfo cannot read window $1"
  [[ -n "$w$h" ]] || e2e_die "no geometry for window $1"
  echo "$x $y"
}
