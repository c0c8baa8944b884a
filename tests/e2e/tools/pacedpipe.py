#!/usr/bin/env python3
"""pacedpipe: a sound card whose clock runs off the system's, for drift.sh.

All streams are raw 22050 Hz mono signed 16-bit little-endian PCM.

  drain FIFO OUT LOG --factor F [--pipe-bytes N]
      Reads the FIFO of a PulseAudio pipe sink at F times the nominal rate,
      paced by the monotonic clock in steps of about 1 ms, as a sound card
      whose crystal is off by F - 1 would; everything read goes to OUT. The
      pipe is first shrunk to N bytes so that the sink's lead over the reader
      stays small. LOG gets the moment of sample 0 of OUT ("start T"), the
      factor, and every second the samples passed on, the slowest read, how
      full the pipe was after the reads of that second, and how many samples
      the sink had not delivered in time (silence in OUT, as a card plays on
      an underrun).
      Runs until killed.
  record OUT LOG
      Copies stdin (a parec of a monitor) to OUT and logs the moment each
      read arrived with the samples received so far, so that the moment of
      the stream's sample 0 can be estimated later.
  delays IN INLOG OUT OUTLOG [--max-delay S] [--chunk N] [--threshold A]
      For every click of IN (recorded with `record`), where it came out in
      OUT (read with `drain`), sample for sample, and the delay between the
      two in samples of the system clock: one line a click, "click K T LAG"
      (T in seconds into IN, LAG in samples or "lost").
"""
import argparse
import fcntl
import os
import signal
import sys
import termios
import time

RATE = 22050
FRAME = 2
F_SETPIPE_SZ = 1031
F_GETPIPE_SZ = 1032


def cmd_drain(args):
    fd = os.open(args.fifo, os.O_RDONLY | os.O_NONBLOCK)
    # Whatever the sink wrote before the reader came has to go before the
    # pipe can shrink below it.
    deadline = time.monotonic() + 5
    while True:
        try:
            while os.read(fd, 65536):
                pass
        except BlockingIOError:
            pass
        try:
            fcntl.fcntl(fd, F_SETPIPE_SZ, args.pipe_bytes)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
    size = fcntl.fcntl(fd, F_GETPIPE_SZ)
    rate = RATE * args.factor
    out = open(args.out, "wb", buffering=0)
    log = open(args.log, "w", buffering=1)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    t0 = time.monotonic()
    log.write(f"start {t0:.6f} factor {args.factor:.6f} pipe {size}\n")
    done = 0
    next_log = 1
    worst_lag = 0.0
    fill_min = fill_max = None
    silence = 0
    partial = b""
    while not stop:
        now = time.monotonic()
        want = int((now - t0) * rate) - done
        if want > 0:
            try:
                data = partial + os.read(fd, want * FRAME - len(partial))
            except BlockingIOError:
                data = partial
            # A frame cut in two by the read waits for its second half.
            cut = len(data) % FRAME
            partial = data[len(data) - cut:]
            data = data[:len(data) - cut]
            # What the sink did not deliver in time is silence on a card,
            # and what it delivers later comes out later: sample m of OUT
            # is always the one heard at t0 + m / rate.
            missing = want - len(data) // FRAME
            if missing > 0:
                data += bytes(missing * FRAME)
                silence += missing
            out.write(data)
            done += want
            worst_lag = max(worst_lag, time.monotonic() - now)
            fill = fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0")
            fill = int.from_bytes(fill, sys.byteorder) // FRAME
            fill_min = fill if fill_min is None else min(fill_min, fill)
            fill_max = fill if fill_max is None else max(fill_max, fill)
        if now - t0 >= next_log:
            log.write(f"second {next_log} read {done} slowest_ms {worst_lag * 1000:.1f} "
                      f"fill {fill_min} {fill_max} silence {silence}\n")
            next_log += 1
            worst_lag = 0.0
            fill_min = fill_max = None
            silence = 0
        time.sleep(0.001)
    log.write(f"end read {done}\n")


def cmd_record(args):
    out = open(args.out, "wb", buffering=0)
    log = open(args.log, "w", buffering=1)
    received = 0
    stdin = sys.stdin.buffer.raw
    while True:
        data = stdin.read(4096)
        if not data:
            break
        now = time.monotonic()
        out.write(data)
        received += len(data)
        log.write(f"{now:.6f} {received // FRAME}\n")


def read_raw(path):
    import numpy as np
    return np.fromfile(path, dtype="<i2")


def record_start(path):
    """The moment of sample 0 of a `record`ing: no read can arrive before
    its last sample was captured, so the earliest of (arrival less the
    stream's length so far) is the closest bound."""
    best = None
    with open(path) as log:
        for line in log:
            t, n = line.split()
            start = float(t) - int(n) / RATE
            best = start if best is None else min(best, start)
    if best is None:
        raise SystemExit(f"pacedpipe: {path} is empty")
    return best


def drain_start(path):
    with open(path) as log:
        words = log.readline().split()
    return float(words[1]), float(words[3])


def cmd_delays(args):
    import numpy as np
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.dont_write_bytecode = True  # no __pycache__ in the source tree
    import audiotool

    inp = read_raw(args.inp)
    out = read_raw(args.out)
    in_start = record_start(args.inlog)
    out_start, factor = drain_start(args.outlog)
    clicks = audiotool.find_clicks(inp, args.threshold, RATE // 2)
    if not clicks:
        print("pacedpipe: the input recording holds no click", file=sys.stderr)
        return 1
    for k, position in enumerate(clicks):
        start = max(0, position - 32)
        piece = inp[start:start + args.chunk]
        t_in = in_start + start / RATE
        # OUT sample m left the card at out_start + m / (RATE * factor).
        lo = max(0, int((t_in - out_start) * RATE * factor) - RATE)
        hi = min(len(out), lo + int((args.max_delay + 2) * RATE * factor))
        window = out[lo:hi]
        lag = "lost"
        if len(piece) == args.chunk and len(window) >= len(piece):
            for c in np.nonzero(window[:len(window) - len(piece) + 1] == piece[0])[0]:
                if np.array_equal(window[c:c + len(piece)], piece):
                    t_out = out_start + (lo + c) / (RATE * factor)
                    lag = str(int(round((t_out - t_in) * RATE)))
                    break
        print(f"click {k} {start / RATE:.3f} {lag}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("drain")
    p.add_argument("fifo")
    p.add_argument("out")
    p.add_argument("log")
    p.add_argument("--factor", type=float, required=True)
    p.add_argument("--pipe-bytes", type=int, default=8192)
    p = sub.add_parser("record")
    p.add_argument("out")
    p.add_argument("log")
    p = sub.add_parser("delays")
    p.add_argument("inp")
    p.add_argument("inlog")
    p.add_argument("out")
    p.add_argument("outlog")
    p.add_argument("--max-delay", type=float, default=6.0)
    p.add_argument("--chunk", type=int, default=500)
    p.add_argument("--threshold", type=int, default=8000)
    args = parser.parse_args()
    if args.command == "drain":
        cmd_drain(args)
    elif args.command == "record":
        cmd_record(args)
    else:
        return cmd_delays(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
