#!/usr/bin/python3
"""End-to-end tests: the real vidora on an Xvfb of its own (white root, so that the normal skin's
see-through corners show white), driven with xdotool, its window read back from screenshots, its
sound from SDL's disk audio file (8000 Hz, 16-bit, mono). Every wait polls until a deadline.

usage: run_e2e.py [--build-dir DIR] [--source-dir DIR] [--vidora EXE] [--keep] [SCENARIO...]
       run_e2e.py --list
"""
import argparse, contextlib, ctypes, os, random, shutil, signal, struct, subprocess, sys, tempfile
import statistics, time, traceback
from types import SimpleNamespace
# The watch that times pictures and sound on the screen is the benchmark's too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import playback_watch as watch  # noqa: E402

W, H = 1280, 800
# Window layouts as skin/skin_layout.cpp lays them out, in window pixels: rectangles (left, top,
# right, bottom), the 48 × 48 buttons by their top-left corner.
NORMAL = dict(name="normal", size=(520, 276), video=(88, 20, 420, 256), seek=(424, 21, 432, 257),
              open=(440, 40), play=(440, 112), snapshot=(440, 184))
LARGE = dict(name="large", size=(548, 420), video=(12, 24, 524, 348), seek=(8, 353, 538, 356),
             open=(12, 364), play=(72, 364), snapshot=(132, 364))
