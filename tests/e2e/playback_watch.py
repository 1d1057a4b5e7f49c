#!/usr/bin/python3
"""Watches a playing recording the way a person would: which pictures reach the screen and when,
and what sound is heard and when.

The recordings made here carry their own marks. Every picture shows its number as a row of black
and white blocks near its bottom edge, and the sound is a tone whose pitch steps once a second
(so the order of the seconds can be told from what was heard) with a short loud beep starting
exactly with every 50th picture (0 s, 2 s, 4 s ...), so that sound and picture can be lined up.

The screen is watched through the X DAMAGE extension: every update of the player's window is
timestamped and the block row is read back from the window at once. The sound is watched
through the file SDL's disk audio driver writes: its growth is timestamped every millisecond.

usage: playback_watch.py --vidora EXE --krm-mux EXE --amrnb-encode EXE --size WxH --seconds N
                         --mode normal|large|fullscreen --json OUT.json [--keep]

Python standard library only.
"""

import argparse
import array
import bisect
import ctypes
import ctypes.util
import json
import math
import os
import select
import statistics
import subprocess
import sys
import threading
import time

FPS = 25
RATE = 8000
BYTES_PER_SECOND = RATE * 2
PICTURES_PER_BEEP = 50
SAMPLES_PER_BEEP = PICTURES_PER_BEEP * RATE // FPS

# The picture number: CELLS blocks across the picture, in a band near its bottom edge (the
# player's date and time band covers the top). Cell 0 is always white and cell 1 always black,
# then BITS bits of the number, most significant first, then the parity of its even and of its
# odd bits; a read that breaks any of these is thrown away.
CELLS = 16
BITS = 12
BAND_TOP, BAND_BOTTOM = 0.78, 0.94
MAX_PICTURES = 1 << BITS

# The sound: second k is a tone of PIECE_BASE + PIECE_STEP * (k % PIECES) Hz under a syllable-rate
# swell that never falls silent; each beep is louder than anything else in it and pitched outside
# the tones. The tones stay within 280-670 Hz, where AMR-NB gives a steady tone back (some higher
# ones come back wavering and faint).
PIECES = 40
PIECE_BASE, PIECE_STEP = 280, 10
TONE_LEVEL = 7000
BEEP_LEVEL, BEEP_HZ, BEEP_SAMPLES = 24000, 1000, 480
BEEP_THRESHOLD = 14000
SILENCE_LEVEL = 16
SILENCE_MIN_RUN = 8  # samples; shorter near-zero runs happen at the tone's own zero crossings
PIECE_WINDOW = 640  # 80 ms: about 25 periods, timed to a fraction of a sample


# --- Recordings -----------------------------------------------------------------------------


def reference_sound(seconds):
    """The sound put into a recording of `seconds` seconds, as 16-bit samples."""
    out = array.array("h")
    phase = 0.0
    for n in range(seconds * RATE):
        k = n // RATE
        in_beep = n % SAMPLES_PER_BEEP
        if in_beep < BEEP_SAMPLES:
            out.append(int(BEEP_LEVEL * math.sin(2 * math.pi * BEEP_HZ * in_beep / RATE)))
            continue
        phase += 2 * math.pi * (PIECE_BASE + PIECE_STEP * (k % PIECES)) / RATE
        swell = 0.7 + 0.3 * math.sin(2 * math.pi * 3.1 * n / RATE)
        out.append(int(TONE_LEVEL * swell * math.sin(phase)))
    return out


def number_filter(width, height):
    """An ffmpeg filter chain that draws each picture's number (ffmpeg's n) in blocks."""
    top = int(height * BAND_TOP) & ~1
    rows = (int(height * BAND_BOTTOM) & ~1) - top
    cell = width // CELLS

    def box(index, colour, enable=None):
        drawn = "drawbox=x=%d:y=%d:w=%d:h=%d:color=%s:t=fill" % (index * cell, top, cell,
                                                                 rows, colour)
        return drawn + (":enable='%s'" % enable if enable else "")

    def bit(b):
        return "mod(floor(n/%d),2)" % (1 << b)

    chain = ["drawbox=x=0:y=%d:w=%d:h=%d:color=black:t=fill" % (top, width, rows),
             box(0, "white")]
    for i in range(BITS):
        chain.append(box(2 + i, "white", "eq(%s,1)" % bit(BITS - 1 - i)))
    for parity in (0, 1):
        bits = "+".join(bit(b) for b in range(parity, BITS, 2))
        chain.append(box(2 + BITS + parity, "white", "eq(mod(%s,2),1)" % bits))
    return ",".join(chain)


