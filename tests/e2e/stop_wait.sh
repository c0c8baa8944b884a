#!/usr/bin/env bash
# stop_wait.sh: what a stop costs while it waits on a sound device that no
# longer answers (a measurement, no verdict).
#
# The program's playback stream is killed in the sound server while it plays
# (through PulseAudio's command socket: this pactl has no kill-sink-input).
# Wine's driver then fails every call on that stream, and a reset of the
# wave-out device fails before handing the queued buffers back, so the stop's
# drain waits its full patience for them. (Unloading the "spk" sink, as
# device_loss.sh does, is not enough: the server moves the stream to "mic"
# and the reset returns every buffer at once.) Any message box gets its
# Return; then Alt+F4 runs the stop. From just before Alt+F4 to the end of
# the process the CPU time (utime+stime) of lumrio.exe and of its wineserver
# is sampled every 50 ms (the last sample before the process is gone
# counts) and printed as CPU-seconds and percent of a core, with the wall
# time. For comparison the same is measured first for 2 s while the program
# runs on after the loss.
#
# Usage: tests/e2e/stop_wait.sh     (LUMRIO_EXE=path skips the build)
# Exit status 0 unless the rig itself fails. Not part of run_all.sh.
set -euo pipefail
# The program and its wineserver at normal priority, as on a user's machine:
# what the wait costs is taken from whatever else runs.
export E2E_PROG_NICE=${E2E_PROG_NICE:-0}
# shellcheck source=tests/e2e/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=tests/e2e/lumrio.sh
source "$E2E_ROOT/tests/e2e/lumrio.sh"

[[ -n "${E2E_BOUNDED:-}" ]] || lumrio_prepare
e2e_bound_total 150 "$0" "$@"

HZ=$(getconf CLK_TCK)

# Kills playback stream $1 through the server's command-line socket.
kill_playback_stream() {
  local socket="$E2E_DIR/pulse/cli" py
  py=$(e2e_python) || e2e_die "no python3"
  timeout 10 pactl load-module module-cli-protocol-unix "socket=$socket" >/dev/null ||
    e2e_die "could not open PulseAudio's command socket"
  timeout 10 "$py" -c '
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(("kill-sink-input %s\n" % sys.argv[2]).encode())
time.sleep(0.3)
' "$socket" "$1" || e2e_die "could not send kill-sink-input $1"
}

# utime+stime of a process in clock ticks; nothing once it is gone or a
# zombie. The fields are counted after the name, which may hold spaces.
cpu_ticks() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }
  awk '$1 != "Z" { print $12 + $13 }' <<<"$stat"
}

# The wineserver of this desktop's prefix (found by its environment).
wineserver_pid() {
  local dir
  for dir in /proc/[0-9]*; do
    [[ $(cat "$dir/comm" 2>/dev/null) == wineserver* ]] || continue
    if tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "${dir#/proc/}"
      return 0
    fi
  done
  e2e_die "no wineserver for $WINEPREFIX"
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Prints "CPU-seconds percent" for $1 ticks over $2 ms.
cpu_share() { awk -v t="$1" -v hz="$HZ" -v ms="$2" 'BEGIN { printf "%.2f %.1f", t / hz, (ms > 0 ? 100 * t / hz / (ms / 1000) : 0) }'; }

report() {
  local what=$1 ticks=$2 ms=$3 seconds percent
  read -r seconds percent <<<"$(cpu_share "$ticks" "$ms")"
  figure stop_wait "$what" "$seconds s CPU, $percent" "% of a core over $ms ms"
}

main() {
  e2e_up
  store_settings Delay=100 X10=0 Equalizer=0
  start_lumrio stopwait
  local pid server stream p0 s0 t0 p1 s1 t1 sample i=0
  pid=$(program_pid lumrio.exe)
  server=$(wineserver_pid)
  stream=$(timeout 10 pactl list short sink-inputs | awk 'NR == 1 { print $1 }')
  [[ -n "$stream" ]] || e2e_die "the program has no playback stream"
  kill_playback_stream "$stream"
  sleep 2
  [[ -z "$(timeout 10 pactl list short sink-inputs)" ]] || e2e_die "the playback stream $stream is still there"
  echo "stop_wait: killed the playback stream $stream"
  dismiss_boxes
  e2e_program_alive || e2e_die "lumrio ended by itself after the speaker was removed"

  p0=$(cpu_ticks "$pid") s0=$(cpu_ticks "$server") t0=$(now_ms)
  sleep 2
  p1=$(cpu_ticks "$pid") s1=$(cpu_ticks "$server") t1=$(now_ms)
  report "lumrio.exe running on after the loss" $((p1 - p0)) $((t1 - t0))
  report "its wineserver over the same time" $((s1 - s0)) $((t1 - t0))

  p0=$(cpu_ticks "$pid") s0=$(cpu_ticks "$server") t0=$(now_ms)
  p1=$p0 s1=$s0 t1=$t0
  e2e_close_window "$WINDOW_ID"
  while sample=$(cpu_ticks "$pid") && [[ -n "$sample" ]]; do
    p1=$sample s1=$(cpu_ticks "$server") t1=$(now_ms)
    ((t1 - t0 < 30000)) || e2e_die "lumrio did not exit within 30 s of Alt+F4"
    if ((++i % 10 == 0)) && [[ -n "$(message_boxes)" ]]; then dismiss_boxes; fi
    sleep 0.05
  done
  e2e_wait_exit "$E2E_PROG_PID" 10 || e2e_die "lumrio is a zombie that does not go"
  figure stop_wait "close: time from Alt+F4 to the last sample before the exit" $((t1 - t0)) ms
  figure stop_wait "close: exit status" "$E2E_EXIT_STATUS"
  report "lumrio.exe from Alt+F4 to its exit" $((p1 - p0)) $((t1 - t0))
  report "its wineserver over the same time" $((s1 - s0)) $((t1 - t0))
  echo "stop_wait: done"
}

main "$@"
