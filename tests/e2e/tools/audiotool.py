#!/usr/bin/env python3
"""audiotool: test signals and measurements for Lumrio's end-to-end tests.

All files are raw 22050 Hz mono signed 16-bit little-endian PCM, the format
that the program records and plays.

  clicks OUT [--seconds S] [--seed N] [--noise A] [--lead S] [--every S]
      A train of clicks at pseudo-random intervals, so that the signal does not
      resemble a shifted copy of itself for any lag up to the train's length:
      one cross-correlation peak, whatever the delay. With --every, one click
      every S seconds instead (for `curve`; the noise bed keeps every stretch
      of the signal unique).
  delay REF REC [--input INREC] [--max-delay S] [--windows N] [--min-ratio R]
      Finds where REF occurs in REC by cross-correlation; with --input (a
      recording of the program's input made alongside REC), reports the
      delay between the two recordings instead, which removes the recorder's
      own start offset. Also checks the delay in N consecutive windows, so a
      delay that changes within a run is caught.
  curve IN OUT [--chunk N] [--max-delay S] [--threshold A] [--approx]
      The delay of every click of IN (a recording of the program's input) in
      OUT: the stretch that starts just before the click, found sample for
      sample. One line a click, "click K T LAG" (T in seconds into IN, LAG in
      samples or "lost"), so that a run with faults shows how the delay
      moved and whether it came back. With --approx, the stretch is found by
      cross-correlation instead, for a path that resamples (PulseAudio's
      loopback): a click is lost when no clear peak stands out.
  segments IN OUT [--chunk N] [--max-delay S] [--min-found F]
           [--hold-after S --hold-within N]
      Cuts the recording of the program's input into chunks and finds each
      one, sample for sample, in the recording of its output. Prints the
      steady delay (that of the longest run of chunks), every change of the delay along the way (an
      underrun of the sound stack shifts all later audio) and how many chunks
      never came out unchanged. With --hold-after, every delay from S seconds
      into the signal on must stay within N samples of the delay there.
  compare A B --shift N [--start S] [--length N]
      Aligns B on A (B sample k+N against A sample k) and counts samples
      that differ.
  level FILE [--start S] [--length N]
      Peak and RMS, for "is anything there at all" (of N samples from S).
  impulses OUT [--amplitude A] [--count N] [--spacing S] [--lead S]
      Single-sample impulses into silence.
  tone OUT [--frequency F] [--amplitude A] [--seconds S] [--lead S]
      A sine tone (rounded, clipped to the sample range) after leading silence.
  response REC [--count N] [--length L] [--expect I=V ...]
      Cuts the recording into responses (runs of samples separated by at least
      64 silent ones), prints each, and checks that there are N of them, that
      each ends within L samples and holds the expected values at the given
      indices (0 = first non-zero sample).
  glitches IN OUT [--max-delay S] [--chunk N]
      Counts the samples of the input that do not come out unchanged: every
      chunk is compared at each delay found by `segments` (an underrun moves
      the rest of the audio; that shift itself is not counted) and counts
      with the fewest differing samples.
  saturation REC [--min-rail N] [--max-step S]
      For a loud sine that the program amplifies beyond the sample range:
      the output must reach both rails (32767 and -32768) and never jump by
      more than S between neighbouring samples, as a wrapped value would.

Exit status: 0 on success; 1 when the measurement fails (no signal, no clear
peak, unstable delay, differing samples); 2 on usage errors.
"""
import argparse
import sys

import numpy as np

RATE = 22050


def read_raw(path):
    data = np.fromfile(path, dtype="<i2")
    return data.astype(np.int16)


def write_raw(path, samples):
    np.asarray(samples, dtype="<i2").tofile(path)


def samples_to_ms(n):
    return 1000.0 * n / RATE


# --- signal -----------------------------------------------------------------


def click_shape(rng):
    """A short band-limited click with a random sign pattern, so no two
    clicks are identical and each one correlates sharply only with itself."""
    signs = rng.choice([-1.0, 1.0], size=12)
    envelope = np.hanning(14)[1:-1]
    return signs * envelope