def decode_cells(cells):
    """The picture number from CELLS booleans (True: white), or None when they do not check."""
    if len(cells) != CELLS or not cells[0] or cells[1]:
        return None
    bits = cells[2:2 + BITS]
    number = 0
    for value in bits:
        number = number * 2 + int(value)
    for parity in (0, 1):
        ones = sum((number >> b) & 1 for b in range(parity, BITS, 2))
        if ones % 2 != int(cells[2 + BITS + parity]):
            return None
    return number


class Recording:
    """A recording made by make_recording: its file, picture size, length, and the sound it
    carries as the player's decoder gives it back."""

    def __init__(self, path, size, seconds, reference):
        self.path = path
        self.size = size
        self.seconds = seconds
        self.pictures = seconds * FPS
        self.reference = reference
        # Where a beep is first seen, in samples after the picture it belongs to: what the
        # encoder and decoder themselves move it by (the first beep, met by a codec that is only
        # warming up, is left out).
        onsets = beep_onsets(reference)[1:]
        self.beep_delay = statistics.median(o - round(o / SAMPLES_PER_BEEP) * SAMPLES_PER_BEEP
                                            for o in onsets) if onsets else 0
        self.pieces = piece_runs(reference)


def make_recording(workdir, krm_mux, amrnb_encode, size=(320, 240), seconds=30,
                   start="2016-02-28 23:59:05", ffmpeg="ffmpeg"):
    """A 25 fps H.264 recording with numbered pictures (one IDR picture a second) and the marked
    sound, muxed by krm-mux. Returns a Recording."""
    if seconds * FPS > MAX_PICTURES:
        raise ValueError("at most %d s" % (MAX_PICTURES // FPS))
    width, height = size
    name = "marked-%dx%d-%ds" % (width, height, seconds)
    h264 = os.path.join(workdir, name + ".h264")
    amr = os.path.join(workdir, name + ".amr")
    out = os.path.join(workdir, name + ".krm")
    ff = [ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "error", "-y"]
    subprocess.run(ff + ["-f", "lavfi", "-i", "testsrc2=size=%dx%d:rate=%d" % (width, height, FPS),
                         "-t", str(seconds), "-vf", number_filter(width, height),
                         "-pix_fmt", "yuv420p", "-c:v", "libx264", "-profile:v", "baseline",
                         "-preset", "veryfast", "-g", str(FPS), "-keyint_min", str(FPS),
                         "-sc_threshold", "0", "-x264-params", "repeat-headers=1",
                         "-f", "h264", h264], check=True)
    pcm = reference_sound(seconds)
    if sys.byteorder != "little":
        pcm.byteswap()
    subprocess.run([amrnb_encode, "--magic", "-", amr], input=pcm.tobytes(), check=True)
    decoded = subprocess.run(ff + ["-i", amr, "-f", "s16le", "-ac", "1", "-ar", str(RATE), "-"],
                             check=True, capture_output=True).stdout
    subprocess.run([krm_mux, "--h264", h264, "--amr", amr, "--size", "%dx%d" % size,
                    "--start", start, "--out", out], check=True)
    recording = Recording(out, size, seconds, samples_of(decoded))
    # What the player is measured against must itself read back whole from its encoding.
    beeps = len(beep_onsets(recording.reference))
    silent, _ = inserted_silence(recording.reference)
    if recording.pieces != [k % PIECES for k in range(seconds)] or silent or \
            beeps != (seconds + 1) // 2:
        raise RuntimeError("the marked sound does not read back from its AMR-NB encoding: "
                           "seconds %s, %d beeps, %.1f ms silent"
                           % (recording.pieces, beeps, silent))
    return recording


def samples_of(blob):
    samples = array.array("h")
    samples.frombytes(blob[:len(blob) - len(blob) % 2])
    if sys.byteorder != "little":
        samples.byteswap()
    return samples


# --- Sound analysis ---------------------------------------------------------------------------


def beep_onsets(samples, start=0):
    """Sample indexes where a beep begins."""
    onsets = []
    n = start
    end = len(samples)
    while n < end:
        if abs(samples[n]) > BEEP_THRESHOLD:
            onsets.append(n)
            n += SAMPLES_PER_BEEP // 2
        else:
            n += 1
    return onsets


def piece_at(samples, start):
    """Which piece (second % PIECES) the PIECE_WINDOW samples from `start` hold, told by the
    spacing of the tone's rising zero crossings; None for silence, a gap, a beep, a mixture or
    too few samples: anything whose periods are not all alike."""
    window = samples[start:start + PIECE_WINDOW]
    if len(window) < PIECE_WINDOW:
        return None
    peak = max(max(window), -min(window))
    if peak < TONE_LEVEL // 12 or peak > BEEP_THRESHOLD:
        return None
    hysteresis = peak // 4
    negative = False
    quiet = 0
    last_low = 0
    crossings = []
    for i, v in enumerate(window):
        # A gap in the sound would stretch a period.
        quiet = quiet + 1 if -SILENCE_LEVEL <= v <= SILENCE_LEVEL else 0
        if quiet >= SILENCE_MIN_RUN:
            return None
        if v <= 0:
            last_low = i
            if v < -hysteresis:
                negative = True
        elif negative and v > hysteresis:
            negative = False
            a, b = window[last_low], window[last_low + 1]
            crossings.append(last_low + a / (a - b))
    if len(crossings) < 5:
        return None
    period = (crossings[-1] - crossings[0]) / (len(crossings) - 1)
    if any(abs(b - a - period) > period * 0.08 for a, b in zip(crossings, crossings[1:])):
        return None
    hz = RATE / period
    piece = round((hz - PIECE_BASE) / PIECE_STEP)
    if not 0 <= piece < PIECES or abs(hz - PIECE_BASE - piece * PIECE_STEP) > PIECE_STEP * 0.3:
        return None
    return piece


def piece_windows(samples, start=0, end=None):
    """(sample index, piece) of each window from start to end that holds a piece."""
    end = len(samples) if end is None else end
    found = []
    for n in range(start, end - PIECE_WINDOW + 1, PIECE_WINDOW):
        piece = piece_at(samples, n)
        if piece is not None:
            found.append((n, piece))
    return found


def piece_runs(samples, start=0, end=None, least=3):
    """The pieces heard in order: runs of at least `least` windows of one piece, with what was
    not a piece left out and repeats of one run joined."""
    runs = []
    current, count = None, 0
    for _, piece in piece_windows(samples, start, end) + [(None, None)]:
        if piece == current:
            count += 1
            continue
        if current is not None and count >= least and (not runs or runs[-1] != current):
            runs.append(current)
        current, count = piece, 1
    return runs


def sound_bounds(samples):
    """First and last sample index above silence, or None."""
    first = next((i for i, v in enumerate(samples) if abs(v) > SILENCE_LEVEL), None)
    if first is None:
        return None
    last = next(i for i in range(len(samples) - 1, -1, -1) if abs(samples[i]) > SILENCE_LEVEL)
    return first, last


def silent_runs(samples, start, end):
    """(start, length) of each run of at least SILENCE_MIN_RUN near-zero samples."""
    runs = []
    n = start
    while n < end:
        if abs(samples[n]) <= SILENCE_LEVEL:
            m = n
            while m < end and abs(samples[m]) <= SILENCE_LEVEL:
                m += 1
            if m - n >= SILENCE_MIN_RUN:
                runs.append((n, m - n))
            n = m
        else:
            n += 1
    return runs


def inserted_silence(samples):
    """(milliseconds of silence, milliseconds of sound they lie in) from one second after the
    sound begins up to its end."""
    bounds = sound_bounds(samples)
    if bounds is None:
        return 0.0, 0.0
    start = min(bounds[0] + RATE, bounds[1])
    silent = sum(length for _, length in silent_runs(samples, start, bounds[1]))
    return silent * 1000 / RATE, (bounds[1] - start) * 1000 / RATE


# --- Sound watcher ----------------------------------------------------------------------------


class SoundWatcher(threading.Thread):
    """Copies the disk audio file as it grows, polling about every millisecond, and keeps the
    time of each growth. When the file is written anew (the device reopened), it goes on
    copying from the new start; `sound` is everything heard, in order.

    SDL's disk driver writes the file through stdio, which passes it on in blocks of 4096 bytes:
    the block goes out while the device's next chunk is handed over, and chunks follow each
    other at the pace they last. So the byte at `end` of a growth at time t was handed over at
    t, and a byte `d` bytes before it d / BYTES_PER_SECOND earlier."""

    def __init__(self, path, poll=0.001):
        super().__init__(daemon=True)
        self.path = path
        self.poll = poll
        self.sound = bytearray()
        self.growths = []  # (monotonic time, len(sound) after the growth)
        self.reopens = 0
        self._stop_event = threading.Event()
        self._lock = threading.Lock()

    def run(self):
        f = None
        offset = 0
        while not self._stop_event.is_set():
            try:
                st = os.stat(self.path)
            except FileNotFoundError:
                st = None
            if st is not None:
                if f is None or os.fstat(f.fileno()).st_ino != st.st_ino or st.st_size < offset:
                    if f is not None:
                        f.close()
                        self.reopens += 1
                    f = open(self.path, "rb")
                    offset = 0
                if st.st_size > offset:
                    now = time.monotonic()
                    f.seek(offset)
                    blob = f.read(st.st_size - offset)
                    blob = blob[:len(blob) - len(blob) % 2]
                    offset += len(blob)
                    with self._lock:
                        self.sound += blob
                        self.growths.append((now, len(self.sound)))
            time.sleep(self.poll)
        if f is not None:
            f.close()

    def stop(self):
        self._stop_event.set()
        self.join(5)

    def samples(self):
        with self._lock:
            return samples_of(bytes(self.sound))

    def time_of(self, sample):
        """When sample number `sample` of what was heard was handed to the device."""
        byte = sample * 2
        with self._lock:
            ends = [end for _, end in self.growths]
            i = bisect.bisect_right(ends, byte)
            if i >= len(self.growths):
                return None
            t, end = self.growths[i]
        return t - (end - byte) / BYTES_PER_SECOND

    def sample_at(self, t):
        """The first sample handed to the device at or after time t (None: not yet)."""
        with self._lock:
            growths = list(self.growths)
        for when, end in growths:
            if when >= t:
                return max(0, (end - int((when - t) * BYTES_PER_SECOND)) // 2)
        return None

    def bytes_per_second(self):
        """How fast the device took sound while it was being fed, from the growths."""
        with self._lock:
            g = list(self.growths)
        if len(g) < 3:
            return None
        return (g[-1][1] - g[0][1]) / (g[-1][0] - g[0][0])


# --- Screen watcher -----------------------------------------------------------------------------

_x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
_xdamage = ctypes.CDLL(ctypes.util.find_library("Xdamage") or "libXdamage.so.1")


class _XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


_X_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_x11.XOpenDisplay.restype = ctypes.c_void_p
_x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x11.XConnectionNumber.argtypes = [ctypes.c_void_p]
_x11.XPending.argtypes = [ctypes.c_void_p]
_x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
_x11.XFlush.argtypes = [ctypes.c_void_p]
_x11.XGetImage.restype = ctypes.POINTER(_XImage)
_x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                           ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
_x11.XDestroyImage.argtypes = [ctypes.POINTER(_XImage)]
_x11.XSetErrorHandler.argtypes = [_X_ERROR_HANDLER]
_x11.XSetErrorHandler.restype = ctypes.c_void_p
_xdamage.XDamageQueryExtension.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                           ctypes.POINTER(ctypes.c_int)]
_xdamage.XDamageCreate.restype = ctypes.c_ulong
_xdamage.XDamageCreate.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int]
_xdamage.XDamageSubtract.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                     ctypes.c_ulong]
_xdamage.XDamageDestroy.argtypes = [ctypes.c_void_p, ctypes.c_ulong]

