#!/usr/bin/python3
"""Watches a playing recording as a person would: which pictures reach the screen and when, what
sound is heard and when. Its recordings carry their own marks: every picture shows its number as a
row of black and white blocks near its bottom edge (the player's time band covers the top), and the
sound is a tone whose pitch steps once a second, with a loud beep starting with every 50th picture.
Pictures are timed through the X DAMAGE extension, the sound by the growth of SDL's disk audio file.

usage: playback_watch.py --vidora EXE --krm-mux EXE --amrnb-encode EXE --json OUT [--size WxH]
                         [--seconds N] [--mode normal|large|fullscreen]
"""
import argparse, array, bisect, contextlib, ctypes, ctypes.util, itertools, json, math, os, select
import statistics, subprocess, sys, threading, time
from types import SimpleNamespace

FPS, RATE = 25, 8000
BYTES_PER_SECOND = RATE * 2
SAMPLES_PER_BEEP = 50 * RATE // FPS
# The number's blocks: white, black, BITS bits (most significant first), the parity of its even
# and of its odd bits; a read that breaks any of these is thrown away.
CELLS, BITS, BAND = 16, 12, (0.78, 0.94)
# Second k is a tone of BASE + STEP * (k % PIECES) Hz (AMR-NB gives these back steady) under a
# swell that never falls silent; the beeps are louder than the tone and pitched outside it.
PIECES, BASE, STEP, TONE = 40, 280, 10, 7000
BEEP_LEVEL, BEEP_HZ, BEEP_SAMPLES, BEEP_THRESHOLD = 24000, 1000, 480, 14000
# Near-zero runs shorter than SILENT_RUN samples are the tone's own zero crossings; a piece is
# told from windows of 80 ms, about 25 periods.
SILENCE, SILENT_RUN, WINDOW = 16, 8, 640

def samples_of(blob):
    return array.array("h", blob[:len(blob) & ~1])

