#!/usr/bin/python3
"""End-to-end tests: the real vidora program in a real X server, driven like a person would.

Each scenario starts its own Xvfb (white root, so that the normal skin's see-through corners
show white) and the program on it, with sound going to a raw file through SDL's disk driver
(8000 Hz, signed 16-bit, mono). The pointer and the keyboard are driven with xdotool; what the
window shows is read back from root-window screenshots (ImageMagick's `import`, as PPM).
Every wait polls a condition until a deadline; nothing relies on a sleep alone. The smoothness
scenarios play recordings with numbered pictures and marked sound, and time what reaches the
window and the sound file with playback_watch.py.

usage: run_e2e.py --build-dir DIR [--source-dir DIR] [--vidora EXE] [--keep] SCENARIO...
       run_e2e.py --list

Python standard library only.
"""

import argparse
import array
import ctypes
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback

import playback_watch

SCREEN_W, SCREEN_H = 1280, 800

# Window layouts in window pixels: (left, top, right, bottom), right and bottom exclusive.
NORMAL = {
    "size": (520, 276),
    "close": (28, 98, 38, 180),
    "video": (88, 20, 420, 256),
    "seek": (424, 21, 432, 257),
    "open": (440, 40, 488, 88),
    "play": (440, 112, 488, 160),
    "snapshot": (440, 184, 488, 232),
}
LARGE = {
    "size": (548, 420),
    "close": (524, 0, 548, 24),
    "video": (12, 24, 524, 348),
    "seek": (8, 353, 538, 356),
    "open": (12, 364, 60, 412),
    "play": (72, 364, 120, 412),
    "snapshot": (132, 364, 180, 412),
}
FULLSCREEN = {
    "size": (SCREEN_W, SCREEN_H),
    "video": (0, 0, SCREEN_W, SCREEN_H - 128),
    "seek": (SCREEN_W // 4, SCREEN_H - 106, SCREEN_W * 3 // 4, SCREEN_H - 94),
    "open": (SCREEN_W // 2 - 104, SCREEN_H - 72, SCREEN_W // 2 - 56, SCREEN_H - 24),
    "play": (SCREEN_W // 2 - 24, SCREEN_H - 72, SCREEN_W // 2 + 24, SCREEN_H - 24),
}

# Button strip cells.
CELL_PLAY_HOVER, CELL_PLAY, CELL_PAUSE_HOVER, CELL_PAUSE = 0, 1, 2, 3
CELL_OPEN_HOVER, CELL_OPEN, CELL_SNAPSHOT_HOVER, CELL_SNAPSHOT = 4, 5, 6, 7

# The presenter's date and time band across the top of the picture.
TIME_BAND = (20, 20, 20)
TIME_BAND_ROWS = 19

AUDIO_RATE = 8000
AUDIO_BYTES_PER_SECOND = AUDIO_RATE * 2
# Samples at or below this magnitude count as silence; speech peaks reach thousands.
SILENCE_LEVEL = 16
SOUND_LEVEL = 1000

WHITE = (255, 255, 255)


class Failure(Exception):
    pass


class Timeout(Exception):
    """The scenario ran past its own time limit."""


def log(message):
    print("[%7.2f] %s" % (time.monotonic() - START, message), flush=True)


START = time.monotonic()


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, probe, timeout, interval=0.1):
    """Calls probe() until it returns a true value, which is returned; fails after timeout
    seconds, telling the last value that probe described through a (ok, detail) tuple."""
    deadline = time.monotonic() + timeout
    detail = None
    while True:
        result = probe()
        if isinstance(result, tuple):
            ok, detail = result
        else:
            ok, detail = result, result
        if ok:
            return detail
        if time.monotonic() >= deadline:
            raise Failure("timed out after %.1f s waiting for %s (last seen: %s)"
                          % (timeout, what, detail))
        time.sleep(interval)


# --- Images ---------------------------------------------------------------------------------


class Image:
    """An RGB picture, 8 bits per channel, rows top-down."""

    def __init__(self, width, height, data):
        self.width = width
        self.height = height
        self.data = data

    @staticmethod
    def from_ppm(blob):
        # P6 header: magic, width, height, maxval, each separated by whitespace; comments start
        # with '#'.
        fields = []
        pos = 0
        while len(fields) < 4:
            while blob[pos:pos + 1].isspace():
                pos += 1
            if blob[pos:pos + 1] == b"#":
                pos = blob.index(b"\n", pos) + 1
                continue
            end = pos
            while not blob[end:end + 1].isspace():
                end += 1
            fields.append(blob[pos:end])
            pos = end
        pos += 1
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise Failure("unexpected screenshot format %r" % fields)
        width, height = int(fields[1]), int(fields[2])
        data = blob[pos:pos + width * height * 3]
        if len(data) != width * height * 3:
            raise Failure("short screenshot")
        return Image(width, height, data)

    @staticmethod
    def from_bmp(path):
        """A 24-bit uncompressed bottom-up BMP file."""
        with open(path, "rb") as f:
            blob = f.read()
        check(blob[:2] == b"BM", "%s is not a BMP file" % path)
        offset = struct.unpack_from("<I", blob, 10)[0]
        width, height = struct.unpack_from("<ii", blob, 18)
        bits = struct.unpack_from("<H", blob, 28)[0]
        check(bits == 24 and height > 0, "%s: not a bottom-up 24-bit BMP" % path)
        stride = (width * 3 + 3) & ~3
        rows = []
        for y in range(height):
            start = offset + (height - 1 - y) * stride
            row = bytearray(blob[start:start + width * 3])
            row[0::3], row[2::3] = row[2::3], row[0::3]  # BGR to RGB
            rows.append(bytes(row))
        return Image(width, height, b"".join(rows))

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def crop(self, left, top, right, bottom):
        left, top = max(left, 0), max(top, 0)
        right, bottom = min(right, self.width), min(bottom, self.height)
        rows = [self.data[(y * self.width + left) * 3:(y * self.width + right) * 3]
                for y in range(top, bottom)]
        return Image(right - left, bottom - top, b"".join(rows))

    def pixels(self):
        d = self.data
        return zip(d[0::3], d[1::3], d[2::3])

    def count(self, predicate):
        return sum(1 for p in self.pixels() if predicate(p))

    def count_colour(self, colour):
        return self.count(lambda p: p == colour)

    def differing(self, other, tolerance=0):
        """How many pixels differ by more than `tolerance` in some channel."""
        check((self.width, self.height) == (other.width, other.height), "sizes differ")
        if tolerance == 0:
            if self.data == other.data:
                return 0
            return sum(1 for a, b in zip(self.pixels(), other.pixels()) if a != b)
        return sum(1 for a, b in zip(self.pixels(), other.pixels())
                   if max(abs(a[0] - b[0]), abs(a[1] - b[1]), abs(a[2] - b[2])) > tolerance)

    def mean_difference(self, other):
        total = sum(abs(a - b) for a, b in zip(self.data, other.data))
        return total / max(len(self.data), 1)

    def write_ppm(self, path):
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (self.width, self.height))
            f.write(self.data)


# --- Processes --------------------------------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def _child_setup():
    # Children die with this script, even when it is killed outright (a test runner's timeout),
    # so that no X server or player outlives a run.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def stop_group(process, grace=3.0):
    """Ends a process started in a session of its own and everything in its process group."""
    if process is None:
        return
    pgid = process.pid
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        if not group_alive(pgid) and process.poll() is not None:
            break
        try:
            os.killpg(pgid, sig)
        except ProcessLookupError:
            pass
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            process.poll()
            if process.returncode is not None and not group_alive(pgid):
                break
            time.sleep(0.05)
    if process.returncode is None:
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass


def start_in_own_group(argv, **kwargs):
    return subprocess.Popen(argv, start_new_session=True, preexec_fn=_child_setup, **kwargs)


class XServer:
    """An Xvfb of its own on a display number that nobody uses."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.process = None
        self.display = None

    def start(self):
        rng = random.Random(os.getpid() ^ int(time.time() * 1000))
        for _ in range(20):
            number = rng.randrange(300, 900)
            if (os.path.exists("/tmp/.X%d-lock" % number)
                    or os.path.exists("/tmp/.X11-unix/X%d" % number)):
                continue
            log_path = os.path.join(self.workdir, "xvfb-%d.log" % number)
            with open(log_path, "wb") as xlog:
                self.process = start_in_own_group(
                    ["Xvfb", ":%d" % number, "-screen", "0", "%dx%dx24" % (SCREEN_W, SCREEN_H),
                     "-wr", "-nolisten", "tcp", "-noreset"],
                    stdin=subprocess.DEVNULL, stdout=xlog, stderr=subprocess.STDOUT)
            self.display = ":%d" % number
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline and self.process.poll() is None:
                probe = subprocess.run(["xdotool", "getdisplaygeometry"], env=self.env(),
                                       capture_output=True, text=True)
                if probe.returncode == 0:
                    check(probe.stdout.split() == [str(SCREEN_W), str(SCREEN_H)],
                          "Xvfb screen is %r" % probe.stdout)
                    log("Xvfb ready on %s" % self.display)
                    return
                time.sleep(0.05)
            # Lost a race for the number, or too slow: try another.
            stop_group(self.process)
            self.process = None
        raise Failure("could not start Xvfb")

    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def stop(self):
        stop_group(self.process)
        self.process = None


class Session:
    """One X server with one player on it, and the means to look at it and drive it. Scenarios
    named wm_... run under a window manager (openbox)."""

    def __init__(self, config, name):
        self.config = config
        self.name = name
        self.workdir = tempfile.mkdtemp(prefix="vidora-e2e-%s-" % name)
        self.xserver = XServer(self.workdir)
        self.window_manager = None
        self.player = None
        self.audio_path = os.path.join(self.workdir, "sound.raw")
        self.player_log = os.path.join(self.workdir, "player.log")
        self.last_shot = None

    # -- lifetime --

    def __enter__(self):
        self.xserver.start()
        if self.name.startswith("wm_"):
            self.start_window_manager()
        return self

    def start_window_manager(self):
        with open(os.path.join(self.workdir, "openbox.log"), "wb") as out:
            self.window_manager = start_in_own_group(
                ["openbox", "--sm-disable"], env=self.xserver.env(), stdin=subprocess.DEVNULL,
                stdout=out, stderr=subprocess.STDOUT)

        def probe():
            check(self.window_manager.poll() is None, "openbox ended (see openbox.log)")
            return "window id" in self.xprop("-root", "_NET_SUPPORTING_WM_CHECK"), "not yet"

        wait_for("openbox to manage the screen", probe, 15)
        log("openbox runs")

    def __exit__(self, kind, value, tb):
        try:
            if kind is not None and self.last_shot is not None:
                path = os.path.join(self.config.artifacts, "%s-failure.ppm" % self.name)
                self.last_shot.write_ppm(path)
                log("last screenshot saved to %s" % path)
            if kind is not None and os.path.exists(self.player_log):
                with open(self.player_log, "rb") as f:
                    text = f.read().decode("utf-8", "replace").strip()
                if text:
                    log("player output:\n" + text[-3000:])
        finally:
            self.stop_player()
            stop_group(self.window_manager)
            self.xserver.stop()
            report = self.sanitizer_report()
            if not self.config.keep:
                shutil.rmtree(self.workdir, ignore_errors=True)
        if kind is None and report:
            raise Failure("the player reported a fault:\n" + report)
        return False

    def sanitizer_report(self):
        """What a sanitizer-built player wrote about a fault (empty when it wrote nothing)."""
        try:
            with open(self.player_log, "rb") as f:
                text = f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""
        lines = text.splitlines()
        for i, line in enumerate(lines):
            if "ERROR: " in line and "Sanitizer" in line or "runtime error:" in line \
                    or "WARNING: ThreadSanitizer" in line:
                return "\n".join(lines[i:i + 40])
        return ""

    def env(self):
        env = self.xserver.env()
        env["SDL_VIDEODRIVER"] = "x11"
        env["SDL_AUDIODRIVER"] = "disk"
        env["SDL_DISKAUDIOFILE"] = self.audio_path
        env["NO_AT_BRIDGE"] = "1"
        env.pop("VIDORA_FILE_DIALOG", None)
        # For a player built with AddressSanitizer: system libraries' own leaks are not ours.
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
        options = env.get("LSAN_OPTIONS", "")
        env["LSAN_OPTIONS"] = (options + ":" if options else "") + "suppressions=" + suppressions
        return env

    def start_player(self, *args, wrapper=(), env=None):
        """Starts vidora ARGS, under the `wrapper` command if any, with `env` added."""
        check(self.player is None, "player already running")
        with open(self.player_log, "ab") as out:
            self.player = start_in_own_group(list(wrapper) + [self.config.vidora] + list(args),
                                             env=dict(self.env(), **(env or {})),
                                             cwd=self.workdir,
                                             stdin=subprocess.DEVNULL, stdout=out,
                                             stderr=subprocess.STDOUT)
        log("started vidora %s (pid %d)" % (" ".join(args), self.player.pid))
        self.wait_for_window(NORMAL["size"])
        # The pointer starts in the middle of the screen, over the window: move it off, to a
        # place it can be moved from with relative moves.
        self.pointer_to_screen(4, 4)

    def stop_player(self):
        stop_group(self.player)

    def player_alive(self):
        return self.player is not None and self.player.poll() is None

    def expect_alive(self):
        check(self.player_alive(), "vidora ended unexpectedly (exit code %s)"
              % (self.player.returncode if self.player else None))

    # -- X helpers --

    def xdotool(self, *args, check_rc=True):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.xserver.env(),
                                capture_output=True, text=True, timeout=20)
        if check_rc and result.returncode != 0:
            raise Failure("xdotool %s failed: %s" % (" ".join(map(str, args)),
                                                     result.stderr.strip()))
        return result.stdout

    def xprop(self, *args):
        return subprocess.run(["xprop"] + [str(a) for a in args], env=self.xserver.env(),
                              capture_output=True, text=True, timeout=20).stdout

    def stacking(self):
        """The window manager's client windows, bottom to top."""
        out = self.xprop("-root", "_NET_CLIENT_LIST_STACKING")
        return [int(w, 16) for w in out.partition("#")[2].replace(",", " ").split()]

    def transient_for(self, window):
        ids = self.xprop("-id", window, "WM_TRANSIENT_FOR").partition("#")[2].split()
        return int(ids[0], 16) if ids else None

    def kept_above(self, window):
        return "_NET_WM_STATE_ABOVE" in self.xprop("-id", window, "_NET_WM_STATE")

    def find_windows(self, name):
        # A window that goes while the search walks the tree (GTK's short-lived windows) makes
        # xdotool fail with an X error and find nothing: that search is made again.
        for _ in range(5):
            result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                                    env=self.xserver.env(), capture_output=True, text=True,
                                    timeout=20)
            if result.returncode == 0 or not result.stderr.strip():
                break
            time.sleep(0.05)
        return [int(w) for w in result.stdout.split()]

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window, check_rc=False)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        try:
            return (int(values["X"]), int(values["Y"]), int(values["WIDTH"]),
                    int(values["HEIGHT"]))
        except KeyError:
            return None

    def player_window(self):
        windows = self.find_windows("^Vidora$")
        return windows[0] if len(windows) == 1 else None

    def window_geometry(self):
        window = self.player_window()
        return self.geometry(window) if window else None

    def wait_for_window(self, size, position=None, timeout=15):
        """Waits until the player's one visible window has this size (and position; by default
        the position that centres the size on the screen). Returns (x, y)."""
        if position is None:
            position = ((SCREEN_W - size[0]) // 2, (SCREEN_H - size[1]) // 2)
        want = (position[0], position[1], size[0], size[1])

        def probe():
            self.expect_alive()
            g = self.window_geometry()
            return g == want, g

        wait_for("the window at %r" % (want,), probe, timeout)
        self.origin = position
        return position

    def screenshot(self):
        blob = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"],
                              env=self.xserver.env(), capture_output=True, timeout=30).stdout
        self.last_shot = Image.from_ppm(blob)
        return self.last_shot

    def window_shot(self, layout=None):
        """The window's pixels from a fresh screenshot, for the window where it now stands."""
        layout = layout or NORMAL
        shot = self.screenshot()
        x, y = self.origin
        return shot.crop(x, y, x + layout["size"][0], y + layout["size"][1])

    def pointer(self):
        out = self.xdotool("getmouselocation", "--shell")
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"])

    def pointer_to_screen(self, x, y):
        """Moves the pointer to a screen position with relative moves (an absolute move can leave
        SDL's idea of the global pointer stale), and lets the program see it."""
        for _ in range(5):
            px, py = self.pointer()
            if (px, py) == (x, y):
                break
            self.xdotool("mousemove_relative", "--", x - px, y - py)
        check(self.pointer() == (x, y), "pointer did not reach %d, %d" % (x, y))
        time.sleep(0.04)

    def pointer_to(self, wx, wy):
        """Moves the pointer to window pixel (wx, wy)."""
        self.pointer_to_screen(self.origin[0] + wx, self.origin[1] + wy)

    def click(self, wx, wy):
        self.pointer_to(wx, wy)
        self.xdotool("click", "1")

    def click_centre(self, rect):
        self.click((rect[0] + rect[2]) // 2, (rect[1] + rect[3]) // 2)

    def double_click(self, wx, wy):
        self.pointer_to(wx, wy)
        self.xdotool("click", "--repeat", "2", "--delay", "120", "1")

    def focus(self, window):
        def probe():
            self.xdotool("windowfocus", window, check_rc=False)
            out = self.xdotool("getwindowfocus", check_rc=False).strip()
            return out == str(window), out

        wait_for("keyboard focus on window %d" % window, probe, 5, interval=0.1)

    def key(self, name):
        window = self.player_window()
        check(window is not None, "no player window to send %s to" % name)
        self.focus(window)
        self.xdotool("key", name)
        log("key %s" % name)

    # -- sound --

    def audio_size(self):
        try:
            return os.path.getsize(self.audio_path)
        except FileNotFoundError:
            return 0

    def audio_samples(self, start, end=None):
        """Samples written between byte offsets start and end (end of file by default)."""
        with open(self.audio_path, "rb") as f:
            f.seek(start - start % 2)
            blob = f.read() if end is None else f.read(end - start)
        blob = blob[:len(blob) - len(blob) % 2]
        samples = array.array("h")
        samples.frombytes(blob)
        if sys.byteorder != "little":
            samples.byteswap()
        return samples


# --- What the window shows ----------------------------------------------------------------------


class Skin:
    """The skin bitmaps from res/, to tell what the window must show."""

    def __init__(self, source_dir):
        res = os.path.join(source_dir, "res")
        self.normal = Image.from_bmp(os.path.join(res, "skin-normal.bmp"))
        self.large = Image.from_bmp(os.path.join(res, "skin-large.bmp"))
        self.strip_normal = Image.from_bmp(os.path.join(res, "buttons-normal.bmp"))
        self.strip_large = Image.from_bmp(os.path.join(res, "buttons-large.bmp"))

    def cell(self, n, large=False):
        strip = self.strip_large if large else self.strip_normal
        return strip.crop(48 * n, 0, 48 * n + 48, 48)

    def button_cell(self, window_img, rect, large=False):
        """Which strip cell the button shows, by the closest match."""
        shown = window_img.crop(rect[0], rect[1], rect[0] + 48, rect[1] + 48)
        scores = [(shown.mean_difference(self.cell(n, large)), n) for n in range(8)]
        score, best = min(scores)
        return best if score < 8 else None


def video_of(window_img, layout=NORMAL):
    v = layout["video"]
    return window_img.crop(*v)


def picture_rows(video):
    """The video area without the date and time band."""
    return video.crop(0, TIME_BAND_ROWS + 1, video.width, video.height)


def non_black(img, level=8):
    return img.count(lambda p: max(p) > level)


def seek_fill(window_img, layout=NORMAL):
    """How many rows of the normal skin's vertical progress bar are white (from the bottom)."""
    left, top, right, bottom = layout["seek"]
    x = (left + right) // 2
    rows = 0
    for y in range(bottom - 1, top - 1, -1):
        if window_img.pixel(x, y) != WHITE:
            break
        rows += 1
    return rows


def fullscreen_fill(window_img):
    """(columns, rows) of the fullscreen progress bar's white fill: how far it reaches from the
    bar's left edge along the bar's middle row, and which rows are white in its first column."""
    left, top, right, bottom = FULLSCREEN["seek"]
    middle = (top + bottom) // 2
    columns = 0
    for x in range(left, right):
        if window_img.pixel(x, middle) != WHITE:
            break
        columns += 1
    rows = [y for y in range(top, bottom) if window_img.pixel(left, y) == WHITE]
    return columns, rows


def time_band(video):
    """(left, right) of the presenter's date and time band in the video area's top row, or
    None when there is no band."""
    row = [video.pixel(x, 1) for x in range(video.width)]
    centre = video.width // 2
    runs = []
    x = 0
    while x < len(row):
        if row[x] == TIME_BAND:
            start = x
            while x < len(row) and row[x] == TIME_BAND:
                x += 1
            runs.append((start, x))
        else:
            x += 1
    if not runs:
        return None
    left = min(r[0] for r in runs)
    right = max(r[1] for r in runs)
    if right - left < 100 or not (left < centre < right):
        return None
    return left, right


def text_pixels(img, level=120):
    return img.count(lambda p: min(p) >= level and max(p) - min(p) < 10)


def date_glyphs(video, width=None):
    """The start of the time band: the date and the hour. `width` columns (by default the left
    62 % of the band, "YYYY.MM.DD HH:" and a bit) from the band's left edge, so that a change in
    the width of the seconds' digits does not move it."""
    band = time_band(video)
    if band is None:
        return None
    left, right = band
    if width is None:
        width = (right - left) * 62 // 100
    return video.crop(left, 0, left + width, TIME_BAND_ROWS)


def describe_video(video):
    return "%d non-black pixels of %d" % (non_black(video), video.width * video.height)


# --- Recordings -----------------------------------------------------------------------------------


class Recordings:
    def __init__(self, config, workdir):
        self.config = config
        self.workdir = workdir
        self.testdata = os.path.join(config.build_dir, "testdata")

    def existing(self, name):
        path = os.path.join(self.testdata, name)
        check(os.path.exists(path), "test recording %s is missing (build first)" % path)
        return path

    def long(self, start="2016-02-28 23:59:05", repeats=30):
        """A 4:3 recording of repeats × 4 seconds (2 minutes), one IDR picture a second, with
        speech, made by joining the 4-second test streams end to end."""
        out = os.path.join(self.workdir, "long.krm")
        h264 = os.path.join(self.workdir, "long.h264")
        amr = os.path.join(self.workdir, "long.amr")
        with open(self.existing("h264_320x240.h264"), "rb") as f:
            video = f.read()
        with open(self.existing("speech.amr"), "rb") as f:
            speech = f.read()
        # Bare storage frames; a "#!AMR\n" file header, if any, may stand only once in front.
        magic = b"#!AMR\n"
        frames = speech[len(magic):] if speech.startswith(magic) else speech
        with open(h264, "wb") as f:
            f.write(video * repeats)
        with open(amr, "wb") as f:
            f.write(frames * repeats)
        self.mux(["--h264", h264, "--amr", amr, "--size", "320x240", "--start", start,
                  "--out", out])
        return out

    def invalid_tag(self):
        out = os.path.join(self.workdir, "capital-tag.krm")
        self.mux(["--h264", self.existing("h264_320x240.h264"),
                  "--amr", self.existing("speech.amr"), "--size", "320x240",
                  "--raw-tag", "H264", "--out", out])
        return out

    def mux(self, args):
        result = subprocess.run([self.config.krm_mux] + args, capture_output=True, text=True)
        check(result.returncode == 0, "krm-mux %s failed: %s" % (args, result.stderr))


# --- Shared steps ---------------------------------------------------------------------------------


def wait_playing(s, timeout=20, layout=NORMAL):
    """Waits until the video area shows a picture with its date and time band."""

    def probe():
        s.expect_alive()
        video = video_of(s.window_shot(layout), layout)
        band = time_band(video)
        picture = non_black(picture_rows(video))
        ok = band is not None and picture > video.width * video.height // 4
        return ok, "band %s, %d non-black picture pixels" % (band, picture)

    wait_for("the picture and its time band", probe, timeout, interval=0.2)
    return video_of(s.window_shot(layout), layout)


def wait_picture_moves(s, layout=NORMAL, timeout=10):
    """Waits until two screenshots show different pictures."""
    previous = [picture_rows(video_of(s.window_shot(layout), layout))]

    def probe():
        now = picture_rows(video_of(s.window_shot(layout), layout))
        changed = now.differing(previous[0], tolerance=24)
        previous[0] = now
        return changed > 50, "%d pixels changed" % changed

    wait_for("the picture to move", probe, timeout, interval=0.25)


def wait_picture_still(s, layout=NORMAL, timeout=10, hold=1.5):
    """Waits until the video area stays exactly the same for `hold` seconds."""
    state = {"img": video_of(s.window_shot(layout), layout), "since": time.monotonic()}

    def probe():
        now = video_of(s.window_shot(layout), layout)
        changed = now.differing(state["img"])
        if changed:
            state["img"], state["since"] = now, time.monotonic()
        held = time.monotonic() - state["since"]
        return held >= hold, "%d pixels changed, still for %.1f s" % (changed, held)

    wait_for("the picture to stand still", probe, timeout, interval=0.25)
    return state["img"]


def wait_button(s, faces, layout=NORMAL, large=False, timeout=10):
    rect = layout["play"]

    def probe():
        cell = s.config.skin.button_cell(s.window_shot(layout), rect, large)
        return cell in faces, "cell %s" % cell

    wait_for("the play button to show cell %s" % (faces,), probe, timeout, interval=0.15)


def wait_sound(s, since, timeout=15):
    """Waits until the sound written after byte offset `since` holds speech."""

    def probe():
        s.expect_alive()
        samples = s.audio_samples(since) if s.audio_size() > since else []
        peak = max((abs(v) for v in samples), default=0)
        return peak >= SOUND_LEVEL, "%d samples, peak %d" % (len(samples), peak)

    wait_for("sound in the disk audio file", probe, timeout, interval=0.2)


def wait_silence(s, seconds=1.0, timeout=15):
    """Waits until the last `seconds` of sound written are (near) silence, and returns the
    offset where that silent stretch begins."""
    need = int(AUDIO_BYTES_PER_SECOND * seconds)

    def probe():
        size = s.audio_size()
        if size < need:
            return False, "only %d bytes written" % size
        start = size - need
        tail = s.audio_samples(start, size)
        peak = max((abs(v) for v in tail), default=0)
        return peak <= SILENCE_LEVEL, "last %.1f s peaks at %d" % (seconds, peak)

    wait_for("the sound to fall silent", probe, timeout, interval=0.25)
    return s.audio_size()


def check_normal_skin(s, img):
    """The window shows the normal skin's bitmap outside the parts that change, with its
    pure-red corners see-through (the white root window shows through)."""
    skin = s.config.skin.normal
    dynamic = [NORMAL[k] for k in ("video", "seek", "open", "play", "snapshot")]
    wrong = []
    see_through = 0
    for y in range(skin.height):
        for x in range(skin.width):
            if any(r[0] <= x < r[2] and r[1] <= y < r[3] for r in dynamic):
                continue
            want = skin.pixel(x, y)
            if want == (255, 0, 0):
                want = WHITE
                see_through += 1
            got = img.pixel(x, y)
            if got != want:
                wrong.append((x, y, got, want))
    check(see_through > 100, "the normal skin has no see-through corners?")
    check(not wrong, "%d skin pixels differ from res/skin-normal.bmp, e.g. %s"
          % (len(wrong), wrong[:5]))
    # The corners themselves.
    for x, y in ((0, 0), (519, 0), (0, 275), (519, 275)):
        check(img.pixel(x, y) == WHITE, "corner %d, %d is %r, not see-through"
              % (x, y, img.pixel(x, y)))


def check_large_skin(s, img):
    skin = s.config.skin.large
    dynamic = [LARGE[k] for k in ("video", "seek", "open", "play", "snapshot")]
    wrong = 0
    for y in range(0, skin.height, 2):
        for x in range(0, skin.width, 2):
            if any(r[0] <= x < r[2] and r[1] <= y < r[3] for r in dynamic):
                continue
            if img.pixel(x, y) != skin.pixel(x, y):
                wrong += 1
    check(wrong == 0, "%d sampled pixels differ from res/skin-large.bmp" % wrong)


def wait_exit(s, timeout=10):
    def probe():
        return s.player.poll() is not None, "still running"

    wait_for("vidora to exit", probe, timeout)
    rc = s.player.returncode
    # Nothing of the program may be left: no thread stuck in exit, no file dialog.
    wait_for("no process left in vidora's group",
             lambda: (not group_alive(s.player.pid), "processes remain"), 5)
    return rc


# --- Scenarios ------------------------------------------------------------------------------------

SCENARIOS = {}


def scenario(name):
    def register(fn):
        SCENARIOS[name] = fn
        return fn

    return register


@scenario("start_without_file")
def start_without_file(s):
    """No argument: the normal skin on a black video area, the play face, nothing plays; a press
    on the play button with nothing to play changes nothing and does not crash."""
    s.start_player()
    img = s.window_shot()
    check_normal_skin(s, img)
    video = video_of(img)
    check(non_black(video) == 0, "video area is not black: " + describe_video(video))
    check(seek_fill(img) == 0, "progress bar shows a fill with nothing open")
    check(s.config.skin.button_cell(img, NORMAL["play"]) == CELL_PLAY,
          "play button shows cell %s, not the play face"
          % s.config.skin.button_cell(img, NORMAL["play"]))
    s.click_centre(NORMAL["play"])
    # The play button with nothing open: it keeps its play face (hovered now) and the window
    # keeps being served.
    wait_button(s, (CELL_PLAY_HOVER,))
    s.pointer_to_screen(4, 4)
    wait_button(s, (CELL_PLAY,))
    s.expect_alive()
    video = video_of(s.window_shot())
    check(non_black(video) == 0, "video area is not black: " + describe_video(video))

    # Hover highlights follow the pointer over the open and snapshot buttons.
    def wait_cells(want, what):
        def probe():
            img = s.window_shot()
            cells = (s.config.skin.button_cell(img, NORMAL["open"]),
                     s.config.skin.button_cell(img, NORMAL["snapshot"]))
            return cells == want, "open and snapshot buttons show cells %s" % (cells,)

        wait_for(what, probe, 10, interval=0.15)

    s.pointer_to(464, 64)
    wait_cells((CELL_OPEN_HOVER, CELL_SNAPSHOT), "the open button's highlight")
    s.pointer_to(464, 208)
    wait_cells((CELL_OPEN, CELL_SNAPSHOT_HOVER), "the snapshot button's highlight")
    s.pointer_to_screen(4, 4)
    wait_cells((CELL_OPEN, CELL_SNAPSHOT), "no highlight")


@scenario("start_with_file")
def start_with_file(s):
    """`vidora FILE` plays FILE: picture, time band, pause face, see-through corners, sound."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    img = s.window_shot()
    check_normal_skin(s, img)
    check(s.config.skin.button_cell(img, NORMAL["play"]) == CELL_PAUSE,
          "play button shows cell %s, not the pause face"
          % s.config.skin.button_cell(img, NORMAL["play"]))
    video = video_of(img)
    left, right = time_band(video)
    band = video.crop(left, 0, right, TIME_BAND_ROWS)
    check(text_pixels(band) > 40, "no date and time text in the band")
    # A 320 × 240 picture fits the 332 × 236 area at 316 × 236: black bars of 8 columns.
    check(non_black(video.crop(0, 0, 8, video.height)) == 0, "left bar is not black")
    check(non_black(video.crop(324, 0, 332, video.height)) == 0, "right bar is not black")
    wait_picture_moves(s)
    wait_sound(s, 0)
    grown = s.audio_size()
    wait_for("the sound file to grow", lambda: (s.audio_size() > grown + 8000,
                                                "%d bytes" % s.audio_size()), 10)
    # The progress bar fills from the bottom as the recording plays.
    def fill_probe():
        rows = seek_fill(s.window_shot())
        return rows >= 2, "%d rows" % rows

    wait_for("a progress fill", fill_probe, 15, interval=0.3)


@scenario("pause_resume")
def pause_resume(s):
    """The play button pauses (picture and sound stop, play face) and resumes."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    wait_sound(s, 0)
    s.click_centre(NORMAL["play"])
    log("pressed pause")
    wait_button(s, (CELL_PLAY_HOVER,))
    still = wait_picture_still(s)
    wait_silence(s, seconds=1.0)
    fill_paused = seek_fill(s.window_shot())
    # Paused for good: another second and a half brings no sound and no new picture.
    mark = s.audio_size()
    wait_for("the sound file to go on growing while paused",
             lambda: (s.audio_size() >= mark + AUDIO_BYTES_PER_SECOND,
                      "%d bytes since the pause" % (s.audio_size() - mark)), 10)
    peak = max((abs(v) for v in s.audio_samples(mark)), default=0)
    check(peak <= SILENCE_LEVEL, "sound went on while paused (peak %d)" % peak)
    img = s.window_shot()
    check(video_of(img).differing(still) == 0, "picture changed while paused")
    check(seek_fill(img) == fill_paused, "progress moved while paused")

    s.click_centre(NORMAL["play"])
    log("pressed play")
    wait_button(s, (CELL_PAUSE_HOVER,))
    wait_picture_moves(s)
    wait_sound(s, s.audio_size())
    s.pointer_to_screen(4, 4)
    wait_button(s, (CELL_PAUSE,))


@scenario("seek")
def seek(s):
    """A press at y = 139 on the normal skin's seek bar jumps to the middle of the recording."""
    # 120 s; the date turns from the 28th to the 29th 55 s in, so before the seek the band starts
    # with "2016.02.28 23:" and after it (60 s in) with "2016.02.29 00:".
    path = s.config.recordings(s.workdir).long(start="2016-02-28 23:59:05")
    s.start_player(path)
    wait_playing(s)
    img = s.window_shot()
    fill_before = seek_fill(img)
    date_before = date_glyphs(video_of(img))
    check(date_before is not None, "no time band before the seek")
    check(fill_before < 236 * 10 // 100, "progress already at %d rows" % fill_before)
    origin = s.origin
    s.click(428, 139)
    log("pressed the seek bar at 50 %")

    def probe():
        img = s.window_shot()
        fill = seek_fill(img)
        date = date_glyphs(video_of(img), date_before.width)
        date_changed = date is not None and date.differing(date_before) > 0
        ok = 236 * 46 // 100 <= fill <= 236 * 62 // 100 and date_changed
        return ok, "fill %d rows, date and hour %s" % (fill, "changed" if date_changed else "unchanged")

    # Played on from where it stood, the bar would need 40 s or more to get there (and a seek
    # to a quarter 20 s more).
    wait_for("the progress bar at about 50 % and the 29th in the time band", probe, 12, interval=0.25)
    wait_picture_moves(s)
    # The press also began a window drag (the bar lies in the drag area); with no movement the
    # window stays where it was.
    check(s.window_geometry()[:2] == origin, "the window moved: %r" % (s.window_geometry(),))


@scenario("skin_switch")
def skin_switch(s):
    """F2 switches to the large skin (548 × 420) and back (520 × 276); playback goes on."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    # A double-click outside the video does nothing, so the F2 after it switches the skin (in
    # fullscreen it would not).
    s.double_click(500, 16)
    # Enter does nothing: the F2 after it is served as if it had come alone.
    s.key("Return")
    s.key("F2")
    s.wait_for_window(LARGE["size"])
    wait_playing(s, layout=LARGE)
    img = s.window_shot(LARGE)
    check_large_skin(s, img)
    check(s.config.skin.button_cell(img, LARGE["play"], large=True) == CELL_PAUSE,
          "large skin's play button shows cell %s"
          % s.config.skin.button_cell(img, LARGE["play"], large=True))
    wait_picture_moves(s, layout=LARGE)
    s.key("F2")
    s.wait_for_window(NORMAL["size"])
    wait_playing(s)
    check_normal_skin(s, s.window_shot())


@scenario("fullscreen")
def fullscreen(s):
    """A double-click on the video fills the screen; Esc brings back the skin chosen before,
    from the normal and from the large skin. F2 does nothing in fullscreen."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)

    s.double_click(200, 120)
    s.wait_for_window(FULLSCREEN["size"], (0, 0))
    wait_playing(s, layout=FULLSCREEN)
    # The buttons stand in a row below the video, the play button in the middle.
    s.pointer_to_screen(4, SCREEN_H - 4)
    wait_button(s, (CELL_PAUSE,), layout=FULLSCREEN)
    open_cell = s.config.skin.button_cell(s.window_shot(FULLSCREEN), FULLSCREEN["open"])
    check(open_cell == CELL_OPEN, "fullscreen open button shows cell %s" % open_cell)
    # F2 is ignored in fullscreen, so Esc comes back to the normal skin.
    s.key("F2")
    s.key("Escape")
    s.wait_for_window(NORMAL["size"])
    wait_playing(s)
    s.expect_alive()

    s.key("F2")
    s.wait_for_window(LARGE["size"])
    s.double_click(268, 186)
    s.wait_for_window(FULLSCREEN["size"], (0, 0))
    wait_playing(s, layout=FULLSCREEN)
    s.key("Escape")
    s.wait_for_window(LARGE["size"])
    wait_playing(s, layout=LARGE)
    s.expect_alive()


def type_path(s, chooser, path):
    """Ctrl+L for the chooser's location field, the path, Return."""
    s.focus(chooser)
    s.xdotool("key", "--clearmodifiers", "ctrl+l", check_rc=False)
    time.sleep(0.2)
    s.xdotool("key", "ctrl+a", check_rc=False)
    s.xdotool("type", "--delay", "12", path, check_rc=False)
    time.sleep(0.2)
    s.xdotool("key", "Return", check_rc=False)


def save_dialog_path(s, title, path, timeout=20):
    """Types a path into zenity's file chooser, titled `title`, and confirms it: Ctrl+L for
    the location field, the path, Return. zenity can drop keys typed before it is ready, so
    this goes on until the dialog has gone."""
    windows = wait_for("the file dialog %r" % title,
                       lambda: (s.find_windows(title), "not shown"), timeout, interval=0.2)
    log("file dialog %r is up" % title)
    deadline = time.monotonic() + timeout
    attempt = 0
    while True:
        attempt += 1
        windows = s.find_windows(title)
        if not windows:
            return
        check(time.monotonic() < deadline, "the file dialog did not take the path")
        try:
            type_path(s, windows[-1], path)
        except Failure:
            if not s.find_windows(title):
                return
            raise
        gone_by = time.monotonic() + 3
        while time.monotonic() < gone_by and s.find_windows(title):
            time.sleep(0.1)
        if attempt > 1:
            log("file dialog needed %d attempts" % attempt)


def cancel_dialog(s, title, timeout=20):
    """Closes zenity's file chooser, titled `title`, with Esc."""
    wait_for("the file dialog %r" % title,
             lambda: (bool(s.find_windows(title)), "not shown"), timeout, interval=0.2)
    deadline = time.monotonic() + timeout
    while s.find_windows(title):
        check(time.monotonic() < deadline, "the file dialog did not close on Esc")
        try:
            s.focus(s.find_windows(title)[-1])
        except Failure:
            continue
        s.xdotool("key", "Escape", check_rc=False)
        gone_by = time.monotonic() + 3
        while time.monotonic() < gone_by and s.find_windows(title):
            time.sleep(0.1)


@scenario("snapshot")
def snapshot(s):
    """The snapshot button saves the video area as a 332 × 236 24-bit BMP through the real
    save dialog; a name without extension gets ".bmp"."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    # Paused, so that the saved picture can be compared with the screen.
    s.click_centre(NORMAL["play"])
    wait_button(s, (CELL_PLAY_HOVER,))
    still = wait_picture_still(s)

    target = os.path.join(s.workdir, "shots", "picture")
    os.makedirs(os.path.dirname(target))
    s.click_centre(NORMAL["snapshot"])
    save_dialog_path(s, "保存图片对话框", target)
    saved = target + ".bmp"
    wait_for("%s to be written" % saved,
             lambda: (os.path.exists(saved) and os.path.getsize(saved) == 235110,
                      os.path.getsize(saved) if os.path.exists(saved) else "absent"), 10)
    check(not os.path.exists(target), "a file without the extension was written as well")
    with open(saved, "rb") as f:
        header = f.read(54)
    fields = struct.unpack("<2sIHHIIiiHHIIiiII", header)
    expected = (b"BM", 235110, 0, 0, 54, 40, 332, 236, 1, 24, 0, 0, 0, 0, 0, 0)
    check(fields == expected, "BMP header %r, expected %r" % (fields, expected))
    picture = Image.from_bmp(saved)
    differ = picture.differing(still)
    check(differ == 0, "the snapshot differs from the screen in %d pixels" % differ)
    check(non_black(picture) > 20000, "the snapshot is (nearly) black")
    s.expect_alive()
    # The window is served again after the dialog: the button still answers.
    s.click_centre(NORMAL["play"])
    wait_button(s, (CELL_PAUSE_HOVER,))
    wait_picture_moves(s)


@scenario("open_file")
def open_file(s):
    """The open button's dialog starts the chosen recording: a 16:9 one replaces the 4:3
    picture, with black bands above and below."""
    first = s.config.recordings(s.workdir).long()
    second = s.config.recordings(s.workdir).existing("h264_1280x720_b.krm")
    s.start_player(first)
    video = wait_playing(s)
    # 4:3 in 332 × 236: the picture reaches the bottom row.
    check(non_black(video.crop(8, 220, 324, 236)) > 1000, "4:3 picture does not fill the height")
    # A cancelled dialog changes nothing: the same recording plays on.
    s.click_centre(NORMAL["open"])
    cancel_dialog(s, "选择文件对话框")
    wait_picture_moves(s)
    video = video_of(s.window_shot())
    check(non_black(video.crop(8, 220, 324, 236)) > 1000,
          "the 4:3 picture is gone after a cancelled dialog")
    check(s.config.skin.button_cell(s.window_shot(), NORMAL["play"]) in (CELL_PAUSE,
                                                                         CELL_PAUSE_HOVER),
          "not playing after a cancelled dialog")

    s.click_centre(NORMAL["open"])
    save_dialog_path(s, "选择文件对话框", second)

    def probe():
        s.expect_alive()
        video = video_of(s.window_shot())
        # 1280 × 720 fits at 332 × 188: 24 black rows below the picture, picture across the
        # whole width in the middle.
        bottom = non_black(video.crop(0, 214, 332, 236))
        sides = non_black(video.crop(0, 60, 8, 180)) + non_black(video.crop(324, 60, 332, 180))
        band = time_band(video)
        ok = bottom == 0 and sides > 1000 and band is not None
        return ok, "bottom rows %d non-black, side columns %d non-black, band %s" % (
            bottom, sides, band)

    wait_for("the 16:9 recording's picture", probe, 15, interval=0.2)


def message_in_video(s, what):
    """Waits for white text in the middle of an otherwise black video area."""

    def probe():
        s.expect_alive()
        video = video_of(s.window_shot())
        middle = video.crop(40, 88, 292, 148)
        white = middle.count_colour(WHITE)
        elsewhere = non_black(video) - non_black(middle)
        return white > 30 and elsewhere == 0, "%d white pixels in the middle, %d non-black " \
                                               "pixels elsewhere" % (white, elsewhere)

    wait_for(what, probe, 15, interval=0.2)
    return video_of(s.window_shot()).crop(40, 88, 292, 148)


@scenario("invalid_header")
def invalid_header(s):
    """A recording whose header tag is "H264" in capitals is refused with white text in the
    middle of the black video area; nothing plays."""
    path = s.config.recordings(s.workdir).invalid_tag()
    s.start_player(path)
    message_in_video(s, "the invalid-file text")
    img = s.window_shot()
    check(s.config.skin.button_cell(img, NORMAL["play"]) == CELL_PLAY,
          "play button shows cell %s" % s.config.skin.button_cell(img, NORMAL["play"]))
    check(seek_fill(img) == 0, "progress bar shows a fill")
    check(s.audio_size() == 0 or max(abs(v) for v in s.audio_samples(0)) <= SILENCE_LEVEL,
          "sound was played")


@scenario("cannot_open")
def cannot_open(s):
    """A missing file and a folder named on the command line each show the cannot-open text
    (not the invalid-file text), and standard error says why in one line."""
    texts = []
    for name, path in (("missing", os.path.join(s.workdir, "gone.krm")),
                       ("folder", s.workdir)):
        s.start_player(path)
        texts.append(message_in_video(s, "the cannot-open text for the %s" % name))
        s.stop_player()
        s.player = None
        with open(s.player_log, "rb") as f:
            lines = [l for l in f.read().decode("utf-8", "replace").splitlines()
                     if l.startswith("vidora: cannot open")]
        check(len(lines) == 1 and path in lines[0], "standard error said %r" % lines)
        os.remove(s.player_log)
    check(texts[0].differing(texts[1]) == 0, "the two texts differ")
    s.start_player(s.config.recordings(s.workdir).invalid_tag())
    invalid = message_in_video(s, "the invalid-file text")
    check(invalid.differing(texts[0]) > 0, "the cannot-open text is the invalid-file text")


@scenario("escape_closes")
def escape_closes(s):
    """Esc closes the playing program, with exit code 0 and nothing left behind."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    s.key("Escape")
    rc = wait_exit(s, timeout=10)
    check(rc == 0, "exit code %d" % rc)


@scenario("alt_f4")
def alt_f4(s):
    """Alt+F4 acts as Esc: in fullscreen it brings the skin back, in the skin it closes the
    program with exit code 0."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    s.double_click(200, 120)
    s.wait_for_window(FULLSCREEN["size"], (0, 0))
    s.key("alt+F4")
    s.wait_for_window(NORMAL["size"])
    wait_playing(s)
    s.key("alt+F4")
    rc = wait_exit(s, timeout=10)
    check(rc == 0, "exit code %d" % rc)


@scenario("close_area")
def close_area(s):
    """A press on the grille left of the video closes the program with exit code 0."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    s.click(33, 139)
    rc = wait_exit(s, timeout=10)
    check(rc == 0, "exit code %d" % rc)


@scenario("seek_fullscreen")
def seek_fullscreen(s):
    """In fullscreen the seek bar runs left to right: a press in its middle jumps to 50 %; the
    white fill leaves 3 rows of grey above and below."""
    path = s.config.recordings(s.workdir).long(start="2016-02-28 23:59:05")
    s.start_player(path)
    wait_playing(s)
    s.double_click(200, 120)
    s.wait_for_window(FULLSCREEN["size"], (0, 0))
    wait_playing(s, layout=FULLSCREEN)
    img = s.window_shot(FULLSCREEN)
    columns, _ = fullscreen_fill(img)
    bar = FULLSCREEN["seek"][2] - FULLSCREEN["seek"][0]
    check(columns < bar * 10 // 100, "progress already at %d columns" % columns)
    date_before = date_glyphs(video_of(img, FULLSCREEN))
    check(date_before is not None, "no time band before the seek")
    s.click(SCREEN_W // 2, SCREEN_H - 100)
    log("pressed the fullscreen seek bar at 50 %")

    def probe():
        img = s.window_shot(FULLSCREEN)
        columns, rows = fullscreen_fill(img)
        date = date_glyphs(video_of(img, FULLSCREEN), date_before.width)
        date_changed = date is not None and date.differing(date_before) > 0
        ok = bar * 46 // 100 <= columns <= bar * 62 // 100 and date_changed
        return ok, "fill %d columns, rows %s, date and hour %s" % (
            columns, rows, "changed" if date_changed else "unchanged")

    wait_for("the progress bar at about 50 % and the 29th in the time band", probe, 12,
             interval=0.25)
    _, rows = fullscreen_fill(s.window_shot(FULLSCREEN))
    top, bottom = FULLSCREEN["seek"][1], FULLSCREEN["seek"][3]
    check(rows == list(range(top + 3, bottom - 3)),
          "fill rows %s, expected %d to %d" % (rows, top + 3, bottom - 4))


@scenario("snapshot_large")
def snapshot_large(s):
    """In the large skin a snapshot is 512 × 324 (497,718 bytes); a name that ends in .bmp is
    kept as it is."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    s.key("F2")
    s.wait_for_window(LARGE["size"])
    wait_playing(s, layout=LARGE)
    s.click_centre(LARGE["play"])
    wait_button(s, (CELL_PLAY_HOVER,), layout=LARGE, large=True)
    still = wait_picture_still(s, layout=LARGE)
    saved = os.path.join(s.workdir, "large.bmp")
    s.click_centre(LARGE["snapshot"])
    save_dialog_path(s, "保存图片对话框", saved)
    wait_for("%s to be written" % saved,
             lambda: (os.path.exists(saved) and os.path.getsize(saved) == 497718,
                      os.path.getsize(saved) if os.path.exists(saved) else "absent"), 10)
    check(not os.path.exists(saved + ".bmp"), "the extension was appended to a .bmp name")
    picture = Image.from_bmp(saved)
    check((picture.width, picture.height) == (512, 324),
          "snapshot is %d × %d" % (picture.width, picture.height))
    differ = picture.differing(still)
    check(differ == 0, "the snapshot differs from the screen in %d pixels" % differ)


@scenario("end_and_replay")
def end_and_replay(s):
    """At the end of a recording the last picture stays, the bar is full and the button shows
    the play face; a press on it plays the recording again from the start."""
    path = s.config.recordings(s.workdir).existing("h264_320x240.krm")  # 4 s
    s.start_player(path)
    wait_playing(s)
    wait_button(s, (CELL_PLAY,), timeout=30)
    last = wait_picture_still(s)
    check(non_black(picture_rows(last)) > last.width * last.height // 2,
          "the last picture did not stay")
    fill = seek_fill(s.window_shot())
    check(fill >= 236 * 95 // 100, "progress bar at %d rows at the end" % fill)
    s.click_centre(NORMAL["play"])
    wait_button(s, (CELL_PAUSE_HOVER,))

    def probe():
        fill = seek_fill(s.window_shot())
        return fill < 236 * 80 // 100, "fill %d rows" % fill

    wait_for("the progress bar to start again", probe, 10, interval=0.2)
    wait_picture_moves(s)
    wait_playing(s)


def drag_window(s, wx, wy, steps):
    """Presses at window pixel (wx, wy), moves the pointer by `steps`, waits until the window
    has followed and releases."""
    x0, y0 = s.origin
    s.pointer_to(wx, wy)
    s.xdotool("mousedown", "1")
    try:
        time.sleep(0.05)
        for dx, dy in steps:
            s.xdotool("mousemove_relative", "--", dx, dy)
            time.sleep(0.03)
        want = (x0 + sum(d[0] for d in steps), y0 + sum(d[1] for d in steps))
        wait_for("the window to follow the pointer to %r" % (want,),
                 lambda: (tuple(s.window_geometry()[:2]) == want, s.window_geometry()), 10)
    finally:
        s.xdotool("mouseup", "1")
    s.origin = want
    return want


@scenario("drag")
def drag(s):
    """A press on the frame and a move drag the window; it stays where it was released."""
    path = s.config.recordings(s.workdir).long()
    s.start_player(path)
    wait_playing(s)
    want = drag_window(s, 60, 60, [(10, 5)] * 10 + [(-20, 12)] * 3)
    time.sleep(0.04)
    # After the release the pointer moves on alone.
    s.pointer_to_screen(4, 4)
    wait_for("the window to stay", lambda: (s.window_geometry()[:2] == want,
                                            s.window_geometry()), 1, interval=0.1)
    # Still there after some ticks, and the picture is drawn at its new place.
    wait_playing(s)
    check(tuple(s.window_geometry()[:2]) == want, "the window moved after the release: %r"
          % (s.window_geometry(),))
    check_normal_skin(s, s.window_shot())

    # The seek bar lies in the drag area: a press there seeks to 50 % and drags the window.
    check(seek_fill(s.window_shot()) < 236 * 20 // 100, "progress already high")
    want = drag_window(s, 428, 139, [(-5, -10)] * 6)

    def probe():
        fill = seek_fill(s.window_shot())
        return 236 * 46 // 100 <= fill <= 236 * 62 // 100, "fill %d rows" % fill

    wait_for("the progress bar at about 50 %", probe, 12, interval=0.25)
    check(tuple(s.window_geometry()[:2]) == want, "the window moved after the release: %r"
          % (s.window_geometry(),))


# --- Under a window manager, and when things go wrong ------------------------------------------


def wait_kept_above(s, want=True):
    player = s.player_window()
    wait_for("the player %s always on top" % ("kept" if want else "no longer"),
             lambda: (s.kept_above(player) == want,
                      s.xprop("-id", player, "_NET_WM_STATE").strip()), 10)


def wait_dialog_above(s, window, owner, below):
    """Waits until `window` stands above each window of `below` in the window manager's stacking
    order and is transient for `owner`, while the player is not kept on top."""
    player = s.player_window()

    def probe():
        order = s.stacking()
        ok = (all(w in order for w in below + [window])
              and all(order.index(window) > order.index(w) for w in below)
              and s.transient_for(window) == owner and not s.kept_above(player))
        return ok, "stacking %s, %d transient for %s, player kept above: %s" % (
            order, window, s.transient_for(window), s.kept_above(player))

    wait_for("window %d above %s" % (window, below), probe, 10)


def wait_covers(s, window, own):
    """Waits until the screen shows `window`, not the player's own pixels `own`, where the two
    overlap."""
    x, y, w, h = s.geometry(window)
    left, top = max(x, s.origin[0]), max(y, s.origin[1])
    right = min(x + w, s.origin[0] + own.width)
    bottom = min(y + h, s.origin[1] + own.height)
    check(left < right and top < bottom, "window %d does not overlap the player" % window)
    mine = own.crop(left - s.origin[0], top - s.origin[1], right - s.origin[0],
                    bottom - s.origin[1])

    def probe():
        same = mine.width * mine.height - s.screenshot().crop(left, top, right,
                                                             bottom).differing(mine)
        return same < mine.width * mine.height // 10, "%d of %d pixels are the player's" % (
            same, mine.width * mine.height)

    wait_for("window %d to show over the player" % window, probe, 10, interval=0.2)


def chooser_box(s, chooser, path, timeout=20):
    """Types `path` into the chooser until a message box over it appears; returns the box."""
    deadline = time.monotonic() + timeout
    while True:
        check(chooser in s.stacking(), "the chooser closed without a message box for %s" % path)
        type_path(s, chooser, path)
        shown_by = time.monotonic() + 3
        while time.monotonic() < shown_by:
            boxes = [w for w in s.stacking() if s.transient_for(w) == chooser]
            if boxes:
                log("message box %d over the chooser" % boxes[0])
                return boxes[0]
            time.sleep(0.1)
        check(time.monotonic() < deadline, "no message box over the chooser for %s" % path)


@scenario("wm_dialogs_above")
def wm_dialogs_above(s):
    """Under a window manager the always-on-top player lets its file dialogs, children of its
    window, and GTK's message boxes over them stand above it, and is on top again after them.
    A name in a missing folder is refused; an existing file is replaced after a question."""
    s.start_player(s.config.recordings(s.workdir).long())
    wait_playing(s)
    wait_kept_above(s)
    player = s.player_window()
    # Paused, so that the player's own pixels stay as they are.
    s.click_centre(NORMAL["play"])
    wait_button(s, (CELL_PLAY_HOVER,))
    wait_picture_still(s)
    own = s.window_shot()

    s.click_centre(NORMAL["open"])
    chooser = wait_for("the open dialog", lambda: s.find_windows("选择文件对话框"), 20)[-1]
    wait_dialog_above(s, chooser, player, [player])
    wait_covers(s, chooser, own)
    cancel_dialog(s, "选择文件对话框")
    wait_kept_above(s)

    s.click_centre(NORMAL["snapshot"])
    chooser = wait_for("the save dialog", lambda: s.find_windows("保存图片对话框"), 20)[-1]
    wait_dialog_above(s, chooser, player, [player])
    wait_covers(s, chooser, own)
    box = chooser_box(s, chooser, os.path.join(s.workdir, "missing", "picture.bmp"))
    wait_dialog_above(s, box, chooser, [player, chooser])
    s.focus(box)
    s.xdotool("key", "Return")
    wait_for("the error box to close",
             lambda: (not any(s.transient_for(w) == chooser for w in s.stacking()),
                      s.stacking()), 10)
    check(s.find_windows("保存图片对话框") == [chooser], "the save dialog went with the box")

    existing = os.path.join(s.workdir, "old.bmp")
    with open(existing, "wb") as f:
        f.write(b"an older picture")
    box = chooser_box(s, chooser, existing)
    wait_dialog_above(s, box, chooser, [player, chooser])
    s.focus(box)
    s.xdotool("key", "Return")  # Replace
    wait_for("%s to be replaced" % existing,
             lambda: (os.path.getsize(existing) == 235110, os.path.getsize(existing)), 15)
    with open(existing, "rb") as f:
        check(f.read(2) == b"BM", "the replaced file is not a BMP")
    wait_for("the save dialog to close",
             lambda: (not s.find_windows("保存图片对话框"), "still shown"), 10)
    wait_kept_above(s)
    s.click_centre(NORMAL["play"])
    wait_button(s, (CELL_PAUSE_HOVER,))
    wait_picture_moves(s)


@scenario("wm_drag_fullscreen")
def wm_drag_fullscreen(s):
    """Under a window manager the borderless window is dragged as without one, goes fullscreen
    over the whole screen and back, and stays above a window opened after it."""
    s.start_player(s.config.recordings(s.workdir).long())
    wait_playing(s)
    wait_kept_above(s)
    want = drag_window(s, 60, 60, [(10, 5)] * 10 + [(-20, 12)] * 3)
    s.pointer_to_screen(4, 4)
    wait_playing(s)
    check(tuple(s.window_geometry()[:2]) == want, "the window moved after the release: %r"
          % (s.window_geometry(),))
    check_normal_skin(s, s.window_shot())
    wait_kept_above(s)

    s.double_click(200, 120)
    s.wait_for_window(FULLSCREEN["size"], (0, 0))
    wait_playing(s, layout=FULLSCREEN)
    wait_kept_above(s)
    s.key("Escape")
    s.wait_for_window(NORMAL["size"])
    wait_playing(s)
    wait_kept_above(s)

    # A window opened later, over the player, stays below it.
    other = start_in_own_group(
        ["xmessage", "-geometry", "+%d+%d" % (s.origin[0] + 20, s.origin[1] + 20),
         "a window over the player"],
        env=s.xserver.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    try:
        player = s.player_window()

        def probe():
            order = s.stacking()
            others = [w for w in order if w != player]
            return (len(others) == 1 and order[-1] == player,
                    "stacking %s, player %d" % (order, player))

        wait_for("the new window below the player", probe, 10)
        check_normal_skin(s, s.window_shot())
    finally:
        stop_group(other)


def window_destroyed(s):
    """A window destroyed by another client ends the program with exit code 0, without X
    error messages."""
    s.start_player(s.config.recordings(s.workdir).long())
    wait_playing(s)
    s.xdotool("windowclose", s.player_window())
    rc = wait_exit(s, timeout=10)
    check(rc == 0, "exit code %d" % rc)
    with open(s.player_log, "rb") as f:
        output = f.read().decode("utf-8", "replace")
    check("X Error" not in output and "BadWindow" not in output,
          "the player wrote: %s" % output[-1000:])


scenario("window_destroyed")(window_destroyed)
scenario("wm_window_destroyed")(window_destroyed)


@scenario("snapshot_fails")
def snapshot_fails(s):
    """A snapshot that cannot be written (a file size limit below its size) leaves no file and
    says 保存失败 over the picture for a few seconds; the player plays on."""
    # The sound goes to /dev/null, so that the limit leaves it alone.
    s.start_player(s.config.recordings(s.workdir).long(), wrapper=("prlimit", "--fsize=100000"),
                   env={"SDL_DISKAUDIOFILE": os.devnull})
    wait_playing(s)
    s.click_centre(NORMAL["play"])
    wait_button(s, (CELL_PLAY_HOVER,))
    still = wait_picture_still(s)
    folder = os.path.join(s.workdir, "shots")
    os.makedirs(folder)
    s.click_centre(NORMAL["snapshot"])
    save_dialog_path(s, "保存图片对话框", os.path.join(folder, "picture"))

    def probe():
        s.expect_alive()
        band = video_of(s.window_shot()).crop(0, 104, 332, 132)
        white = [i % band.width for i, p in enumerate(band.pixels()) if p == WHITE]
        dark = band.count_colour(TIME_BAND)
        middle = (min(white) + max(white)) / 2 if white else None
        ok = dark > band.width * band.height // 2 and len(white) > 30 and abs(middle - 166) <= 4
        return ok, "%d band pixels, %d white ones centred at %s" % (dark, len(white), middle)

    wait_for("the failure notice across the video area", probe, 10, interval=0.2)
    check(os.listdir(folder) == [], "left in the folder: %s" % os.listdir(folder))
    wait_for("the notice to go", lambda: (video_of(s.window_shot()).differing(still) == 0,
                                          "still shown"), 10, interval=0.25)
    check(os.listdir(folder) == [], "left in the folder: %s" % os.listdir(folder))
    s.click_centre(NORMAL["play"])
    wait_button(s, (CELL_PAUSE_HOVER,))
    wait_picture_moves(s)


# --- Smoothness: every picture on screen, the sound whole and with its picture --------------------

LAYOUTS = {"normal": NORMAL, "large": LARGE, "fullscreen": FULLSCREEN}


def marked_recording(s, size, seconds):
    return playback_watch.make_recording(s.workdir, s.config.krm_mux, s.config.amrnb_encode,
                                         size, seconds)


def watch_to_end(s, size, seconds, mode):
    recording = marked_recording(s, size, seconds)
    result = playback_watch.watch_playback(s, recording, mode, LAYOUTS, seconds + 30)
    log("seen %s of %s pictures (%s a second, %s window updates a second); %s ms of silence "
        "inserted; beeps %s ms after their pictures (median %s)"
        % (result.get("distinct_pictures_seen"), result.get("pictures_watched"),
           result.get("pictures_per_second"), result.get("updates_per_second"),
           result["silence_inserted_ms"], [o for _, o in result["beep_offsets_ms"]],
           result["beep_offset_median_ms"]))
    return recording, result


def pictures_reach_screen(size, mode):
    def run(s):
        """At least 95 % of a 25 fps recording's pictures reach the screen."""
        _, result = watch_to_end(s, size, 12, mode)
        share = result.get("share_seen", 0)
        check(share >= 0.95, "%s of %s pictures reached the screen (%.1f %%)"
              % (result.get("distinct_pictures_seen"), result.get("pictures_watched"),
                 share * 100))
    return run


for _size in ((320, 240), (1280, 720)):
    for _mode in LAYOUTS:
        scenario("pictures_%dx%d_%s" % (_size + (_mode,)))(pictures_reach_screen(_size, _mode))


@scenario("sound_whole_and_in_sync")
def sound_whole_and_in_sync(s):
    """Over 32 s every second of the sound is heard, in order, with at most 50 ms of silence
    put in after the first second, and each beep is heard within 45 ms of its picture."""
    recording, result = watch_to_end(s, (320, 240), 32, "normal")
    problems = []
    if not result["sound_pieces_in_order"]:
        problems.append("seconds heard %s, expected %s" % (result["sound_pieces_heard"],
                                                           recording.pieces))
    if result["silence_inserted_ms"] > 50:
        problems.append("%.0f ms of silence put in" % result["silence_inserted_ms"])
    offsets = result["beep_offsets_ms"]
    if len(offsets) < recording.seconds // 2 - 2:
        problems.append("only %d of %d beeps lined up with a picture"
                        % (len(offsets), recording.seconds // 2))
    late = [(n, o) for n, o in offsets if abs(o) > 45]
    if late:
        problems.append("beeps off their pictures (picture, ms): %s" % late)
    check(not problems, "; ".join(problems))


@scenario("seek_sound")
def seek_sound(s):
    """After a seek the first sound heard is from the new position: once the new pictures show,
    nothing from before the seek is heard, and the sound comes back within a second."""
    recording = marked_recording(s, (320, 240), 40)
    sound = playback_watch.SoundWatcher(s.audio_path)
    sound.start()
    screen = None
    try:
        s.start_player(recording.path)
        screen = playback_watch.ScreenWatcher(s.xserver.display, s.player_window(),
                                              NORMAL["video"], recording.size)
        screen.start()
        wait_for("picture 75", lambda: (screen.pictures and screen.pictures[-1][1] >= 75,
                                        screen.pictures[-1:]), 20)
        before = screen.pictures[-1][1] // playback_watch.FPS
        s.click(428, 139)
        log("pressed the seek bar at 50 %")

        def jumped():
            later = [p for p in screen.pictures if p[1] >= recording.pictures // 3]
            return bool(later), later[:1]

        t_jump, target = wait_for("a picture from the middle", jumped, 12)[0]
        target //= playback_watch.FPS

        found = {}

        def heard_after_jump():
            # What is handed over within 45 ms of the jump may still be from before it.
            start = sound.sample_at(t_jump + 0.045)
            heard = [] if start is None else playback_watch.piece_windows(sound.samples(), start)
            found["heard"] = heard
            return len(heard) >= 12, "seconds %s" % [p for _, p in heard][:12]

        wait_for("a second of sound after the jump", heard_after_jump, 15, interval=0.25)
        heard = found["heard"]
    finally:
        if screen is not None:
            screen.stop()
        sound.stop()
    first, piece = heard[0]
    delay = sound.time_of(first) - t_jump
    shown = playback_watch.picture_at(screen.pictures, t_jump + delay) // playback_watch.FPS
    log("second %d to %d; sound %.0f ms after the jump, seconds heard: %s"
        % (before, target, delay * 1000, [p for _, p in heard][:20]))
    old = [(round((sound.time_of(n) - t_jump) * 1000), p) for n, p in heard if p < target - 1]
    check(not old, "sound from before the seek heard after the jump (ms after it, second): %s"
          % old[:10])
    check(abs(piece - shown) <= 1, "the first sound after the jump is from second %d, the "
                                   "picture then from second %d" % (piece, shown))
    check(delay <= 1.0, "the sound came back %.1f s after the jump" % delay)


# --- Driver -----------------------------------------------------------------------------------------


class Config:
    def __init__(self, args):
        self.build_dir = os.path.abspath(args.build_dir)
        self.source_dir = os.path.abspath(args.source_dir)
        self.vidora = os.path.abspath(args.vidora or os.path.join(self.build_dir, "vidora"))
        self.krm_mux = os.path.join(self.build_dir, "tools", "krm-mux")
        self.amrnb_encode = os.path.join(self.build_dir, "tools", "amrnb-encode")
        self.keep = args.keep
        self.artifacts = os.path.abspath(args.artifacts or os.path.join(self.build_dir,
                                                                        "e2e-artifacts"))
        self.skin = Skin(self.source_dir)

    def recordings(self, workdir):
        return Recordings(self, workdir)


def run_scenario(config, name, limit):
    def on_alarm(signum, frame):
        raise Timeout("scenario %s ran longer than %d s" % (name, limit))

    def on_term(signum, frame):
        raise Timeout("terminated")

    signal.signal(signal.SIGALRM, on_alarm)
    signal.signal(signal.SIGTERM, on_term)
    signal.alarm(limit)
    log("=== %s" % name)
    try:
        with Session(config, name) as s:
            SCENARIOS[name](s)
        log("PASS %s" % name)
        return True
    except (Failure, Timeout) as e:
        log("FAIL %s: %s" % (name, e))
        return False
    except Exception:
        traceback.print_exc()
        log("FAIL %s: error in the test" % name)
        return False
    finally:
        signal.alarm(0)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(here, "..", "..", "build"))
    parser.add_argument("--source-dir", default=os.path.join(here, "..", ".."))
    parser.add_argument("--vidora")
    parser.add_argument("--artifacts", help="where failure screenshots go")
    parser.add_argument("--keep", action="store_true", help="keep each scenario's folder")
    parser.add_argument("--limit", type=int, default=100, help="seconds per scenario")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("scenarios", nargs="*")
    args = parser.parse_args()
    if args.list:
        print("\n".join(SCENARIOS))
        return 0
    names = args.scenarios or list(SCENARIOS)
    unknown = [n for n in names if n not in SCENARIOS]
    if unknown:
        print("unknown scenario(s): %s" % ", ".join(unknown), file=sys.stderr)
        return 2
    wm = ("openbox", "xprop") if any(n.startswith("wm_") for n in names) else ()
    for tool in ("Xvfb", "xdotool", "import", "zenity") + wm:
        if shutil.which(tool) is None:
            print("%s is not installed" % tool, file=sys.stderr)
            return 2
    config = Config(args)
    os.makedirs(config.artifacts, exist_ok=True)
    failed = [n for n in names if not run_scenario(config, n, args.limit)]
    passed = len(names) - len(failed)
    print("%d passed, %d failed" % (passed, len(failed)))
    if failed:
        print("failed: %s" % ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