_ZPIXMAP = 2
_DAMAGE_REPORT_NON_EMPTY = 3
_DAMAGE_NOTIFY = 0


@_X_ERROR_HANDLER
def _ignore_x_error(display, event):
    # A read of a window that is being resized or has gone fails; the watcher just skips it.
    return 0


_x11.XSetErrorHandler(_ignore_x_error)


def picture_rect(video, size):
    """Where a picture of `size` lands in the video area (left, top, right, bottom): scaled to
    fit, keeping its shape, centred."""
    left, top, right, bottom = video
    aw, ah = right - left, bottom - top
    scale = min(aw / size[0], ah / size[1])
    w, h = size[0] * scale, size[1] * scale
    x, y = left + (aw - w) / 2, top + (ah - h) / 2
    return x, y, x + w, y + h


class ScreenWatcher(threading.Thread):
    """Timestamps every update of an X window and reads the picture number on it right away.

    `pictures` lists (monotonic time, number) of each new number read; `updates` counts the
    window's updates; `unreadable` the reads that gave no valid number."""

    def __init__(self, display, window, video_rect, picture_size):
        super().__init__(daemon=True)
        self.window = window
        x0, y0, x1, y1 = picture_rect(video_rect, picture_size)
        h = y1 - y0
        # A few rows in the middle of the block band, every cell read at its middle half.
        band_top = y0 + h * (BAND_TOP + (BAND_BOTTOM - BAND_TOP) * 0.3)
        band_bottom = y0 + h * (BAND_TOP + (BAND_BOTTOM - BAND_TOP) * 0.7)
        self.strip = (int(x0), int(band_top), max(int(x1 - x0), CELLS),
                      max(int(band_bottom - band_top), 1))
        cell = (x1 - x0) / CELLS
        self.cells = [(int(i * cell + cell / 4), max(int(i * cell + cell * 3 / 4),
                                                     int(i * cell + cell / 4) + 1))
                      for i in range(CELLS)]
        self.pictures = []
        self.updates = 0
        self.unreadable = 0
        self._stop_event = threading.Event()
        self.dpy = _x11.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError("cannot open display %s" % display)
        event_base, error_base = ctypes.c_int(), ctypes.c_int()
        if not _xdamage.XDamageQueryExtension(self.dpy, ctypes.byref(event_base),
                                              ctypes.byref(error_base)):
            raise RuntimeError("the X server has no DAMAGE extension")
        self.damage_event = event_base.value + _DAMAGE_NOTIFY
        self.damage = _xdamage.XDamageCreate(self.dpy, window, _DAMAGE_REPORT_NON_EMPTY)
        _x11.XFlush(self.dpy)

    def read_number(self):
        x, y, w, h = self.strip
        image = _x11.XGetImage(self.dpy, self.window, x, y, w, h, ~0 & 0xFFFFFFFF, _ZPIXMAP)
        if not image:
            return None
        try:
            im = image.contents
            if im.bits_per_pixel != 32:
                return None
            data = ctypes.string_at(im.data, im.bytes_per_line * im.height)
            stride = im.bytes_per_line
        finally:
            _x11.XDestroyImage(image)
        cells = []
        for a, b in self.cells:
            total = count = 0
            for row in range(h):
                line = data[row * stride + a * 4:row * stride + b * 4]
                # BGRX: the green byte stands for the brightness of black and white.
                total += sum(line[1::4])
                count += len(line) // 4
            level = total / max(count, 1)
            if 90 <= level <= 165:
                return None
            cells.append(level > 165)
        return decode_cells(cells)

    def run(self):
        fd = _x11.XConnectionNumber(self.dpy)
        event = ctypes.create_string_buffer(256)
        last = None
        while not self._stop_event.is_set():
            if not _x11.XPending(self.dpy):
                select.select([fd], [], [], 0.05)
                continue
            _x11.XNextEvent(self.dpy, event)
            if ctypes.c_int.from_buffer(event).value != self.damage_event:
                continue
            now = time.monotonic()
            # Emptied before the read, so an update during the read brings another event.
            _xdamage.XDamageSubtract(self.dpy, self.damage, 0, 0)
            self.updates += 1
            number = self.read_number()
            if number is None:
                self.unreadable += 1
            elif number != last:
                self.pictures.append((now, number))
                last = number
        _xdamage.XDamageDestroy(self.dpy, self.damage)
        _x11.XCloseDisplay(self.dpy)

    def stop(self):
        self._stop_event.set()
        self.join(5)