def reference_sound(seconds):
    out, phase = array.array("h"), 0.0
    for n in range(seconds * RATE):
        if (beep := n % SAMPLES_PER_BEEP) < BEEP_SAMPLES:
            out.append(int(BEEP_LEVEL * math.sin(2 * math.pi * BEEP_HZ * beep / RATE)))
            continue
        phase += 2 * math.pi * (BASE + STEP * (n // RATE % PIECES)) / RATE
        swell = 0.7 + 0.3 * math.sin(2 * math.pi * 3.1 * n / RATE)
        out.append(int(TONE * swell * math.sin(phase)))
    return out

def number_filter(width, height):
    """An ffmpeg filter chain that draws each picture's number (ffmpeg's n) in blocks."""
    top, cell = int(height * BAND[0]) & ~1, width // CELLS
    rows = (int(height * BAND[1]) & ~1) - top
    bit = lambda b: "mod(floor(n/%d),2)" % (1 << b)
    box = lambda i, on: "drawbox=x=%d:y=%d:w=%d:h=%d:color=white:t=fill:enable='%s'" % (
        i * cell, top, cell, rows, on)
    parity = lambda p: "eq(mod(%s,2),1)" % "+".join(bit(b) for b in range(p, BITS, 2))
    return ",".join(["drawbox=x=0:y=%d:w=%d:h=%d:color=black:t=fill" % (top, width, rows),
                     box(0, 1)] + [box(2 + i, "eq(%s,1)" % bit(BITS - 1 - i)) for i in range(BITS)]
                    + [box(2 + BITS + p, parity(p)) for p in (0, 1)])

def decode(cells):
    if len(cells) != CELLS or not cells[0] or cells[1]:
        return None
    number = int("".join("01"[c] for c in cells[2:2 + BITS]), 2)
    parity = [sum(number >> b & 1 for b in range(p, BITS, 2)) % 2 for p in (0, 1)]
    return number if parity == cells[2 + BITS:] else None

def make_recording(workdir, krm_mux, amrnb_encode, size=(320, 240), seconds=30):
    """A 25 fps H.264 recording (an IDR picture a second), numbered pictures, marked sound."""
    assert seconds * FPS <= 1 << BITS
    base = os.path.join(workdir, "marked-%dx%d-%ds" % (size + (seconds,)))
    ff = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"]
    subprocess.run(ff + ["-f", "lavfi", "-i", "testsrc2=size=%dx%d:rate=%d" % (size + (FPS,)),
                         "-t", str(seconds), "-vf", number_filter(*size), "-pix_fmt", "yuv420p",
                         "-c:v", "libx264", "-profile:v", "baseline", "-preset", "veryfast",
                         "-g", str(FPS), "-keyint_min", str(FPS), "-sc_threshold", "0",
                         "-x264-params", "repeat-headers=1", "-f", "h264", base + ".h264"],
                   check=True)
    subprocess.run([amrnb_encode, "--magic", "-", base + ".amr"],
                   input=reference_sound(seconds).tobytes(), check=True)
    decoded = samples_of(subprocess.run(ff + ["-i", base + ".amr", "-f", "s16le", "-ac", "1",
                                              "-ar", str(RATE), "-"], check=True,
                                             capture_output=True).stdout)
    subprocess.run([krm_mux, "--h264", base + ".h264", "--amr", base + ".amr", "--size",
                    "%dx%d" % size, "--start", "2016-02-28 23:59:05", "--out", base + ".krm"],
                   check=True)
    # Where the codec itself puts each beep after its picture (the first, met by a codec still
    # warming up, left out).
    onsets = beep_onsets(decoded)
    delay = statistics.median(o - round(o / SAMPLES_PER_BEEP) * SAMPLES_PER_BEEP
                              for o in onsets[1:])
    rec = SimpleNamespace(path=base + ".krm", size=size, seconds=seconds, pictures=seconds * FPS,
                          pieces=piece_runs(decoded), beep_delay=delay)
    # What the player is measured against must itself read back whole from its encoding.
    if (rec.pieces != [k % PIECES for k in range(seconds)] or inserted_silence(decoded)[0]
            or len(onsets) != (seconds + 1) // 2):
        raise RuntimeError("the marked sound does not read back from its AMR-NB encoding")
    return rec

def beep_onsets(samples):
    onsets, n = [], 0
    while n < len(samples):
        if abs(samples[n]) > BEEP_THRESHOLD:
            onsets.append(n)
            n += SAMPLES_PER_BEEP // 2 - 1
        n += 1
    return onsets

def piece_at(samples, start):
    """Which piece (second % PIECES) the WINDOW samples from `start` hold, told by the spacing of
    the tone's rising zero crossings; None for silence, a gap, a beep, a mixture, too few samples:
    anything whose periods are not all alike."""
    window = samples[start:start + WINDOW]
    peak = max(map(abs, window), default=0)
    if len(window) < WINDOW or peak < TONE // 12 or peak > BEEP_THRESHOLD:
        return None
    hysteresis, negative, quiet, low, crossings = peak // 4, False, 0, 0, []
    for i, v in enumerate(window):
        quiet = quiet + 1 if -SILENCE <= v <= SILENCE else 0
        if quiet >= SILENT_RUN:  # a gap would stretch a period
            return None
        if v <= 0:
            low, negative = i, negative or v < -hysteresis
        elif negative and v > hysteresis:
            negative = False
            crossings.append(low + window[low] / (window[low] - window[low + 1]))
    if len(crossings) < 5:
        return None
    period = (crossings[-1] - crossings[0]) / (len(crossings) - 1)
    if any(abs(b - a - period) > period * 0.08 for a, b in zip(crossings, crossings[1:])):
        return None
    hz = RATE / period
    piece = round((hz - BASE) / STEP)
    return piece if 0 <= piece < PIECES and abs(hz - BASE - piece * STEP) <= STEP * 0.3 else None

def piece_windows(samples, start=0):
    """(sample index, piece) of each window from `start` on that holds a piece."""
    return [(n, p) for n in range(start, len(samples) - WINDOW + 1, WINDOW)
            if (p := piece_at(samples, n)) is not None]

def piece_runs(samples):
    """The pieces heard in order: runs of at least 3 windows of one piece, repeats joined."""
    runs = []
    for piece, windows in itertools.groupby(p for _, p in piece_windows(samples)):
        if len(list(windows)) >= 3 and runs[-1:] != [piece]:
            runs.append(piece)
    return runs

def inserted_silence(samples):
    """(ms of silence, ms of sound they lie in) from a second after the sound begins to its end."""
    loud = [i for i, v in enumerate(samples) if abs(v) > SILENCE]
    if not loud:
        return 0.0, 0.0
    start = min(loud[0] + RATE, loud[-1])
    silent = run = 0
    for v in samples[start:loud[-1]]:
        run = run + 1 if abs(v) <= SILENCE else 0
        silent += SILENT_RUN if run == SILENT_RUN else run > SILENT_RUN
    return silent * 1000 / RATE, (loud[-1] - start) * 1000 / RATE

class Watcher(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.done, self.lock = threading.Event(), threading.Lock()
    def stop(self):
        self.done.set()
        self.join(5)

class SoundWatcher(Watcher):
    """Copies SDL's disk audio file as it grows, polling every millisecond, and times each growth;
    a file written anew (the device reopened) is followed from its new start. SDL writes it through
    stdio in 4096-byte blocks, each going out as the device's next chunk is handed over, so the
    last byte of a growth at time t was handed over at t, one d bytes before it d / 16000 s
    earlier."""
    def __init__(self, path):
        super().__init__()
        self.path, self.sound, self.growths = path, bytearray(), []  # (time, len(sound) after)
    def run(self):
        f, offset = None, 0
        while not self.done.wait(0.001):
            try:
                st = os.stat(self.path)
            except FileNotFoundError:
                continue
            if f is None or os.fstat(f.fileno()).st_ino != st.st_ino or st.st_size < offset:
                if f:
                    f.close()
                f, offset = open(self.path, "rb"), 0
            if st.st_size > offset:
                now = time.monotonic()
                f.seek(offset)
                blob = f.read(st.st_size - offset)
                offset += len(blob) & ~1
                with self.lock:
                    self.sound += blob[:len(blob) & ~1]
                    self.growths.append((now, len(self.sound)))
        if f:
            f.close()
    def samples(self):
        with self.lock:
            return samples_of(bytes(self.sound))
    def time_of(self, sample):
        """When sample number `sample` of what was heard was handed to the device."""
        with self.lock:
            i = bisect.bisect_right([end for _, end in self.growths], sample * 2)
            if i == len(self.growths):
                return None
            t, end = self.growths[i]
        return t - (end - sample * 2) / BYTES_PER_SECOND
    def sample_at(self, t):
        """The first sample handed to the device at or after time t (None: not yet)."""
        with self.lock:
            growths = list(self.growths)
        return next((max(0, end - int((when - t) * BYTES_PER_SECOND)) // 2
                     for when, end in growths if when >= t), None)

X11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
XDAMAGE = ctypes.CDLL(ctypes.util.find_library("Xdamage") or "libXdamage.so.1")

class XImage(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int) for n in ("width", "height", "xoffset", "format")] + [
        ("data", ctypes.c_void_p)] + [(n, ctypes.c_int) for n in (
            "byte_order", "bitmap_unit", "bitmap_bit_order", "bitmap_pad", "depth",
            "bytes_per_line", "bits_per_pixel")]

_P, _L, _I, _IP = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.POINTER(ctypes.c_int)
_ERROR_HANDLER = ctypes.CFUNCTYPE(_I, _P, _P)
for lib, name, restype, argtypes in (
        (X11, "XOpenDisplay", _P, [ctypes.c_char_p]), (X11, "XCloseDisplay", _I, [_P]),
        (X11, "XConnectionNumber", _I, [_P]), (X11, "XPending", _I, [_P]),
        (X11, "XNextEvent", _I, [_P, _P]), (X11, "XFlush", _I, [_P]),
        (X11, "XGetImage", ctypes.POINTER(XImage), [_P, _L, _I, _I, ctypes.c_uint, ctypes.c_uint,
                                                    _L, _I]),
        (X11, "XDestroyImage", _I, [ctypes.POINTER(XImage)]),
        (X11, "XSetErrorHandler", _P, [_ERROR_HANDLER]),
        (XDAMAGE, "XDamageQueryExtension", _I, [_P, _IP, _IP]),
        (XDAMAGE, "XDamageCreate", _L, [_P, _L, _I]),
        (XDAMAGE, "XDamageSubtract", _I, [_P, _L, _L, _L]),
        (XDAMAGE, "XDamageDestroy", _I, [_P, _L])):
    getattr(lib, name).restype, getattr(lib, name).argtypes = restype, argtypes
# A read of a window being resized or gone fails; the watcher skips it.
_IGNORE_X_ERRORS = _ERROR_HANDLER(lambda display, event: 0)
X11.XSetErrorHandler(_IGNORE_X_ERRORS)

class ScreenWatcher(Watcher):
    """Times every update of the player's window and reads the picture number on it at once:
    `pictures` lists (time, number) of each new number read."""
    def __init__(self, display, window, video, size):
        super().__init__()
        left, top, right, bottom = video
        scale = min((right - left) / size[0], (bottom - top) / size[1])
        w, h = size[0] * scale, size[1] * scale
        x0, y0 = left + (right - left - w) / 2, top + (bottom - top - h) / 2
        # A few rows in the middle of the block band, each cell read over its middle half.
        y = [int(y0 + h * (BAND[0] + (BAND[1] - BAND[0]) * f)) for f in (0.3, 0.7)]
        self.strip = (int(x0), y[0], max(int(w), CELLS), max(y[1] - y[0], 1))
        self.cells = [(int(c), max(int(c + w / CELLS / 2), int(c) + 1))
                      for c in (w / CELLS * (i + 0.25) for i in range(CELLS))]
        self.window, self.pictures = window, []
        self.dpy = X11.XOpenDisplay(display.encode())
        base, error = ctypes.c_int(), ctypes.c_int()
        if not self.dpy or not XDAMAGE.XDamageQueryExtension(self.dpy, base, error):
            raise RuntimeError("no X display with the DAMAGE extension at %s" % display)
        self.event = base.value  # XDamageNotify
        self.damage = XDAMAGE.XDamageCreate(self.dpy, window, 3)  # XDamageReportNonEmpty
        X11.XFlush(self.dpy)
    def read_number(self):
        x, y, w, h = self.strip
        image = X11.XGetImage(self.dpy, self.window, x, y, w, h, 0xFFFFFFFF, 2)  # ZPixmap
        if not image:
            return None
        stride, bits = image.contents.bytes_per_line, image.contents.bits_per_pixel
        data = ctypes.string_at(image.contents.data, stride * h)
        X11.XDestroyImage(image)
        if bits != 32:
            return None
        cells = []
        for a, b in self.cells:
            # BGRX: the green byte tells black from white.
            level = statistics.fmean(v for r in range(h) for v in data[r * stride + a * 4 + 1:
                                                                       r * stride + b * 4:4])
            if 90 <= level <= 165:
                return None
            cells.append(level > 165)
        return decode(cells)
    def run(self):
        fd, event, last = X11.XConnectionNumber(self.dpy), ctypes.create_string_buffer(256), None
        while not self.done.is_set():
            if not X11.XPending(self.dpy):
                select.select([fd], [], [], 0.05)
                continue
            X11.XNextEvent(self.dpy, event)
            if ctypes.c_int.from_buffer(event).value != self.event:
                continue
            now = time.monotonic()
            # Emptied before the read, so that an update during the read brings another event.
            XDAMAGE.XDamageSubtract(self.dpy, self.damage, 0, 0)
            number = self.read_number()
            if number is not None and number != last:
                self.pictures.append((now, number))
                last = number
        XDAMAGE.XDamageDestroy(self.dpy, self.damage)
        X11.XCloseDisplay(self.dpy)

def picture_time(pictures, number):
    """When picture `number` was shown; one skipped gets the time between its neighbours'."""
    before = None
    for t, n in pictures:
        if n == number:
            return t
        if n < number:
            before = (t, n)
        elif before:
            return before[0] + (t - before[0]) * (number - before[1]) / (n - before[1])

def picture_at(pictures, t):
    """The number of the picture on screen at time t (None before the first)."""
    return next((n for when, n in reversed(pictures) if when <= t), None)

def beep_offsets(rec, sound, samples, pictures):
    """(picture number, ms from that picture to its beep heard, positive: sound later) a beep."""
    results = []
    for onset in beep_onsets(samples):
        heard = sound.time_of(onset - rec.beep_delay)
        shown = None if heard is None else picture_at(pictures, heard)
        if shown is None:
            continue
        # Which beep: the second after it tells it up to whole cycles of pieces, the picture on
        # screen meanwhile the cycle.
        guess = shown / 50
        after = onset + BEEP_SAMPLES + 80
        pieces = [p for i in range(6)
                  if (p := piece_at(samples, after + i * WINDOW // 2)) is not None]
        piece = statistics.mode(pieces) if pieces else None
        cycle = PIECES // 2
        beep = (piece // 2 + cycle * round((guess - piece // 2) / cycle)
                if piece is not None and piece % 2 == 0 else round(guess))
        seen = picture_time(pictures, beep * 50)
        if seen is not None and beep * 50 < rec.pictures:
            results.append((beep * 50, (heard - seen) * 1000))
    return results

def measure(rec, screen, sound):
    """What the watchers saw and heard of `rec`, as a dict."""
    pictures, samples, result = screen.pictures, sound.samples(), {}
    if pictures:
        first, span = pictures[0][1], pictures[-1][0] - pictures[0][0]
        distinct = len({n for _, n in pictures if first <= n < rec.pictures})
        result = dict(pictures_watched=rec.pictures - first, distinct_pictures_seen=distinct,
                      share_seen=round(distinct / (rec.pictures - first), 4),
                      pictures_per_second=round((len(pictures) - 1) / span, 2) if span else None)
    silent_ms, sound_ms = inserted_silence(samples)
    offsets = beep_offsets(rec, sound, samples, pictures)
    runs = piece_runs(samples)
    result.update(silence_inserted_ms=round(silent_ms, 1),
                  silence_inserted_ms_per_minute=round(silent_ms * 60000 / sound_ms, 1)
                  if sound_ms else None, sound_pieces_heard=runs,
                  sound_pieces_in_order=runs == rec.pieces,
                  beep_offsets_ms=[[n, round(o, 1)] for n, o in offsets],
                  beep_offset_median_ms=round(statistics.median(o for _, o in offsets), 1)
                  if offsets else None)
    return result

@contextlib.contextmanager
def watching(s, rec, mode="normal"):
    """Plays `rec` in run_e2e session `s`, switched to `mode`, under screen and sound watchers."""
    watchers = [SoundWatcher(s.audio_path)]
    watchers[0].start()
    try:
        s.run(*getattr(rec, "paths", [getattr(rec, "path", None)]))
        if mode != "normal":
            s.to(mode).pointer_to_screen(4, 4)
        watchers.insert(0, ScreenWatcher(s.display, s.window(), s.layout["video"], rec.size))
        watchers[0].start()
        yield watchers
    finally:
        for watcher in watchers:
            watcher.stop()

def watch_playback(s, rec, mode, timeout):
    """Plays `rec` to its end (its last picture shown, or most of it and none for 3 s; then half a
    second of silence) and returns the measures."""
    with watching(s, rec, mode) as (screen, sound):
        end, changed, seen = time.monotonic() + timeout, time.monotonic(), 0
        while time.monotonic() < end:
            s.alive()
            if len(screen.pictures) != seen:
                seen, changed = len(screen.pictures), time.monotonic()
            number, idle = screen.pictures[-1][1] if seen else -1, time.monotonic() - changed
            if number >= rec.pictures - 1 or number >= rec.pictures * 0.9 and idle > 3:
                tail = sound.samples()[-RATE // 2:]
                if idle > 5 or len(tail) == RATE // 2 and max(map(abs, tail)) <= SILENCE:
                    break
            time.sleep(0.1)
    return measure(rec, screen, sound)

def main():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import run_e2e
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("--vidora", "--krm-mux", "--amrnb-encode", "--json"):
        parser.add_argument(name, required=True)
    parser.add_argument("--size", default="320x240")
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--mode", choices=("normal", "large", "fullscreen"), default="normal")
    a = parser.parse_args()
    size = tuple(int(v) for v in a.size.split("x"))
    config = SimpleNamespace(vidora=os.path.abspath(a.vidora), keep=False)
    with run_e2e.Session(config, "watch") as s:
        rec = make_recording(s.workdir, os.path.abspath(a.krm_mux),
                             os.path.abspath(a.amrnb_encode), size, a.seconds)
        result = dict(size=a.size, seconds=a.seconds, mode=a.mode,
                      **watch_playback(s, rec, a.mode, a.seconds + 30))
    with open(a.json, "w") as f:
        json.dump(result, f, indent=1)
    return 0

if __name__ == "__main__":
    sys.exit(main())