FULLSCREEN = dict(name="fullscreen", size=(W, H), video=(0, 0, W, H - 128),
                  seek=(W // 4, H - 106, W * 3 // 4, H - 94), open=(W // 2 - 104, H - 72),
                  play=(W // 2 - 24, H - 72))
LAYOUTS = {layout["name"]: layout for layout in (NORMAL, LARGE, FULLSCREEN)}
FACES = "play+ play pause+ pause open+ open snapshot+ snapshot".split()  # strip cells; +: hovered
BAND, BAND_ROWS = (20, 20, 20), 19  # the date and time band across the top of the picture
WHITE, SECOND, SILENCE, SOUND = (255, 255, 255), 16000, 16, 1000  # sound: bytes, sample peaks
SAVE, OPEN = "保存图片对话框", "选择文件对话框"  # the file dialogs' titles
LIBC, SCENARIOS = ctypes.CDLL(None), {}

class Failure(Exception):
    pass

class Timeout(Exception):
    pass

def check(ok, message):
    if not ok:
        raise Failure(message)

def until(what, probe, timeout=10, interval=0.2):
    """Calls probe() -> (ok, detail) until ok and returns the detail; fails after `timeout` s."""
    end = time.monotonic() + timeout
    while not (result := probe())[0]:
        check(time.monotonic() < end, "waited %g s for %s (last: %s)" % (timeout, what, result[1]))
        time.sleep(interval)
    return result[1]

def retry(what, action, probe, timeout=20):
    """Does `action` until `probe` comes true within 3 s of it (zenity drops early keys)."""
    end = time.monotonic() + timeout
    while True:
        with contextlib.suppress(Failure):
            action()
        with contextlib.suppress(Failure):
            return until(what, probe, 3, 0.1)
        check(time.monotonic() < end, "no " + what)

class Image:
    """RGB, 8 bits a channel, rows top-down."""
    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, bytes(data)
    @staticmethod
    def bmp(path):
        with open(path, "rb") as f:
            blob = f.read()
        (offset,), (w, h), (bits,) = (struct.unpack_from(fmt, blob, at) for fmt, at in
                                      (("<I", 10), ("<ii", 18), ("<H", 28)))
        check(blob[:2] == b"BM" and bits == 24 and h > 0, "%s: not a bottom-up 24-bit BMP" % path)
        starts = (offset + y * ((w * 3 + 3) & ~3) for y in range(h))
        rows = [bytearray(blob[start:start + w * 3]) for start in starts]
        for row in rows:
            row[0::3], row[2::3] = row[2::3], row[0::3]
        return Image(w, h, b"".join(reversed(rows)))
    def pixel(self, x, y):
        return tuple(self.data[(y * self.width + x) * 3:(y * self.width + x) * 3 + 3])
    def crop(self, left, top, right, bottom):
        l, t, r, b = max(left, 0), max(top, 0), min(right, self.width), min(bottom, self.height)
        rows = (self.data[(y * self.width + l) * 3:(y * self.width + r) * 3] for y in range(t, b))
        return Image(r - l, b - t, b"".join(rows))
    def pixels(self):
        return zip(self.data[0::3], self.data[1::3], self.data[2::3])
    def count(self, predicate):
        return sum(1 for p in self.pixels() if predicate(p))
    def differing(self, other, tol=0):
        """How many pixels differ by more than `tol` in some channel."""
        check((self.width, self.height) == (other.width, other.height), "sizes differ")
        return 0 if self.data == other.data else sum(
            1 for (a, b, c), (d, e, f) in zip(self.pixels(), other.pixels())
            if abs(a - d) > tol or abs(b - e) > tol or abs(c - f) > tol)

def non_black(img):
    return img.count(lambda p: max(p) > 8)

def picture(video):
    return video.crop(0, BAND_ROWS + 1, video.width, video.height)

def peak(samples):
    return max(map(abs, samples), default=0)

def centre(rect):
    return (rect[0] + rect[2]) // 2, (rect[1] + rect[3]) // 2

def button(layout, name):
    return layout[name] + (layout[name][0] + 48, layout[name][1] + 48)

def band(video):
    """(left, right) of the date and time band in the video area's top rows, or None."""
    xs = [x for x in range(video.width) if video.pixel(x, 1) == BAND]
    if xs and xs[-1] - xs[0] >= 99 and xs[0] < video.width // 2 <= xs[-1]:
        return xs[0], xs[-1] + 1

def date(video, width=None):
    """The date and hour at the band's start: `width` columns (62 % of the band by default), so
    that wider or narrower seconds' digits do not move them."""
    b = band(video)
    return b and video.crop(b[0], 0, b[0] + (width or (b[1] - b[0]) * 62 // 100), BAND_ROWS)

def fill(img, layout):
    """How far the seek bar's white fill reaches along its middle (up from the bottom of the
    normal skin's upright bar, to the right along a level one), and the bar's length."""
    l, t, r, b = layout["seek"]
    line = ([img.pixel(x, (t + b) // 2) for x in range(l, r)] if r - l > b - t else
            [img.pixel((l + r) // 2, y) for y in range(b - 1, t - 1, -1)])
    return next((i for i, p in enumerate(line) if p != WHITE), len(line)), len(line)

def notice(video):
    """Whether a notice shows across the middle of the video area, white text centred on a dark
    band: (shown, what is there)."""
    b = video.crop(0, video.height // 2 - 14, video.width, video.height // 2 + 14)
    white = [i % b.width for i, p in enumerate(b.pixels()) if p == WHITE] or [0]
    dark, middle = b.count(lambda p: p == BAND), (min(white) + max(white)) / 2
    return (dark > b.width * b.height // 2 and len(white) > 10 and
            abs(middle - b.width / 2) <= b.width / 20, "%d band pixels, %d white centred at %s" % (
                dark, len(white), middle))

def shell_vars(text):
    return dict(line.split("=", 1) for line in text.split() if "=" in line)

def spawn(argv, env, out=subprocess.DEVNULL, **kwargs):
    """Starts a process group of its own that dies with this script, even when it is killed."""
    return subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=subprocess.STDOUT, start_new_session=True,
                            preexec_fn=lambda: LIBC.prctl(1, signal.SIGKILL, 0, 0, 0), **kwargs)

def group_alive(process):
    process.poll()
    try:
        return os.killpg(process.pid, 0) is None
    except ProcessLookupError:
        return False

def stop(process):
    for sig, grace in ((signal.SIGTERM, 3), (signal.SIGKILL, 5)):
        if process is None or not group_alive(process):
            return
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, sig)
        with contextlib.suppress(Failure):
            until("the group to end", lambda: (not group_alive(process), ""), grace, 0.05)

class Session:
    """An Xvfb (with openbox for scenarios named wm_...) and a player on it, driven and watched."""
    def __init__(self, config, name):
        self.config, self.name, self.player, self.wm = config, name, None, None
        self.workdir = tempfile.mkdtemp(prefix="vidora-e2e-%s-" % name)
        self.audio_path, self.log = (os.path.join(self.workdir, n) for n in ("sound.raw", "out"))
        self.layout, self.origin = NORMAL, (0, 0)
    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
    def start(self):
        for number in random.sample(range(300, 900), 20):  # numbers other runs hardly use
            read, write = os.pipe()
            self.xvfb = spawn(["Xvfb", ":%d" % number, "-displayfd", str(write), "-screen", "0",
                               "%dx%dx24" % (W, H), "-wr", "-nolisten", "tcp", "-noreset"],
                              os.environ, pass_fds=(write,))
            os.close(write)
            with os.fdopen(read) as f:  # the number and a newline once it is ready, EOF if it ends
                if f.readline().strip():
                    break
            stop(self.xvfb)
        self.display = ":%d" % number
        self.xenv = {k: v for k, v in os.environ.items() if k != "WAYLAND_DISPLAY"}
        self.xenv["DISPLAY"] = self.display
        if self.name.startswith("wm_"):
            self.wm = spawn(["openbox", "--sm-disable"], self.xenv)
            until("openbox", lambda: ("window id" in self.xprop(
                "-root", "_NET_SUPPORTING_WM_CHECK"), "not managing the screen"), 15)
        return self
    def __exit__(self, kind, value, tb):
        for process in (self.player, self.wm, getattr(self, "xvfb", None)):
            stop(process)
        lines = self.output().splitlines()
        fault = [i for i, l in enumerate(lines) if "ERROR: " in l and "Sanitizer" in l
                 or "runtime error:" in l or "WARNING: ThreadSanitizer" in l] + [len(lines)]
        if kind:
            print("player output:\n" + "\n".join(lines)[-3000:])
        if not self.config.keep:
            shutil.rmtree(self.workdir, ignore_errors=True)
        check(kind or fault[0] == len(lines),
              "the player reported a fault:\n" + "\n".join(lines[fault[0]:fault[0] + 40]))
    def output(self):
        if not os.path.exists(self.log):
            return ""
        with open(self.log, errors="replace") as f:
            return f.read()

    # -- the player and its window
    def run(self, *args, wrapper=(), env={}):
        """Starts vidora ARGS and waits for its normal window; the pointer goes off it."""
        lsan = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
        env = {**self.xenv, "SDL_VIDEODRIVER": "x11", "SDL_AUDIODRIVER": "disk",
               "NO_AT_BRIDGE": "1", "SDL_DISKAUDIOFILE": self.audio_path, "LSAN_OPTIONS": ":".join(
                   filter(None, [os.environ.get("LSAN_OPTIONS"), "suppressions=" + lsan])), **env}
        env.pop("VIDORA_FILE_DIALOG", None)
        with open(self.log, "ab") as out:
            self.player = spawn([*wrapper, self.config.vidora, *args], env, out, cwd=self.workdir)
        self.to("normal", None)
        self.pointer_to_screen(4, 4)
        return self
    def play(self):
        return self.run(self.long()).playing()
    def alive(self):
        check(self.player.poll() is None, "vidora ended (exit code %s)" % self.player.returncode)
        return True
    def to(self, mode, action="default"):
        """Switches to `mode` by `action`, a key (by default a double-click on the video into
        fullscreen, Esc out of it, F2 between the skins), and waits for its window."""
        if action == "default":
            action = ("dbl" if mode == "fullscreen" else
                      "Escape" if self.layout is FULLSCREEN else "F2")
        if action == "dbl":
            self.click(*centre(self.layout["video"]), "--repeat", "2", "--delay", "120")
        elif action:
            self.key(action)
        self.layout, (w, h) = LAYOUTS[mode], LAYOUTS[mode]["size"]
        self.origin = ((W - w) // 2, (H - h) // 2)
        until("the %s window" % mode, lambda: (self.alive() and self.geometry() == self.origin +
                                               (w, h), self.geometry()), 15)
        return self
    def exits(self):
        """Waits for the player to end with exit code 0, nothing of it left (thread, dialog)."""
        until("vidora to exit", lambda: (self.player.poll() is not None, "running"))
        until("vidora's process group to end", lambda: (not group_alive(self.player), "no"), 5)
        check(self.player.returncode == 0, "exit code %d" % self.player.returncode)
        check("X Error" not in self.output() and "BadWindow" not in self.output(), "X errors")

    # -- X: windows, pointer, keys
    def x(self, *args, tool="xdotool"):
        return subprocess.run([tool, *map(str, args)], env=self.xenv, capture_output=True,
                              text=True, timeout=20)
    def xdo(self, *args):
        done = self.x(*args)
        check(done.returncode == 0, "xdotool %s: %s" % (args, done.stderr.strip()))
        return done.stdout
    def xprop(self, *args):
        return self.x(*args, tool="xprop").stdout
    def find(self, name):
        for _ in range(5):  # a window gone during the search fails it with an X error
            done = self.x("search", "--onlyvisible", "--name", name)
            if done.returncode == 0 or not done.stderr.strip():
                break
            time.sleep(0.05)
        return [int(w) for w in done.stdout.split()]
    def window(self):
        windows = self.find("^Vidora$")
        return windows[0] if len(windows) == 1 else None
    def geometry(self, window=None):
        v = shell_vars(self.x("getwindowgeometry", "--shell", window or self.window()).stdout)
        return tuple(int(v[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")) if "HEIGHT" in v else None
    def stacking(self):
        """The window manager's client windows, bottom to top."""
        out = self.xprop("-root", "_NET_CLIENT_LIST_STACKING").partition("#")[2]
        return [int(w, 16) for w in out.replace(",", " ").split()]
    def owner(self, window):
        ids = self.xprop("-id", window, "WM_TRANSIENT_FOR").partition("#")[2].split()
        return int(ids[0], 16) if ids else None
    def on_top(self):
        return "_NET_WM_STATE_ABOVE" in self.xprop("-id", self.window(), "_NET_WM_STATE")
    def pointer_to_screen(self, x, y):
        """Relative moves (an absolute one can leave SDL's idea of the pointer stale), then a
        moment for the program to see it."""
        for attempt in range(6):
            v = shell_vars(self.xdo("getmouselocation", "--shell"))
            if (int(v["X"]), int(v["Y"])) == (x, y):
                return time.sleep(0.04)
            check(attempt < 5, "the pointer did not reach %d, %d" % (x, y))
            self.xdo("mousemove_relative", "--", x - int(v["X"]), y - int(v["Y"]))
    def point(self, wx, wy):
        self.pointer_to_screen(self.origin[0] + wx, self.origin[1] + wy)
    def click(self, wx, wy, *how):
        self.point(wx, wy)
        self.xdo("click", *how, "1")
    def hover(self, name):
        """Puts the pointer over button `name`, or off the window for None."""
        if name:
            return self.point(*centre(button(self.layout, name)))
        self.pointer_to_screen(4, 4)
    def press(self, name, face=None):
        self.click(*centre(button(self.layout, name)))
        if face:
            self.faces(**{name: face})
    def focus(self, window):
        until("focus on window %d" % window, lambda: (self.x("windowfocus", window) and self.x(
            "getwindowfocus").stdout.strip() == str(window), "elsewhere"), 5, 0.1)
    def key(self, name):
        self.focus(self.window() or 0)
        self.xdo("key", name)
    def type_into(self, window, path):
        """Ctrl+L for the chooser's location field, the path, Return; Esc alone for no path."""
        self.focus(window)
        for args in ([("key", "Escape")] if path is None else [
                ("key", "--clearmodifiers", "ctrl+l"), ("key", "ctrl+a"),
                ("type", "--delay", "12", path), ("key", "Return")]):
            self.x(*args)
            time.sleep(0.2)
    def answer(self, title, path=None):
        """Waits for zenity's file chooser `title`, gives it `path` (Esc: None) until it closes."""
        until("the dialog " + title, lambda: (self.find(title), "not shown"), 20)
        retry("closing the dialog " + title, lambda: [self.type_into(w, path) for w in self.find(
            title)[-1:]], lambda: (not self.find(title), "still shown"))

    # -- what the window shows
    def shot(self):
        """The player's window as it now stands on the screen."""
        self.alive()
        (x, y), (w, h) = self.origin, self.layout["size"]
        return self.screenshot().crop(x, y, x + w, y + h)
    def screenshot(self):
        shot = subprocess.run(["import", "-window", "root", "-depth", "8", "rgb:-"], env=self.xenv,
                              capture_output=True).stdout
        check(len(shot) == W * H * 3, "no screenshot")
        return Image(W, H, shot)
    def video(self, img=None):
        return (img or self.shot()).crop(*self.layout["video"])
    def face(self, name, img=None):
        """Which strip cell button `name` shows, the closest one (None: none close)."""
        shown = (img or self.shot()).crop(*button(self.layout, name))
        strip = self.config.skins["buttons-" + ("large" if self.layout is LARGE else "normal")]
        score, best = min((sum(map(lambda a, b: abs(a - b), shown.data, strip.crop(
            48 * n, 0, 48 * n + 48, 48).data)) / len(shown.data), n) for n in range(8))
        return FACES[best] if score < 8 else None
    def faces(self, timeout=10, **want):
        """Waits until each button named shows one of the faces given for it (space-separated)."""
        def probe():
            img = self.shot()
            got = {k: self.face(k, img) for k in want}
            return all(got[k] in want[k].split() for k in want), got
        until("the buttons to show %s" % want, probe, timeout, 0.15)
    def check_skin(self, img=None):
        """Outside what changes, the window shows its skin's bitmap, pure red see-through."""
        img, layout = img or self.shot(), self.layout
        skin = self.config.skins["skin-" + layout["name"]]
        moving = [layout["video"], layout["seek"]] + [button(layout, k)
                                                      for k in ("open", "play", "snapshot")]
        want = lambda x, y: WHITE if skin.pixel(x, y) == (255, 0, 0) else skin.pixel(x, y)
        wrong = [(x, y) for y in range(skin.height) for x in range(skin.width)
                 if not any(l <= x < r and t <= y < b for l, t, r, b in moving)
                 and img.pixel(x, y) != want(x, y)]
        check(not wrong, "%d pixels differ from its skin, e.g. %s" % (len(wrong), wrong[:5]))
    def playing(self, timeout=20):
        """Waits for a picture under its date and time band."""
        def probe():
            v = self.video()
            n = non_black(picture(v))
            return band(v) and n > v.width * v.height // 4, "band %s, %d lit" % (band(v), n)
        until("the picture and its time band", probe, timeout)
        return self
    def moves(self):
        last = [picture(self.video())]
        def probe():
            now = picture(self.video())
            changed, last[0] = now.differing(last[0], 24), now
            return changed > 50, "%d pixels changed" % changed
        until("the picture to move", probe, 10, 0.25)
    def still(self, hold=1.5):
        """Waits until the video area stays the same for `hold` s and returns it."""
        state = [self.video(), time.monotonic()]
        def probe():
            if (now := self.video()).data != state[0].data:
                state[:] = now, time.monotonic()
            return time.monotonic() - state[1] >= hold, "changing"
        until("the picture to stand still", probe, 10, 0.25)
        return state[0]
    def message(self, what):
        """Waits for white text in the middle of an otherwise black video area; returns it."""
        def probe():
            v = self.video()
            mid = v.crop(40, 88, 292, 148)
            white, rest = mid.count(lambda p: p == WHITE), non_black(v) - non_black(mid)
            return white > 30 and not rest, "%d white, %d lit around" % (white, rest)
        until(what, probe, 15)
        return self.video().crop(40, 88, 292, 148)

    # -- sound and recordings
    def sound(self, start=0):
        if not os.path.exists(self.audio_path):
            return []
        with open(self.audio_path, "rb") as f:
            f.seek(start)
            return watch.samples_of(f.read())
    def audio_size(self):
        return os.path.getsize(self.audio_path) if os.path.exists(self.audio_path) else 0
    def heard(self, since=0):
        until("speech in the sound", lambda: (self.alive() and (p := peak(self.sound(since))) >=
                                              SOUND, "peak %d" % p), 15)
    def testdata(self, name):
        path = os.path.join(self.config.build_dir, "testdata", name)
        check(os.path.exists(path), "%s is missing (build first)" % path)
        return path
    def mux(self, name, *args):
        out = os.path.join(self.workdir, name)
        done = subprocess.run([self.config.krm_mux, *args, "--size", "320x240", "--out", out],
                              capture_output=True, text=True)
        check(done.returncode == 0, "krm-mux: " + done.stderr)
        return out
    def long(self):
        """Two minutes of 4:3 picture and speech from 2016-02-28 23:59:05 (the date turns 55 s
        in): the 4-second test streams (an IDR picture a second) end to end."""
        for src, skip in (("h264_320x240.h264", b""), ("speech.amr", b"#!AMR\n")):
            with open(self.testdata(src), "rb") as f:
                data = f.read().removeprefix(skip) * 30
            with open(os.path.join(self.workdir, src), "wb") as f:
                f.write(data)
        return self.mux("long.krm", "--h264", os.path.join(self.workdir, "h264_320x240.h264"),
                        "--amr", os.path.join(self.workdir, "speech.amr"), "--start",
                        "2016-02-28 23:59:05")
    def invalid(self):  # the header's tag in capitals
        return self.mux("capital-tag.krm", "--h264", self.testdata("h264_320x240.h264"),
                        "--amr", self.testdata("speech.amr"), "--raw-tag", "H264")

def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn

@scenario
def start_without_file(s):
    """No file: the skin on a black video area, play face, no progress; play changes nothing;
    hover faces follow the pointer."""
    s.run().check_skin()
    img = s.shot()
    check((non_black(s.video(img)), fill(img, NORMAL)[0], s.face("play", img)) == (0, 0, "play"),
          "not an empty player")
    s.press("play", "play+")
    s.hover(None)
    s.faces(play="play")
    check(non_black(s.video()) == 0, "the video area is not black")
    for name, faces in (("open", "open+ snapshot"), ("snapshot", "open snapshot+"),
                        (None, "open snapshot")):
        s.hover(name)
        s.faces(**dict(zip(("open", "snapshot"), faces.split())))

@scenario
def start_with_file(s):
    """`vidora FILE` plays it: the skin, pause face, the 4:3 picture between black bars, moving,
    sound, a progress fill growing up from the bottom."""
    s.play().check_skin()
    img = s.shot()
    check(s.face("play", img) == "pause", "not the pause face")
    v = s.video(img)  # 320 × 240 fits the 332 × 236 area at 316 × 236
    check(non_black(v.crop(0, 0, 8, 236)) + non_black(v.crop(324, 0, 332, 236)) == 0, "no bars")
    s.moves()
    s.heard()
    until("a progress fill", lambda: ((f := fill(s.shot(), NORMAL)[0]) >= 2, f), 15)

@scenario
def pause_resume(s):
    """Play pauses (picture, sound and progress stop; play face) and resumes."""
    s.play().heard()
    s.press("play", "play+")
    still = s.still()
    until("silence", lambda: (peak(s.sound(max(s.audio_size() - SECOND, 0))) <= SILENCE, ""), 15)
    img, mark = s.shot(), s.audio_size()
    until("another second of sound", lambda: (s.audio_size() >= mark + SECOND, s.audio_size()))
    check(peak(s.sound(mark)) <= SILENCE, "sound went on while paused")
    check(s.video().data == still.data and fill(s.shot(), NORMAL) == fill(img, NORMAL),
          "the picture or the progress moved while paused")
    s.press("play", "pause+")
    s.moves()
    s.heard(s.audio_size())
    s.hover(None)
    s.faces(play="pause")

def seek_to_middle(s, press=None):
    """A press in the middle of the seek bar jumps to the middle of the two minutes: the fill
    reaches about half the bar, the band turns from the 28th 23:.. to the 29th 00:.. (played on,
    that would take 40 s or more; a seek to a quarter, 20 s more)."""
    img = s.shot()
    before, (reach, length) = date(s.video(img)), fill(img, s.layout)
    check(before and reach < length // 5, "no time band, or progress already at %d" % reach)
    (press or (lambda: s.click(*centre(s.layout["seek"]))))()
    def probe():
        img = s.shot()
        now, (reach, _) = date(s.video(img), before.width), fill(img, s.layout)
        return (length * 46 // 100 <= reach <= length * 62 // 100 and now and
                now.data != before.data, "fill %d of %d" % (reach, length))
    until("the progress at about half and the 29th", probe, 12, 0.25)

@scenario
def seek(s):
    """The normal skin's seek bar; the press there begins a drag that, not moved, leaves the
    window where it was."""
    seek_to_middle(s.play())
    s.moves()
    check(s.geometry()[:2] == s.origin, "the window moved")

@scenario
def seek_fullscreen(s):
    """The fullscreen seek bar runs left to right; its fill leaves 3 grey rows above and below."""
    seek_to_middle(s.play().to("fullscreen").playing())
    l, t, r, b = FULLSCREEN["seek"]
    rows = [y for y in range(t, b) if s.shot().pixel(l, y) == WHITE]
    check(rows == list(range(t + 3, b - 3)), "fill rows %s" % rows)

@scenario
def skin_switch(s):
    """F2 switches to the large skin and back, playing on; a double-click outside the video and
    Enter before it change nothing."""
    s.play().click(500, 16, "--repeat", "2", "--delay", "120")
    s.key("Return")
    s.to("large").playing().check_skin()
    check(s.face("play") == "pause", "the large skin's play button shows %s" % s.face("play"))
    s.moves()
    s.to("normal").playing().check_skin()

@scenario
def fullscreen(s):
    """A double-click on the video fills the screen, the buttons in a row below it; F2 does
    nothing there; Esc brings back the skin chosen before, normal or large."""
    s.play().to("fullscreen").playing().pointer_to_screen(4, H - 4)
    s.faces(play="pause", open="open")
    s.key("F2")
    s.to("normal").playing().to("large").to("fullscreen").playing().to("large").playing()

def snapshot_of(s, name, size):
    """Pauses and saves a snapshot as `name` through the save dialog: a 24-bit BMP of `size`
    bytes, the video area as shown bit for bit. Returns its path."""
    s.press("play", "play+")
    still = s.still()
    s.press("snapshot")
    s.answer(SAVE, os.path.join(s.workdir, name))
    path = os.path.join(s.workdir, name.removesuffix(".bmp") + ".bmp")
    until(path, lambda: ((n := os.path.exists(path) and os.path.getsize(path)) == size, n))
    with open(path, "rb") as f:
        header = struct.unpack("<2sIHHIIiiHHIIiiII", f.read(54))
    check(header == (b"BM", size, 0, 0, 54, 40, still.width, still.height, 1, 24) + (0,) * 6,
          "BMP header %s" % (header,))
    check(Image.bmp(path).data == still.data and non_black(still) > 20000,
          "the snapshot is not the picture on the screen")
    return path

@scenario
def snapshot(s):
    """The snapshot button saves the video area; a name without extension gets ".bmp"; the
    window is served again after the dialog."""
    path = snapshot_of(s.play(), "picture", 235110)
    check(not os.path.exists(path[:-4]), "a file without the extension was written as well")
    s.press("play", "pause+")
    s.moves()

@scenario
def snapshot_large(s):
    """In the large skin a snapshot is 512 × 324; a name ending in .bmp is kept as it is."""
    path = snapshot_of(s.play().to("large").playing(), "large.bmp", 497718)
    check(not os.path.exists(path + ".bmp"), "the extension was added to a .bmp name")

@scenario
def open_file(s):
    """A cancelled open dialog changes nothing; the recording chosen then replaces the 4:3 one,
    a 16:9 picture with black bands above and below it."""
    s.play()
    tall = lambda: non_black(s.video().crop(8, 220, 324, 236)) > 1000  # reaches the bottom rows
    check(tall(), "the 4:3 picture does not fill the height")
    s.press("open")
    s.answer(OPEN)
    s.moves()
    check(tall() and s.face("play") in ("pause", "pause+"), "not playing after a cancel")
    s.press("open")
    s.answer(OPEN, s.testdata("h264_1280x720_b.krm"))
    def probe():  # 1280 × 720 fits at 332 × 188: 24 black rows below, the whole width
        v = s.video()
        bottom = non_black(v.crop(0, 214, 332, 236))
        sides = non_black(v.crop(0, 60, 8, 180)) + non_black(v.crop(324, 60, 332, 180))
        return not bottom and sides > 1000 and band(v), "%d lit below, %d aside" % (bottom, sides)
    until("the 16:9 picture", probe, 15)

@scenario
def invalid_header(s):
    """A header whose tag is in capitals is refused with white text in the middle of the black
    video area; nothing plays."""
    s.run(s.invalid()).message("the invalid-file text")
    img = s.shot()
    check(s.face("play", img) == "play" and not fill(img, NORMAL)[0] and
          peak(s.sound()) <= SILENCE, "something plays")

@scenario
def cannot_open(s):
    """A missing file and a folder each show the cannot-open text, not the invalid-file text;
    standard error says why in a line."""
    texts = []
    for path in (os.path.join(s.workdir, "gone.krm"), s.workdir):
        texts.append(s.run(path).message("the cannot-open text"))
        stop(s.player)
        said = [l for l in s.output().splitlines() if l.startswith("vidora: cannot open")]
        check(len(said) == 1 and path in said[0], "standard error said %r" % said)
        os.remove(s.log)
    check(texts[0].data == texts[1].data != s.run(s.invalid()).message("the invalid text").data,
          "not one text for both, another for an invalid file")

def closes(how):
    def run(s):
        how(s.play())
        s.exits()
    return run

# Ways to close the program: exit code 0, nothing left behind, no X errors.
SCENARIOS.update(
    escape_closes=closes(lambda s: s.key("Escape")),
    alt_f4=closes(lambda s: s.to("fullscreen").to("normal", "alt+F4").playing().key("alt+F4")),
    close_area=closes(lambda s: s.click(33, 139)),  # the grille left of the video
    window_destroyed=closes(lambda s: s.xdo("windowclose", s.window())),
    wm_window_destroyed=closes(lambda s: s.xdo("windowclose", s.window())))

@scenario
def end_and_replay(s):
    """At the end the last picture stays, the bar is full, the play face shows; play starts the
    recording again."""
    s.run(s.testdata("h264_320x240.krm")).playing()  # 4 s
    s.faces(30, play="play")
    last = s.still()
    check(non_black(picture(last)) > last.width * last.height // 2, "the last picture went")
    check(fill(s.shot(), NORMAL)[0] >= 236 * 95 // 100, "the bar is not full")
    s.press("play", "pause+")
    until("the progress to start again", lambda: ((f := fill(s.shot(), NORMAL)[0]) < 188, f))
    s.moves()
    s.playing()

def drag_window(s, wx, wy, steps):
    """Presses at window pixel (wx, wy), moves by `steps`, waits for the window to follow and
    releases."""
    s.point(wx, wy)
    s.xdo("mousedown", "1")
    try:
        time.sleep(0.05)
        for dx, dy in steps:
            s.xdo("mousemove_relative", "--", dx, dy)
            time.sleep(0.03)
        want = tuple(map(sum, zip(s.origin, *steps)))
        until("the window to follow the pointer", lambda: ((s.geometry() or ())[:2] == want,
                                                           s.geometry()))
    finally:
        s.xdo("mouseup", "1")
    s.origin = want

def drag_frame(s):
    """A press on the frame and a move drag the window; it stays, drawn, where released."""
    drag_window(s, 60, 60, [(10, 5)] * 10 + [(-20, 12)] * 3)
    s.hover(None)
    s.playing()
    check(s.geometry()[:2] == s.origin, "the window moved after the release")
    s.check_skin()

@scenario
def drag(s):
    """A drag of the frame; one from the normal skin's seek bar seeks too."""
    drag_frame(s.play())
    seek_to_middle(s, lambda: drag_window(s, 428, 139, [(-5, -10)] * 6))
    check(s.geometry()[:2] == s.origin, "the window moved after the release")

def kept_on_top(s):
    until("the player kept on top", lambda: (s.on_top(), s.xprop("-id", s.window(),
                                                                  "_NET_WM_STATE")))

def above(s, window, owner, below):
    """Waits until `window`, transient for `owner`, stands above all of `below` while the player
    is not kept on top."""
    def probe():
        order = s.stacking()
        return (set(below + [window]) <= set(order) and s.owner(window) == owner and
                all(order.index(window) > order.index(w) for w in below) and not s.on_top(), order)
    until("window %d above %s" % (window, below), probe)

def covers(s, window, own):
    """Waits until the screen shows `window`, not the player's pixels `own`, where they overlap."""
    x, y, w, h = s.geometry(window)
    l, t = max(x, s.origin[0]), max(y, s.origin[1])
    r, b = min(x + w, s.origin[0] + own.width), min(y + h, s.origin[1] + own.height)
    check(l < r and t < b, "window %d does not overlap the player" % window)
    mine = own.crop(l - s.origin[0], t - s.origin[1], r - s.origin[0], b - s.origin[1])
    n = mine.width * mine.height
    until("window %d over the player" % window, lambda: (
        (same := n - s.screenshot().crop(l, t, r, b).differing(mine)) < n // 10, same))

@scenario
def wm_dialogs_above(s):
    """Under a window manager the player, kept on top, lets its file dialogs (children of its
    window) and GTK's message boxes over them stand above it, and is on top again after them. A
    name in a missing folder is refused; an existing file is replaced after a question."""
    kept_on_top(s.play())
    player = s.window()
    s.press("play", "play+")
    s.still()
    own = s.shot()
    for name, title in (("open", OPEN), ("snapshot", SAVE)):
        s.press(name)
        chooser = until("the dialog", lambda: ((w := s.find(title)), w), 20)[-1]
        above(s, chooser, player, [player])
        covers(s, chooser, own)
        if name == "open":
            s.answer(OPEN)
            kept_on_top(s)
    old = os.path.join(s.workdir, "old.bmp")
    with open(old, "wb") as f:
        f.write(b"an older picture")
    for path in (os.path.join(s.workdir, "missing", "picture.bmp"), old):
        box = retry("a message box for " + path, lambda: s.type_into(chooser, path), lambda: (
            (boxes := [w for w in s.stacking() if s.owner(w) == chooser]) != [], boxes[:1]))[0]
        above(s, box, chooser, [player, chooser])
        s.focus(box)
        s.xdo("key", "Return")  # OK to the refusal, Replace to the question
        until("the box to close", lambda: (box not in s.stacking(), s.stacking()))
        check(path == old or s.find(SAVE) == [chooser], "the save dialog went with the box")
    until(old + " replaced", lambda: (os.path.getsize(old) == 235110, os.path.getsize(old)), 15)
    with open(old, "rb") as f:
        check(f.read(2) == b"BM", "the replaced file is not a BMP")
    until("the save dialog to close", lambda: (not s.find(SAVE), "still shown"))
    kept_on_top(s)
    s.press("play", "pause+")
    s.moves()

@scenario
def wm_drag_fullscreen(s):
    """Under a window manager the borderless window drags as without one, goes fullscreen over
    the whole screen and back, kept on top, and stays above a window opened after it."""
    kept_on_top(s.play())
    drag_frame(s)
    kept_on_top(s)
    kept_on_top(s.to("fullscreen").playing())
    kept_on_top(s.to("normal").playing())
    other = spawn(["xmessage", "-geometry", "+%d+%d" % tuple(v + 20 for v in s.origin), "over"],
                  s.xenv)
    try:
        until("the new window below the player", lambda: (
            len(order := s.stacking()) == 2 and order[-1] == s.window(), order))
        s.check_skin()
    finally:
        stop(other)

@scenario
def snapshot_fails(s):
    """A snapshot that cannot be written (a file size limit below its size) leaves no file and
    says so across the picture for a few seconds; playback goes on."""
    s.run(s.long(), wrapper=("prlimit", "--fsize=100000"),
          env={"SDL_DISKAUDIOFILE": os.devnull}).playing()  # the sound, out of the limit's way
    s.press("play", "play+")
    still = s.still()
    folder = os.path.join(s.workdir, "shots")
    os.makedirs(folder)
    s.press("snapshot")
    s.answer(SAVE, os.path.join(folder, "picture"))
    until("the failure notice across the video", lambda: notice(s.video()))
    check(not os.listdir(folder), "left in the folder: %s" % os.listdir(folder))
    until("the notice to go", lambda: (s.video().data == still.data, "still shown"), 10, 0.25)
    check(not os.listdir(folder), "left in the folder: %s" % os.listdir(folder))
    s.press("play", "pause+")
    s.moves()

def marked(s, size, seconds):
    return watch.make_recording(s.workdir, s.config.krm_mux, s.config.amrnb_encode, size, seconds)

def pictures_reach_screen(size, mode):
    def run(s):  # at least 95 % of a 25 fps recording's pictures reach the screen
        r = watch.watch_playback(s, marked(s, size, 12), mode, 42)
        check(r.get("share_seen", 0) >= 0.95, "%s of %s pictures reached the screen" % (
            r.get("distinct_pictures_seen"), r.get("pictures_watched")))
    return run

for size in ((320, 240), (1280, 720)):
    for mode in LAYOUTS:
        SCENARIOS["pictures_%dx%d_%s" % (size + (mode,))] = pictures_reach_screen(size, mode)

@scenario
def sound_whole_and_in_sync(s):
    """Over 32 s every second of the sound is heard, in order, with at most 50 ms of silence put
    in after the first second, and each beep within 45 ms of its picture."""
    rec = marked(s, (320, 240), 32)
    r = watch.watch_playback(s, rec, "normal", 62)
    offsets, late = r["beep_offsets_ms"], [(n, o) for n, o in r["beep_offsets_ms"] if abs(o) > 45]
    check(r["sound_pieces_in_order"], "seconds heard %s" % r["sound_pieces_heard"])
    check(r["silence_inserted_ms"] <= 50, "%.0f ms of silence put in" % r["silence_inserted_ms"])
    check(len(offsets) >= rec.seconds // 2 - 2, "%d beeps lined up with a picture" % len(offsets))
    check(not late, "beeps off their pictures (picture, ms): %s" % late)

@scenario
def seek_sound(s):
    """After a seek the first sound heard is from the new place: once the new pictures show,
    nothing from before is heard, and the sound is back within a second."""
    rec = marked(s, (320, 240), 40)
    with watch.watching(s, rec) as (screen, sound):
        until("picture 75", lambda: (screen.pictures[-1:] and screen.pictures[-1][1] >= 75, ""), 20)
        s.click(*centre(NORMAL["seek"]))
        jump, target = until("a picture from the middle", lambda: ((later := [
            p for p in screen.pictures if p[1] >= rec.pictures // 3]) != [], later), 12)[0]
        target //= watch.FPS
        # What is handed over within 45 ms of the jump may still be from before it.
        def heard_after():
            start = sound.sample_at(jump + 0.045)
            heard = [] if start is None else watch.piece_windows(sound.samples(), start)
            return len(heard) >= 12, heard
        heard = until("a second of sound after the jump", heard_after, 15, 0.25)
    (first, piece), delay = heard[0], sound.time_of(heard[0][0]) - jump
    shown = watch.picture_at(screen.pictures, jump + delay) // watch.FPS
    old = [(round((sound.time_of(n) - jump) * 1000), p) for n, p in heard if p < target - 1]
    check(not old, "sound from before the seek after the jump (ms, second): %s" % old[:10])
    check(abs(piece - shown) <= 1, "the first sound after the jump is from second %d, the picture"
          " then from second %d" % (piece, shown))
    check(delay <= 1.0, "the sound came back %.1f s after the jump" % delay)

# -- The reviewer's keys, on marked recordings: record i is picture i, at i × 40 ms.

def number(screen):
    """The number of the picture the watch last read (-1: none yet)."""
    return screen.pictures[-1][1] if screen.pictures else -1

def numbers(screen, since=0):
    return [n for _, n in screen.pictures[since:]]

def reach(screen, n, timeout=20):
    until("picture %d" % n, lambda: (number(screen) >= n, number(screen)), timeout, 0.05)

def said(s):
    """Waits for the message a key brings across the picture, then for it to go."""
    until("the message", lambda: notice(s.video()), 5, 0.05)
    until("the message to go", lambda: (not notice(s.video())[0], "still shown"), 5, 0.1)

def lands(s, screen, press, want):
    """Does `press` (a key, or a function) and waits for its message; picture `want` must then be
    the only one shown after it, none on the way (nothing new when it is on show already)."""
    mark = len(screen.pictures)
    if isinstance(press, str):
        s.key(press)
    else:
        press()
    until("the message of %s" % press, lambda: notice(s.video()), 5, 0.05)
    until("picture %d" % want, lambda: (number(screen) == want, number(screen)), 10, 0.05)
    if not numbers(screen, mark):  # already on show: no other may come either
        until("the message to go", lambda: (not notice(s.video())[0], "still shown"), 5, 0.1)
    check(numbers(screen, mark) in ([want], []), "%s showed %s, not %d alone" % (
        press, numbers(screen, mark), want))

def paused_on(s, screen):
    """Pauses with Space (the play face, its message) and returns the picture standing still."""
    s.key("space")
    s.faces(play="play")
    s.still()
    return number(screen)

@scenario
def keys_jump(s):
    """Paused, the arrows jump 5 s and 60 s of the recording to the exact picture and Home goes to
    the first, each with its message; a jump back from the start stays there. Playing, a jump
    lands the same distance from the picture shown and plays on from there."""
    rec = marked(s, (320, 240), 70)
    with watch.watching(s, rec) as (screen, _):
        reach(screen, 30)
        n = paused_on(s, screen)
        for key, want in (("Right", n + 125), ("Up", n + 1625), ("Left", n + 1500),
                          ("Down", n), ("Home", 0), ("Left", 0), ("Down", 0)):
            lands(s, screen, key, want)
        check(s.face("play") == "play", "the jumps did not stay paused")
        s.key("space")
        reach(screen, 40)
        mark = len(screen.pictures)
        s.key("Right")
        until("the pictures after the jump", lambda: (len(
            after := [n for n in numbers(screen, mark) if n >= 150]) >= 10, after), 10, 0.05)
        seen = numbers(screen, mark - 1)
        jump = next(i for i, n in enumerate(seen) if n >= 150)
        before, after = seen[jump - 1], seen[jump:jump + 10]
        # The picture on show when the key is read may be a few after the one the watch saw last.
        check(115 <= after[0] - before <= 125 and after == sorted(after),
              "from picture %d the jump showed %s" % (before, after))

@scenario
def keys_step(s):
    """',' and '.' pause and step one picture, back or on; F1's list of keys stays until the next
    key, which still steps; a snapshot then is the picture on show."""
    rec = marked(s, (320, 240), 20)
    with watch.watching(s, rec) as (screen, _):
        reach(screen, 40)
        s.key("comma")
        s.faces(play="play")
        s.still()
        n = number(screen)
        check(numbers(screen)[-2:] == [n + 1, n], "',' while playing showed %s" % numbers(
            screen)[-3:])
        for key, want in (("period", n + 1), ("period", n + 2), ("comma", n + 1)):
            lands(s, screen, key, want)
        s.key("space")
        reach(screen, n + 10)
        s.key("period")
        s.faces(play="play")
        s.still()
        n = number(screen)
        check(numbers(screen)[-2:] == [n - 1, n], "'.' while playing showed %s" % numbers(
            screen)[-3:])
        listed = lambda: s.video().crop(0, 30, 332, 90).count(lambda p: p == BAND) > 10000
        s.key("F1")
        until("the list of keys", lambda: (listed(), "not shown"))
        s.still()
        check(listed(), "the list of keys went by itself")
        lands(s, screen, "period", n + 1)
        check(not listed(), "the list of keys stayed")
        still = s.still()
        s.press("snapshot")
        s.answer(SAVE, os.path.join(s.workdir, "step"))
        path = os.path.join(s.workdir, "step.bmp")
        until(path, lambda: ((size := os.path.exists(path) and os.path.getsize(path)) == 235110,
                             size))
        check(Image.bmp(path).data == still.data and number(screen) == n + 1,
              "the snapshot is not the picture stepped to")

def loudness(sound, start):
    """The peak of the two seconds of sound from sample `start`: the beep in them (the tone's
    level varies too much through the codec to tell a step of the volume)."""
    until("two seconds of sound", lambda: (len(sound.samples()) >= start + 2 * watch.RATE, ""),
          10, 0.05)
    return peak(sound.samples()[start:start + 2 * watch.RATE])

def heard_after(s, sound, press):
    """Does `press`, waits for its message, and returns where the sound heard from then on
    starts (past what the device had been handed already)."""
    press()
    until("the message", lambda: notice(s.video()), 5, 0.05)
    return len(sound.samples()) + watch.RATE // 4

def pace(screen, pictures):
    """Pictures a second, by the watch's clock, while the next `pictures` go by."""
    t0, n0 = screen.pictures[-1]
    reach(screen, n0 + pictures)
    t1, n1 = screen.pictures[-1]
    return (n1 - n0) / (t1 - t0)

@scenario
def keys_speed_volume(s):
    """'9', '0', the wheel and 'm' set the loudness heard (half at 50 %, none muted, the level
    before again unmuted); ']' doubles the speed with the sound at its pitch, in step with the
    pictures, and again to 4× the pace, silent; Backspace brings back 1×."""
    rec = marked(s, (320, 240), 40)
    with watch.watching(s, rec) as (screen, sound):
        reach(screen, 50)
        full = loudness(sound, len(sound.samples()))
        def wheel_up():
            s.point(*centre(NORMAL["video"]))
            s.xdo("click", "--repeat", "2", "--delay", "50", "4")
            s.hover(None)
        for what, press, share in (
                ("'9' five times", lambda: [s.key("9") for _ in range(5)], 0.5),
                ("two notches of the wheel up", wheel_up, 0.7),
                ("'m'", lambda: s.key("m"), 0),
                ("'m' again", lambda: s.key("m"), 0.7),
                ("'0' four times", lambda: [s.key("0") for _ in range(4)], 1)):
            got = loudness(sound, heard_after(s, sound, press)) / full
            check(abs(got - share) <= 0.06, "after %s %.2f of the level, not %.2f" % (
                what, got, share))
        ones = pace(screen, 50)
        for key, speed in (("bracketright", 2), ("bracketright", 4), ("BackSpace", 1)):
            start = heard_after(s, sound, lambda: s.key(key))
            reach(screen, number(screen) + 10)
            got = pace(screen, 50 * speed) / ones
            check(abs(got - speed) <= speed * 0.3, "%s: %.1f× the pace, not %d×" % (
                key, got, speed))
            until("a second of sound", lambda: (len(sound.samples()) >= start + watch.RATE, ""))
            samples = sound.samples()[:start + watch.RATE]
            if speed > 2:
                check(peak(samples[start:]) <= SILENCE, "%s: sound at %d× (peak %d)" % (
                    key, speed, peak(samples[start:])))
                continue
            heard = watch.piece_windows(samples, start)
            off = [(p, shown) for i, p in heard if (shown := watch.picture_at(
                screen.pictures, sound.time_of(i))) is None or abs(p - shown // 25) > 1]
            check(len(heard) >= 6 and not off, "%s: %d windows of the tone heard, off their "
                  "pictures (second, picture): %s" % (key, len(heard), off[:5]))

GOTO = "转到时间"  # the go-to dialog's title

def go_to(s, text):
    s.key("ctrl+g")
    s.answer(GOTO, text)

@scenario
def goto_dialog(s):
    """Ctrl+G's dialog takes a time into the recording, a time of day or a date and time, and goes
    to the first picture of that moment, playing or paused; a moment the recording does not cover
    leaves the picture where it was."""
    rec = marked(s, (320, 240), 40)
    with watch.watching(s, rec) as (screen, _):
        reach(screen, 200)
        mark = len(screen.pictures)
        go_to(s, "+0:05")
        until("the pictures after the jump", lambda: (len(
            after := [n for n in numbers(screen, mark) if n < 200]) >= 10, after), 10, 0.05)
        after = [n for n in numbers(screen, mark) if n < 200]
        check(after[0] == 125 and after == sorted(after), "+0:05 showed %s" % after[:10])
        paused_on(s, screen)
        for text, want in (("23:59:15", 250), ("2016.02.28 23:59:35", 750), ("+5:00", 750),
                           ("2016.02.28 23:58:00", 750)):
            lands(s, screen, lambda: go_to(s, text), want)

@scenario
def hover_time(s):
    """Paused, in both skins, the pointer over the seek bar shows a label of the camera time there
    beside it (another further along the bar); off the bar no label shows."""
    s.play().key("space")
    s.faces(play="play")
    for mode, on_bar, off_bar in (("normal", [(428, 240), (428, 40)], (300, 140)),
                                  ("large", [(60, 354), (480, 354)], (300, 200))):
        if mode != s.layout["name"]:
            s.to(mode).playing()
        still, labels = s.still(), []
        def off():
            s.point(*off_bar)
            until("no label off the bar", lambda: (s.video().data == still.data, "a label"))
        for x, y in on_bar:
            off()
            s.point(x, y)
            def probe():
                v = s.video()
                changed = [(i % v.width, i // v.width) for i, (a, b) in enumerate(zip(
                    v.pixels(), still.pixels())) if a != b]
                return changed != [], (v, changed)
            v, changed = until("a label by the pointer", probe, 5, 0.1)
            xs, ys = [p[0] for p in changed], [p[1] for p in changed]
            box = (min(xs), min(ys), max(xs) + 1, max(ys) + 1)
            px, py = x - s.layout["video"][0], y - s.layout["video"][1]
            beside = (box[0] <= px <= box[2] and box[3] >= v.height - 8 if mode == "large" else
                      box[1] <= py <= box[3] and box[2] >= v.width - 8)
            label = v.crop(*box)
            check(beside and label.count(lambda p: p == BAND) > label.width * label.height // 2
                  and label.count(lambda p: p == WHITE) > 20,
                  "%s skin: the change at %s is no label beside %s" % (mode, box, (px, py)))
            labels.append(label.data)
        check(labels[0] != labels[1], "%s skin: one label all along the bar" % mode)
        off()

def cut(path, out, first, end, days=0, seconds=0):
    """Writes records [first, end) of recording `path` as recording `out`, their camera time moved
    on by `days` and `seconds` (kept within the month and the minute)."""
    with open(path, "rb") as f:
        blob = f.read()
    parts, at, i = [blob[:1024]], 1024, 0
    while at + 32 <= len(blob):
        size = 32 + sum(struct.unpack_from("<II", blob, at + 24))
        if first <= i < end:
            record = bytearray(blob[at:at + size])
            y, mo, d, h, mi, sec = struct.unpack_from("<6H", record, 8)
            struct.pack_into("<6H", record, 8, y, mo, d + days, h, mi, sec + seconds)
            parts.append(record)
        at, i = at + size, i + 1
    with open(out, "wb") as f:
        f.write(b"".join(parts))
    return out

@scenario
def next_file(s):
    """A camera's drive in three files: the second begins 4 s after the first ended, and playback
    goes on into it, its pictures and sound following on, with a message; the third begins a day
    later, and playback stops at the second's end. Page Up and Page Down open the neighbours by
    name, Page Down nothing after the last."""
    rec = marked(s, (320, 240), 14)  # pictures 0-149 in the first file, 150-299, 300-349
    folder = os.path.join(s.workdir, "camera")
    os.makedirs(folder)
    files = [cut(rec.path, os.path.join(folder, "cam_%d.krm" % i), *part) for i, part in
             enumerate(((0, 150), (150, 300, 0, 3), (300, 350, 1)), 1)]
    with watch.watching(s, SimpleNamespace(path=files[0], size=rec.size)) as (screen, sound):
        reach(screen, 150)
        until("the message", lambda: notice(s.video()), 5, 0.05)
        reach(screen, 299)
        s.faces(play="play")
        s.still()
        seen = numbers(screen)
        check(seen == sorted(seen) and seen[-1] == 299, "pictures shown: %s" % seen)
        span = [sound.sample_at(watch.picture_time(screen.pictures, n)) for n in (75, 225)]
        samples = sound.samples()[span[0]:span[1]]
        silent, runs = watch.inserted_silence(samples)[0], watch.piece_runs(samples)
        in_order = len(runs) >= 5 and runs == list(range(runs[0], runs[0] + len(runs)))
        check(silent <= 50 and in_order, "from the first file into the second %.0f ms of "
              "silence, seconds heard %s" % (silent, runs))
        for key, first, end in (("Prior", 0, 150), ("Next", 150, 300), ("Next", 300, 350)):
            mark = len(screen.pictures)
            s.key(key)
            until("the message of " + key, lambda: notice(s.video()), 5, 0.05)
            ours = lambda: [n for n in numbers(screen, mark) if first <= n < end]
            until("the pictures of the file", lambda: (ours() != [], numbers(screen, mark)), 10)
            check(ours()[0] == first, "%s showed %s" % (key, numbers(screen, mark)[:5]))
        mark = len(screen.pictures)
        s.key("Next")
        said(s)
        check(min(numbers(screen, mark), default=300) >= 300,
              "Page Down on the last file showed %s" % numbers(screen, mark)[:5])

@scenario
def several_files(s):
    """Files given together play in the order given, each from its first picture and with its
    name; after the last the player stops; Page Up and Page Down walk them, not the folder."""
    rec = marked(s, (320, 240), 8)  # pictures 100-199 in the first file given, 0-99 in the second
    files = [cut(rec.path, os.path.join(s.workdir, name), *part)
             for name, part in (("2_given_first.krm", (100, 200)), ("1_given_second.krm", (0, 100)))]
    with watch.watching(s, SimpleNamespace(paths=files, size=rec.size)) as (screen, _):
        reach(screen, 199)
        until("the second file", lambda: (0 <= number(screen) < 100, number(screen)), 10, 0.05)
        until("the message", lambda: notice(s.video()), 5, 0.05)
        reach(screen, 99)
        s.faces(play="play")
        seen = numbers(screen)
        turn = seen.index(199)
        check(seen[:turn + 1] == sorted(seen[:turn + 1]) and seen[turn + 1] < 5 and
              seen[turn + 1:] == sorted(seen[turn + 1:]), "pictures shown: %s" % seen)
        for key, first, end in (("Prior", 100, 200), ("Next", 0, 100)):
            mark = len(screen.pictures)
            s.key(key)
            # Pictures of the file playing until the key is served may come first.
            ours = lambda: [n for n in numbers(screen, mark) if first <= n < end]
            until("the pictures of " + key, lambda: (ours() != [], numbers(screen, mark)), 10,
                  0.05)
            check(ours()[0] == first, "%s showed %s" % (key, numbers(screen, mark)[:5]))

class Config:
    def __init__(self, a):
        self.build_dir, self.keep = os.path.abspath(a.build_dir), a.keep
        self.vidora = os.path.abspath(a.vidora or os.path.join(self.build_dir, "vidora"))
        self.krm_mux, self.amrnb_encode = (os.path.join(self.build_dir, "tools", t)
                                           for t in ("krm-mux", "amrnb-encode"))
        self.skins = {n: Image.bmp(os.path.join(a.source_dir, "res", n + ".bmp")) for n in (
            "skin-normal", "skin-large", "buttons-normal", "buttons-large")}

def run_scenario(config, name, limit):
    def stop_here(signum, frame):
        raise Timeout("past %d s" % limit if signum == signal.SIGALRM else "terminated")
    signal.signal(signal.SIGALRM, stop_here)
    signal.signal(signal.SIGTERM, stop_here)
    signal.alarm(limit)
    try:
        with Session(config, name) as s:
            SCENARIOS[name](s)
        print("PASS", name, flush=True)
        return True
    except (Failure, Timeout) as e:
        print("FAIL %s: %s" % (name, e), flush=True)
    except Exception:
        traceback.print_exc()
        print("FAIL %s: error in the test" % name, flush=True)
    finally:
        signal.alarm(0)
    return False

def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(here, "..", "..", "build"))
    parser.add_argument("--source-dir", default=os.path.join(here, "..", ".."))
    parser.add_argument("--vidora")
    parser.add_argument("--keep", action="store_true", help="keep each scenario's folder")
    parser.add_argument("--limit", type=int, default=100, help="seconds per scenario")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("scenarios", nargs="*")
    a = parser.parse_args()
    if a.list or set(a.scenarios) - set(SCENARIOS):
        print("\n".join(SCENARIOS))
        return 0 if a.list else 2
    config, names = Config(a), a.scenarios or list(SCENARIOS)
    failed = [n for n in names if not run_scenario(config, n, a.limit)]
    print("%d passed, %d failed" % (len(names) - len(failed), len(failed)))
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