# --- Measures -----------------------------------------------------------------------------------


def picture_time(pictures, number):
    """When picture `number` was shown, from the (time, number) list; a picture that was
    skipped gets the time between its neighbours' in proportion. None outside what was seen."""
    before = after = None
    for t, n in pictures:
        if n == number:
            return t
        if n < number:
            before = (t, n)
        elif after is None and before is not None:
            after = (t, n)
            break
    if before is None or after is None:
        return None
    (t0, n0), (t1, n1) = before, after
    return t0 + (t1 - t0) * (number - n0) / (n1 - n0)


def picture_at(pictures, t):
    """The number of the picture on screen at time t (None before the first)."""
    shown = None
    for when, n in pictures:
        if when > t:
            break
        shown = n
    return shown


def beep_offsets(recording, sound, samples, pictures):
    """For each beep heard: (picture number, milliseconds from its picture to its sound;
    positive: sound after picture)."""
    results = []
    for onset in beep_onsets(samples):
        heard = sound.time_of(onset - recording.beep_delay)
        if heard is None:
            continue
        # Which beep: the piece after it says which second it starts, up to whole cycles of
        # pieces; the picture on screen meanwhile tells the cycle.
        shown = picture_at(pictures, heard)
        if shown is None:
            continue
        guess = shown / PICTURES_PER_BEEP
        after = onset + BEEP_SAMPLES + 80
        pieces = [piece_at(samples, after + i * PIECE_WINDOW // 2) for i in range(6)]
        pieces = [p for p in pieces if p is not None]
        piece = statistics.mode(pieces) if pieces else None
        if piece is not None and piece % 2 == 0:
            beeps_per_cycle = PIECES // 2
            base = piece // 2
            beep = base + beeps_per_cycle * round((guess - base) / beeps_per_cycle)
        else:
            beep = round(guess)
        number = beep * PICTURES_PER_BEEP
        seen = picture_time(pictures, number)
        if seen is None or number >= recording.pictures:
            continue
        results.append((number, (heard - seen) * 1000))
    return results


def measure(recording, screen, sound):
    """What the watchers saw and heard of `recording`, as a dict."""
    pictures = screen.pictures
    samples = sound.samples()
    result = {
        "pictures_in_recording": recording.pictures,
        "window_updates": screen.updates,
        "unreadable_updates": screen.unreadable,
    }
    if pictures:
        numbers = [n for _, n in pictures]
        first, last = numbers[0], recording.pictures - 1
        distinct = len(set(n for n in numbers if first <= n <= last))
        span = pictures[-1][0] - pictures[0][0]
        result.update({
            "first_picture_watched": first,
            "last_picture_seen": numbers[-1],
            "pictures_watched": last - first + 1,
            "distinct_pictures_seen": distinct,
            "share_seen": round(distinct / (last - first + 1), 4),
            "pictures_per_second": round((len(pictures) - 1) / span, 2) if span > 0 else None,
            "updates_per_second": round(screen.updates / span, 2) if span > 0 else None,
            "playback_speed": round((numbers[-1] - first) / FPS / span, 4) if span > 0 else None,
            "longest_picture_gap_ms": round(max((b[0] - a[0] for a, b in
                                                 zip(pictures, pictures[1:])), default=0) * 1000,
                                            1),
        })
    silent_ms, sound_ms = inserted_silence(samples)
    runs = piece_runs(samples)
    offsets = beep_offsets(recording, sound, samples, pictures)
    values = [o for _, o in offsets]
    rate = sound.bytes_per_second()
    result.update({
        "sound_seconds": round(len(samples) / RATE, 3),
        "silence_inserted_ms": round(silent_ms, 1),
        "silence_inserted_ms_per_minute": round(silent_ms * 60000 / sound_ms, 1)
        if sound_ms > 0 else None,
        "sound_pieces_expected": len(recording.pieces),
        "sound_pieces_heard": runs,
        "sound_pieces_in_order": runs == recording.pieces,
        "beep_offsets_ms": [[n, round(o, 1)] for n, o in offsets],
        "beep_offset_median_ms": round(statistics.median(values), 1) if values else None,
        "beep_offset_max_ms": round(max(values, key=abs), 1) if values else None,
        "sound_device_bytes_per_second": round(rate, 1) if rate else None,
        "sound_device_reopened": sound.reopens,
    })
    return result


# --- Command line -----------------------------------------------------------------------------


def watch_playback(session, recording, mode, layouts, timeout):
    """Plays `recording` in `session` (a run_e2e Session), switched to `mode`, until its end;
    returns the measures. `layouts` maps a mode to its window layout."""
    sound = SoundWatcher(session.audio_path)
    sound.start()
    try:
        session.start_player(recording.path)
        if mode == "large":
            session.key("F2")
            session.wait_for_window(layouts["large"]["size"])
        elif mode == "fullscreen":
            session.double_click(200, 120)
            session.wait_for_window(layouts["fullscreen"]["size"], (0, 0))
            session.pointer_to_screen(4, 4)
        screen = ScreenWatcher(session.xserver.display, session.player_window(),
                               layouts[mode]["video"], recording.size)
        screen.start()
        try:
            wait_until_end(session, recording, screen, sound, timeout)
        finally:
            screen.stop()
    finally:
        sound.stop()
    return measure(recording, screen, sound)


def wait_until_end(session, recording, screen, sound, timeout):
    """Until the last picture has been shown (or no new picture came for 3 s once most of the
    recording has gone by) and the sound has been quiet for half a second."""
    deadline = time.monotonic() + timeout
    last_change = time.monotonic()
    seen = 0
    while time.monotonic() < deadline:
        session.expect_alive()
        if len(screen.pictures) != seen:
            seen, last_change = len(screen.pictures), time.monotonic()
        number = screen.pictures[-1][1] if screen.pictures else -1
        ended = number >= recording.pictures - 1 or (
            number >= recording.pictures * 0.9 and time.monotonic() - last_change > 3)
        if ended:
            tail = sound.samples()[-RATE // 2:]
            quiet = len(tail) == RATE // 2 and max(abs(v) for v in tail) <= SILENCE_LEVEL
            if quiet or time.monotonic() - last_change > 5:
                return
        time.sleep(0.1)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    import run_e2e

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vidora", required=True)
    parser.add_argument("--krm-mux", required=True)
    parser.add_argument("--amrnb-encode", required=True)
    parser.add_argument("--size", default="320x240")
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--mode", choices=("normal", "large", "fullscreen"), default="normal")
    parser.add_argument("--json", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = parser.parse_args()
    size = tuple(int(v) for v in args.size.split("x"))

    class Config:
        vidora = os.path.abspath(args.vidora)
        keep = args.keep
        artifacts = os.path.dirname(os.path.abspath(args.json))

    layouts = {"normal": run_e2e.NORMAL, "large": run_e2e.LARGE,
               "fullscreen": run_e2e.FULLSCREEN}
    with run_e2e.Session(Config, "watch") as s:
        recording = make_recording(s.workdir, os.path.abspath(args.krm_mux),
                                   os.path.abspath(args.amrnb_encode), size, args.seconds)
        result = {"size": args.size, "seconds": args.seconds, "mode": args.mode}
        result.update(watch_playback(s, recording, args.mode, layouts, args.seconds + 30))
    with open(args.json, "w") as f:
        json.dump(result, f, indent=1)
    print(json.dumps({k: v for k, v in result.items()
                      if k not in ("sound_pieces_heard", "beep_offsets_ms")}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