def make_clicks(seconds, seed, noise, lead, every=None):
    rng = np.random.default_rng(seed)
    total = int(round((seconds + lead) * RATE))
    signal = np.zeros(total)
    position = int(lead * RATE)
    while True:
        if every:
            position += int(round(every * RATE))
        else:
            position += int(rng.integers(RATE // 40, RATE // 5))  # 25..200 ms apart
        click = click_shape(rng) * rng.uniform(0.5, 0.9) * 32767
        if position + len(click) >= total:
            break
        signal[position:position + len(click)] += click
    if noise > 0:
        start = int(lead * RATE)
        signal[start:] += rng.uniform(-noise, noise, size=total - start)
    return np.clip(np.round(signal), -32768, 32767).astype(np.int16)


# --- measurement ------------------------------------------------------------


def cross_correlate(ref, rec):
    """Correlation of rec against ref for every lag 0..len(rec)-1 (rec
    sample k+lag against ref sample k), by FFT."""
    size = 1
    while size < len(ref) + len(rec):
        size *= 2
    spectrum = np.fft.rfft(rec.astype(np.float64), size) * np.conj(
        np.fft.rfft(ref.astype(np.float64), size))
    return np.fft.irfft(spectrum, size)[:len(rec)]


def find_lag(ref, rec, max_lag):
    """Returns (lag, peak to runner-up ratio, normalised peak)."""
    corr = cross_correlate(ref, rec)[:max_lag + 1]
    lag = int(np.argmax(corr))
    peak = corr[lag]
    others = corr.copy()
    others[max(0, lag - 50):lag + 51] = -np.inf
    runner_up = np.max(others) if np.isfinite(others).any() else 0.0
    energy = np.sqrt(np.sum(ref.astype(np.float64) ** 2) *
                     np.sum(rec[lag:lag + len(ref)].astype(np.float64) ** 2))
    ratio = peak / runner_up if runner_up > 0 else np.inf
    return lag, ratio, (peak / energy if energy > 0 else 0.0)


def active_span(ref):
    nonzero = np.nonzero(ref)[0]
    if len(nonzero) == 0:
        return 0, 0
    return int(nonzero[0]), int(nonzero[-1]) + 1


def window_lags(ref, rec, lag, windows, search):
    """Delay of each of `windows` slices of ref, searched within +-search
    samples of the overall lag."""
    first, last = active_span(ref)
    edges = np.linspace(first, last, windows + 1).astype(int)
    lags = []
    for a, b in zip(edges[:-1], edges[1:]):
        piece = ref[a:b]
        lo = max(0, a + lag - search)
        hi = min(len(rec), b + lag + search)
        if hi - lo < len(piece):
            lags.append(None)
            continue
        corr = cross_correlate(piece, rec[lo:hi])
        corr = corr[:hi - lo - len(piece) + 1]
        lags.append(int(lo + np.argmax(corr) - a))
    return lags


def report_lag(name, ref, rec, max_lag, min_ratio):
    if np.max(np.abs(rec.astype(np.int32)), initial=0) == 0:
        raise Failure(f"{name}: the recording is silent")
    lag, ratio, norm = find_lag(ref, rec, max_lag)
    print(f"{name}: lag {lag} samples ({samples_to_ms(lag):.1f} ms), "
          f"peak/runner-up {ratio:.1f}, normalised peak {norm:.3f}")
    if ratio < min_ratio or norm < 0.3:
        raise Failure(f"{name}: no clear correlation peak (the clicks did not come through)")
    return lag


class Failure(Exception):
    pass


def cmd_clicks(args):
    signal = make_clicks(args.seconds, args.seed, args.noise, args.lead, args.every)
    write_raw(args.out, signal)
    print(f"clicks: {len(signal)} samples ({len(signal) / RATE:.2f} s) -> {args.out}")


def cmd_delay(args):
    ref = read_raw(args.ref)
    rec = read_raw(args.rec)
    max_lag = min(len(rec) - 1, int(args.max_delay * RATE))
    lag = report_lag("output", ref, rec, max_lag, args.min_ratio)
    delay = lag
    if args.input:
        in_lag = report_lag("input", ref, read_raw(args.input), max_lag, args.min_ratio)
        delay = lag - in_lag
    lags = window_lags(ref, rec, lag, args.windows, search=RATE // 2)
    known = [x for x in lags if x is not None]
    spread = (max(known) - min(known)) if known else 0
    print("window lags: " + " ".join("-" if x is None else str(x) for x in lags))
    print(f"delay: {delay} samples ({samples_to_ms(delay):.1f} ms)")
    if args.windows > 1 and len(known) < args.windows:
        raise Failure("part of the click train is missing from the recording")
    if spread > args.max_spread:
        raise Failure(f"the delay changed by {spread} samples within the run")


def index_keys(samples, width):
    """Maps every run of `width` samples to the positions where it starts."""
    view = np.lib.stride_tricks.sliding_window_view(samples, width)
    keys = {}
    for position, row in enumerate(view):
        keys.setdefault(row.tobytes(), []).append(position)
    return keys


KEY_WIDTH = 16


def exact_shift(inp, start, chunk, out, keys, max_shift):
    """The shift at which inp[start:start+chunk] occurs unchanged in out,
    within 0..max_shift (None if nowhere)."""
    piece = inp[start:start + chunk]
    for position in keys.get(piece[:KEY_WIDTH].tobytes(), []):
        candidate = position - start
        if 0 <= candidate <= max_shift and np.array_equal(out[position:position + chunk], piece):
            return candidate
    return None


def find_chunks(inp, out, chunk, max_shift):
    """For each chunk of inp between its first and last non-zero sample,
    the shift at which it occurs unchanged in out (None if nowhere)."""
    keys = index_keys(out, KEY_WIDTH)
    first, last = active_span(inp)
    found = []
    for start in range(first, last - chunk + 1, chunk):
        if not inp[start:start + KEY_WIDTH].any():
            continue  # silence matches anywhere; it proves nothing
        found.append((start, exact_shift(inp, start, chunk, out, keys, max_shift)))
    return found


def find_clicks(samples, threshold, spacing):
    """Where each click starts: the first sample at or above the threshold,
    at least `spacing` samples after the last click."""
    loud = np.nonzero(np.abs(samples.astype(np.int32)) >= threshold)[0]
    clicks = []
    for position in loud:
        if not clicks or position - clicks[-1] >= spacing:
            clicks.append(int(position))
    return clicks


def correlated_shift(inp, start, chunk, out, max_shift, min_ratio=4.0):
    """The shift at which inp[start:start+chunk] best matches out, within
    0..max_shift, when its correlation peak stands clear of the rest."""
    piece = inp[start:start + chunk].astype(np.float64)
    window = out[start:start + max_shift + chunk].astype(np.float64)
    if len(window) < chunk or not piece.any():
        return None
    scores = np.abs(np.correlate(window, piece, mode="valid"))
    best = int(np.argmax(scores))
    rest = np.delete(scores, range(max(0, best - 8), best + 9))
    if rest.size and scores[best] < min_ratio * np.median(rest) + 1e-9:
        return None
    return best


def cmd_curve(args):
    inp = read_raw(args.inp)
    out = read_raw(args.out)
    clicks = find_clicks(inp, args.threshold, RATE // 2)
    if not clicks:
        raise Failure("the input recording holds no click")
    max_shift = int(args.max_delay * RATE)
    keys = None if args.approx else index_keys(out, KEY_WIDTH)
    for k, position in enumerate(clicks):
        start = max(0, position - 32)
        if args.approx:
            shift = correlated_shift(inp, start, args.chunk, out, max_shift)
        else:
            shift = exact_shift(inp, start, args.chunk, out, keys, max_shift)
        print(f"click {k} {start / RATE:.3f} {shift if shift is not None else 'lost'}")


def shift_runs(found):
    """Consecutive runs of equal shifts: [(shift, chunks), ...]."""
    runs = []
    for _, shift in found:
        if shift is None:
            continue
        if runs and runs[-1][0] == shift:
            runs[-1][1] += 1
        else:
            runs.append([shift, 1])
    return runs


def cmd_segments(args):
    inp = read_raw(args.inp)
    out = read_raw(args.out)
    found = find_chunks(inp, out, args.chunk, int(args.max_delay * RATE))
    if not found:
        raise Failure("the input recording holds no signal")
    matched = [shift for _, shift in found if shift is not None]
    runs = shift_runs(found)
    print(f"segments: {len(found)} chunks of {args.chunk}, {len(matched)} found unchanged in the output")
    if not matched:
        raise Failure("no part of the input came out of the program unchanged")
    print("runs: " + ", ".join(f"{shift} x{count}" for shift, count in runs))
    print(f"shifts: min {min(matched)} max {max(matched)} changes {len(runs) - 1}")
    # The longest run is the program's steady delay; a short first run can be
    # a start-up underrun of the sound stack.
    steady = max(runs, key=lambda run: run[1])[0]
    print(f"delay: {steady} samples ({samples_to_ms(steady):.1f} ms)")
    if len(matched) < args.min_found * len(found):
        raise Failure(f"only {len(matched)} of {len(found)} chunks came out unchanged")
    if args.hold_after is not None:
        judge_hold(found, args.hold_after, args.hold_within)


def judge_hold(found, after_seconds, within):
    """Fails when the delay moves by more than `within` samples from the one
    it had `after_seconds` into the signal."""
    first = found[0][0]
    later = [(start, shift) for start, shift in found
             if shift is not None and start - first >= after_seconds * RATE]
    if not later:
        raise Failure(f"nothing came through after the first {after_seconds} s")
    reference = later[0][1]
    moved = [(start, shift) for start, shift in later if abs(shift - reference) > within]
    heard = [(start, shift) for start, shift in found if shift is not None]
    changes = [heard[0]] + [heard[k] for k in range(1, len(heard))
                            if heard[k][1] != heard[k - 1][1]]
    print("delays: " + ", ".join(f"{shift} from {(start - first) / RATE:.2f} s"
                                 for start, shift in changes))
    if moved:
        start, shift = moved[0]
        raise Failure(f"the delay moved from {reference} to {shift} samples "
                      f"at {(start - first) / RATE:.2f} s (more than {within} after "
                      f"the first {after_seconds} s)")
    print(f"hold: within {within} samples of {reference} from {after_seconds} s on")


def cmd_compare(args):
    a = read_raw(args.a)
    b = read_raw(args.b)
    start = args.start
    length = args.length if args.length else len(a) - start
    length = min(length, len(a) - start, len(b) - start - args.shift)
    if length <= 0:
        raise Failure("nothing to compare: the streams do not overlap")
    xa = a[start:start + length]
    xb = b[start + args.shift:start + args.shift + length]
    differing = int(np.count_nonzero(xa != xb))
    nonzero = int(np.count_nonzero(xa))
    print(f"compare: {length} samples ({nonzero} non-zero in A), {differing} differ")
    if differing > args.allow:
        first = int(np.nonzero(xa != xb)[0][0])
        raise Failure(f"{differing} samples differ; first at A[{start + first}]: "
                      f"{int(xa[first])} vs {int(xb[first])}")


def cmd_level(args):
    x = read_raw(args.file).astype(np.float64)
    x = x[args.start:args.start + args.length] if args.length else x[args.start:]
    peak = int(np.max(np.abs(x), initial=0))
    rms = float(np.sqrt(np.mean(x ** 2))) if len(x) else 0.0
    print(f"level: {len(x)} samples, peak {peak}, rms {rms:.1f}")


def cmd_impulses(args):
    total = int(round((args.lead + args.count * args.spacing + 0.5) * RATE))
    signal = np.zeros(total, dtype=np.int64)
    for i in range(args.count):
        signal[int(round((args.lead + i * args.spacing) * RATE))] = args.amplitude
    write_raw(args.out, np.clip(signal, -32768, 32767))
    print(f"impulses: {args.count} of {args.amplitude} -> {args.out}")


def cmd_tone(args):
    n = int(round(args.seconds * RATE))
    t = np.arange(n) / RATE
    tone = np.round(args.amplitude * np.sin(2 * np.pi * args.frequency * t) +
                    np.random.default_rng(7).uniform(-args.noise, args.noise, size=n))
    signal = np.concatenate([np.zeros(int(round(args.lead * RATE))), tone])
    write_raw(args.out, np.clip(signal, -32768, 32767))
    print(f"tone: {args.frequency} Hz, amplitude {args.amplitude}, {args.seconds} s -> {args.out}")


def split_responses(x, gap=64):
    nonzero = np.nonzero(x)[0]
    if len(nonzero) == 0:
        return []
    breaks = np.nonzero(np.diff(nonzero) > gap)[0]
    starts = np.concatenate([[nonzero[0]], nonzero[breaks + 1]])
    ends = np.concatenate([nonzero[breaks], [nonzero[-1]]]) + 1
    return [(int(a), x[a:b].astype(int)) for a, b in zip(starts, ends)]


def cmd_response(args):
    responses = split_responses(read_raw(args.rec))
    expect = [tuple(int(v) for v in pair.split("=")) for pair in args.expect]
    problems = []
    for number, (start, values) in enumerate(responses, 1):
        print(f"response {number} at {start}: {len(values)} samples, "
              f"{np.count_nonzero(values)} non-zero: {' '.join(map(str, values))}")
        if len(values) > args.length:
            problems.append(f"response {number} lasts {len(values)} samples, more than {args.length}")
        if np.count_nonzero(values) < args.length // 2:
            problems.append(f"response {number} has only {np.count_nonzero(values)} non-zero samples")
        for index, value in expect:
            got = int(values[index]) if index < len(values) else None
            if got != value:
                problems.append(f"response {number}: sample {index + 1} is {got}, expected {value}")
    print(f"responses: {len(responses)} (expected {args.count})")
    if len(responses) != args.count:
        problems.append(f"{len(responses)} responses instead of {args.count}")
    if problems:
        raise Failure("; ".join(problems[:6]))


def cmd_glitches(args):
    inp = read_raw(args.inp)
    out = read_raw(args.out)
    found = find_chunks(inp, out, args.chunk, int(args.max_delay * RATE))
    shifts = sorted({shift for _, shift in found if shift is not None})
    if not shifts:
        raise Failure("no part of the input came out of the program unchanged")
    differing = 0
    for start, shift in found:
        if shift is not None:
            continue
        piece = inp[start:start + args.chunk]
        best = args.chunk
        for candidate in shifts:
            other = out[start + candidate:start + candidate + args.chunk]
            if len(other) == len(piece):
                best = min(best, int(np.count_nonzero(other != piece)))
        differing += best
    total = len(found) * args.chunk
    print(f"glitches: {total} samples compared, {differing} differ, "
          f"delays {' '.join(map(str, shifts))}")


def cmd_saturation(args):
    x = read_raw(args.rec).astype(np.int64)
    high = int(np.count_nonzero(x == 32767))
    low = int(np.count_nonzero(x == -32768))
    step = int(np.max(np.abs(np.diff(x)), initial=0))
    print(f"saturation: {len(x)} samples, {high} at 32767, {low} at -32768, "
          f"largest step between neighbours {step}")
    if high < args.min_rail or low < args.min_rail:
        raise Failure(f"the output does not sit on both rails (at least {args.min_rail} samples each)")
    if step > args.max_step:
        raise Failure(f"a step of {step} between neighbouring samples: the output wraps around")


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="command", required=True)

    c = sub.add_parser("clicks")
    c.add_argument("out")
    c.add_argument("--seconds", type=float, default=5.0)
    c.add_argument("--seed", type=int, default=1972)
    c.add_argument("--noise", type=float, default=0.0)
    c.add_argument("--lead", type=float, default=0.0, help="leading silence, s")
    c.add_argument("--every", type=float, default=None, help="one click every S seconds")
    c.set_defaults(run=cmd_clicks)

    cu = sub.add_parser("curve")
    cu.add_argument("inp")
    cu.add_argument("out")
    cu.add_argument("--chunk", type=int, default=200)
    cu.add_argument("--max-delay", type=float, default=6.0)
    cu.add_argument("--threshold", type=int, default=8000)
    cu.add_argument("--approx", action="store_true")
    cu.set_defaults(run=cmd_curve)

    d = sub.add_parser("delay")
    d.add_argument("ref")
    d.add_argument("rec")
    d.add_argument("--input")
    d.add_argument("--max-delay", type=float, default=4.5)
    d.add_argument("--windows", type=int, default=4)
    d.add_argument("--min-ratio", type=float, default=3.0,
                   help="least ratio of the correlation peak to the runner-up")
    d.add_argument("--max-spread", type=int, default=0,
                   help="largest allowed change of the delay between windows, samples")
    d.set_defaults(run=cmd_delay)

    m = sub.add_parser("compare")
    m.add_argument("a")
    m.add_argument("b")
    m.add_argument("--shift", type=int, required=True)
    m.add_argument("--start", type=int, default=0)
    m.add_argument("--length", type=int, default=0)
    m.add_argument("--allow", type=int, default=0)
    m.set_defaults(run=cmd_compare)

    g = sub.add_parser("segments")
    g.add_argument("inp")
    g.add_argument("out")
    g.add_argument("--chunk", type=int, default=500)
    g.add_argument("--max-delay", type=float, default=4.5)
    g.add_argument("--hold-after", type=float, default=None)
    g.add_argument("--hold-within", type=int, default=220)
    g.add_argument("--min-found", type=float, default=0.9,
                   help="least fraction of chunks that must come out unchanged")
    g.set_defaults(run=cmd_segments)

    lv = sub.add_parser("level")
    lv.add_argument("file")
    lv.add_argument("--start", type=int, default=0)
    lv.add_argument("--length", type=int, default=0)
    lv.set_defaults(run=cmd_level)

    im = sub.add_parser("impulses")
    im.add_argument("out")
    im.add_argument("--amplitude", type=int, default=10000)
    im.add_argument("--count", type=int, default=6)
    im.add_argument("--spacing", type=float, default=0.25)
    im.add_argument("--lead", type=float, default=0.3)
    im.set_defaults(run=cmd_impulses)

    to = sub.add_parser("tone")
    to.add_argument("out")
    to.add_argument("--frequency", type=float, default=1000.0)
    to.add_argument("--amplitude", type=float, default=32767.0)
    to.add_argument("--seconds", type=float, default=1.0)
    to.add_argument("--lead", type=float, default=0.3)
    to.add_argument("--noise", type=float, default=0.0, help="uniform noise bed, +-A")
    to.set_defaults(run=cmd_tone)

    rs = sub.add_parser("response")
    rs.add_argument("rec")
    rs.add_argument("--count", type=int, required=True)
    rs.add_argument("--length", type=int, default=33)
    rs.add_argument("--expect", action="append", default=[], metavar="INDEX=VALUE")
    rs.set_defaults(run=cmd_response)

    gl = sub.add_parser("glitches")
    gl.add_argument("inp")
    gl.add_argument("out")
    gl.add_argument("--chunk", type=int, default=500)
    gl.add_argument("--max-delay", type=float, default=1.0)
    gl.set_defaults(run=cmd_glitches)

    sa = sub.add_parser("saturation")
    sa.add_argument("rec")
    sa.add_argument("--min-rail", type=int, default=100)
    sa.add_argument("--max-step", type=int, default=40000)
    sa.set_defaults(run=cmd_saturation)
    return p.parse_args(argv)


def main(argv):
    args = parse(argv)
    try:
        args.run(args)
    except Failure as failure:
        print(f"audiotool: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
