#!/usr/bin/python3
"""The Windows installer under wine, in a wine prefix of its own and on an Xvfb of its own:
installed silently for the current user, the files, the Start-menu shortcut, the .krm
association and the Add/Remove Programs entry are checked, the installed player plays the
installed sample (its window found, its picture seen moving) and closes on Esc, and the silent
uninstaller takes it all away again; then the same for all users, where the player is started
through the association as Explorer would, and a .krm association taken over by another program
since must outlive the uninstall.
usage: installer_test.py SETUP_EXE BUILD_DIR
  SETUP_EXE  vidora-VERSION-setup.exe (packaging/windows/make-installer.sh)
  BUILD_DIR  the Windows build folder it was made in (installer-files/: the programs it holds)
Needs wine (64-bit), Xvfb, xdotool and ImageMagick's import."""
import contextlib, ctypes, filecmp, os, pwd, random, re, shutil, signal, subprocess, sys
import tempfile, time
from types import SimpleNamespace

setup, build = (os.path.abspath(a) for a in sys.argv[1:3])
source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
with open(os.path.join(source, "CMakeLists.txt")) as f:
    VERSION = re.search(r"project\(vidora VERSION ([0-9.]+)", f.read()).group(1)
PROGID, CLASSES = "Vidora.Recording", r"Software\Classes"
UNINSTALL = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Vidora"
FILES = ("vidora.exe", "krmtool.exe", "README.txt", r"samples\demo.krm", "Uninstall.exe")
W, H = 1280, 800
# The normal skin's window, and its video area (skin/skin_layout.cpp) less the top 20 rows,
# where the date and time change every second whether the picture moves or not.
NORMAL_SIZE, VIDEO = (520, 276), (88, 40, 420, 256)
LIBC = ctypes.CDLL(None)
failures = []


class Failure(Exception):
    pass


def expect(what, ok, detail=""):
    if not ok:
        failures.append("%s %s" % (what, detail))
    return ok


def run(args, env, timeout=120):
    try:
        return subprocess.run(args, env=env, capture_output=True, text=True, errors="replace",
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Failure("%s did not end within %d s" % (" ".join(args), timeout))


def until(what, probe, timeout, interval=0.25):
    """Calls probe() -> (ok, detail) until ok and returns the detail; fails after `timeout` s."""
    end = time.monotonic() + timeout
    while not (result := probe())[0]:
        if time.monotonic() > end:
            raise Failure("waited %g s for %s (last: %s)" % (timeout, what, result[1]))
        time.sleep(interval)
    return result[1]


def spawn(args, env, out=subprocess.DEVNULL, **kwargs):
    """A process group of its own that dies with this script, even when it is killed."""
    return subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=subprocess.STDOUT, start_new_session=True,
                            preexec_fn=lambda: LIBC.prctl(1, signal.SIGKILL, 0, 0, 0), **kwargs)


def stop(process):
    if process and process.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait(10)


def start_xvfb(env):
    for number in random.sample(range(300, 900), 20):  # numbers other runs hardly use
        read, write = os.pipe()
        xvfb = spawn(["Xvfb", ":%d" % number, "-displayfd", str(write), "-screen", "0",
                      "%dx%dx24" % (W, H), "-nolisten", "tcp", "-noreset"], env, pass_fds=(write,))
        os.close(write)
        with os.fdopen(read) as f:  # the number and a newline once it is ready, EOF if it ends
            if f.readline().strip():
                return xvfb, ":%d" % number
        stop(xvfb)
    raise Failure("no Xvfb display could be started")


class Wine:
    """A fresh wine prefix, its own home and sound (ALSA's null output) and the Xvfb display."""
    def __init__(self, scratch, display):
        self.prefix = os.path.join(scratch, "prefix")
        alsa = os.path.join(scratch, "alsa.conf")
        with open(alsa, "w") as f:
            f.write("</usr/share/alsa/alsa.conf>\npcm.!default { type null }\n")
        os.mkdir(os.path.join(scratch, "home"))
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("XDG_", "WAYLAND_", "WINE"))}
        # No Mono or Gecko prompts, and no menu entries or file types for the host's desktop.
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", DISPLAY=display,
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                        HOME=os.path.join(scratch, "home"), ALSA_CONFIG_PATH=alsa)
        self.user = pwd.getpwuid(os.getuid()).pw_name

    def __call__(self, *args, timeout=120):
        return run(["wine", *args], self.env, timeout)

    def settle(self):
        """Waits for every program in the prefix to end (NSIS uninstallers run from a copy)."""
        run(["wineserver", "-w"], self.env, 60)

    def host(self, path):
        """The host's path of a C: path."""
        assert path[:3].upper() == "C:\\", path
        return os.path.join(self.prefix, "drive_c", *path[3:].split("\\"))

    def registry(self, hive):
        """The installer's keys under HKCU or HKLM and their subkeys: {key: {name: data}}."""
        keys = (CLASSES + r"\.krm", CLASSES + "\\" + PROGID, UNINSTALL)
        out = self("cmd", "/c", " & ".join(r"reg query %s\%s /s" % (hive, k) for k in keys))
        found, values = {}, None
        for line in out.stdout.splitlines():
            if line.startswith("HKEY_"):
                values = found.setdefault(line.strip().split("\\", 1)[1], {})
            elif line.startswith("    ") and values is not None:
                name, _, data = (line[4:].split("    ", 2) + ["", ""])[:3]
                values[name] = data
        return found


def installed(wine, mode):
    """Files, shortcut and registry of an installation in `mode`; the registry as found."""
    folder, exe = wine.host(mode.instdir), mode.instdir + r"\vidora.exe"
    for name in FILES:
        expect(mode.name + ": installed file",
               os.path.isfile(os.path.join(folder, *name.split("\\"))), name)
    shipped = os.path.join(build, "installer-files")  # the build's programs, stripped
    for name, original in (("vidora.exe", os.path.join(shipped, "vidora.exe")),
                           ("krmtool.exe", os.path.join(shipped, "krmtool.exe")),
                           (r"samples\demo.krm", os.path.join(source, "samples", "demo.krm"))):
        path = os.path.join(folder, *name.split("\\"))
        expect(mode.name + ": installed file is the build's", not os.path.isfile(path) or
               filecmp.cmp(path, original, shallow=False), name)
    link = wine.host(mode.programs + r"\Vidora.lnk")
    expect(mode.name + ": Start-menu shortcut to the player", os.path.isfile(link) and
           exe.encode("utf-16-le") in open(link, "rb").read(), link)

    reg, other = wine.registry(mode.hive), wine.registry(mode.other)
    wanted = {
        CLASSES + r"\.krm": {"(Default)": PROGID},
        CLASSES + r"\.krm\OpenWithProgids": {PROGID: ""},
        CLASSES + "\\" + PROGID + r"\DefaultIcon": {"(Default)": exe + ",0"},
        CLASSES + "\\" + PROGID + r"\shell\open\command": {"(Default)": '"%s" "%%1"' % exe},
        UNINSTALL: {"DisplayName": "Vidora", "DisplayVersion": VERSION,
                    "DisplayIcon": exe + ",0", "InstallLocation": mode.instdir,
                    "UninstallString": '"%s\\Uninstall.exe"' % mode.instdir,
                    "QuietUninstallString": '"%s\\Uninstall.exe" /S' % mode.instdir,
                    "NoModify": "0x1", "NoRepair": "0x1"}}
    for key, values in wanted.items():
        for name, value in values.items():
            got = reg.get(key, {}).get(name)
            expect("%s: %s\\%s [%s]" % (mode.name, mode.hive, key, name), got == value,
                   "is %r, not %r" % (got, value))
    entry = reg.get(UNINSTALL, {})
    expect(mode.name + ": uninstall entry's Publisher", entry.get("Publisher"))
    size = sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(folder) for n in ns)
    kib = int(entry.get("EstimatedSize", "0"), 16)
    expect(mode.name + ": EstimatedSize", abs(kib * 1024 - size) <= size // 20,
           "%d KiB for %d bytes installed" % (kib, size))
    expect("%s: nothing in %s" % (mode.name, mode.other), not other, other)
    return reg


def screen(wine):
    raw = subprocess.run(["import", "-window", "root", "-depth", "8", "rgb:-"], env=wine.env,
                         capture_output=True, timeout=30).stdout
    if len(raw) != W * H * 3:
        raise Failure("import gave %d bytes for the screen" % len(raw))
    return raw


def video_area(raw, x, y):
    l, t, r, b = VIDEO
    return b"".join(raw[((y + row) * W + x + l) * 3:((y + row) * W + x + r) * 3]
                    for row in range(t, b))


def xdo(wine, *args):
    return run(["xdotool", *map(str, args)], wine.env, 20)


def player_window(wine):
    """(id, left, top) of a visible window named Vidora of the normal skin's size."""
    for window in xdo(wine, "search", "--onlyvisible", "--name", "Vidora").stdout.split():
        m = re.search(r"Position: (-?\d+),(-?\d+).*Geometry: (\d+)x(\d+)",
                      xdo(wine, "getwindowgeometry", window).stdout, re.S)
        if m and (int(m[3]), int(m[4])) == NORMAL_SIZE:
            return True, (window, int(m[1]), int(m[2]))
    return False, "no such window"


def plays(wine, command, what, log):
    """Starts `command` under wine, waits for the player's window, sees a moving picture in its
    video area and closes it with Esc; the player must then end with exit code 0."""
    with open(log, "ab") as out:
        player = spawn(["wine", *command], wine.env, out)
    try:
        _, x, y = until(what + ": the player's window", lambda: player_window(wine), 60)
        seen = SimpleNamespace(last=None, lit=0, changed=0)

        def moving():
            pixels = video_area(screen(wine), x, y)
            seen.lit = sum(pixels) / len(pixels)
            if seen.lit < 64:  # black, or as dark as the skin: no picture yet
                return False, "mean level %.0f" % seen.lit
            if seen.last:
                seen.changed = sum(abs(a - b) > 40 for a, b in zip(pixels, seen.last))
            seen.last = pixels
            return seen.changed > len(pixels) // 50, "%d of %d values changed, level %.0f" % (
                seen.changed, len(pixels), seen.lit)
        until(what + ": a moving picture in the video area", moving, 20, 0.5)
        # A click on the frame makes the window wine's active one, which gets the keys.
        xdo(wine, "mousemove", x + 60, y + 10, "click", "1")
        xdo(wine, "key", "Escape")
        until(what + ": the player to exit on Esc", lambda: (player.poll() is not None, ""), 15)
        expect(what + ": the player's exit code", player.returncode == 0, player.returncode)
    finally:
        if player.poll() is None:
            run(["wineserver", "-k"], wine.env, 30)
            stop(player)


def uninstalled(wine, mode, reg, left={}):
    """Runs the uninstaller as Add/Remove Programs' quiet command does; then nothing of the
    installation may be left but the registry keys `left`."""
    exe, args = re.fullmatch(r'"([^"]+)"\s*(.*)', reg[UNINSTALL]["QuietUninstallString"]).groups()
    done = wine(exe, *args.split())
    expect(mode.name + ": uninstaller's exit code", done.returncode == 0, done.stderr[-500:])
    wine.settle()
    folder = wine.host(mode.instdir)
    expect(mode.name + ": folder removed", not os.path.exists(folder),
           os.listdir(folder) if os.path.isdir(folder) else "")
    expect(mode.name + ": shortcut removed",
           not os.path.exists(wine.host(mode.programs + r"\Vidora.lnk")))
    reg = wine.registry(mode.hive)
    expect(mode.name + ": registry after uninstalling", reg == left, reg)


def install(wine, mode, *args):
    done = wine(setup, "/S", *args)
    wine.settle()
    if not expect(mode.name + ": installer's exit code", done.returncode == 0, done.stderr[-500:]):
        raise Failure("no installation to check")


def main():
    missing = [t for t in ("wine", "wineboot", "wineserver", "Xvfb", "xdotool", "import")
               if not shutil.which(t)]
    if missing:
        sys.exit("installer_test: missing %s (Debian: wine64, xvfb, xdotool, imagemagick)" %
                 ", ".join(missing))
    if not os.path.isfile(setup):
        sys.exit("installer_test: no installer %s (packaging/windows/make-installer.sh)" % setup)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vidora-installer-") as scratch:
        xvfb, display = start_xvfb(os.environ)
        wine = Wine(scratch, display)
        log = os.path.join(scratch, "player.log")
        try:
            run(["wineboot", "-i"], wine.env, 300)
            wine.settle()
            user = r"C:\users\%s\AppData" % wine.user
            per_user = SimpleNamespace(
                name="current user", hive="HKCU", other="HKLM",
                instdir=user + r"\Local\Programs\Vidora",
                programs=user + r"\Roaming\Microsoft\Windows\Start Menu\Programs")
            all_users = SimpleNamespace(
                name="all users", hive="HKLM", other="HKCU",
                instdir=r"C:\Program Files\Vidora",
                programs=r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs")

            install(wine, per_user)
            reg = installed(wine, per_user)
            # As the association's command runs it: wine's shell looks in HKLM's classes only.
            command = reg.get(CLASSES + "\\" + PROGID + r"\shell\open\command", {})
            exe = re.match(r'"([^"]+)"', command.get("(Default)", ""))
            if expect(per_user.name + ": open command", exe):
                plays(wine, [exe[1], per_user.instdir + r"\samples\demo.krm"], per_user.name, log)
            uninstalled(wine, per_user, reg)

            install(wine, all_users, "/AllUsers")
            reg = installed(wine, all_users)
            plays(wine, ["start", "/wait", all_users.instdir + r"\samples\demo.krm"],
                  all_users.name, log)
            # Another program takes .krm over: the uninstaller must leave it to that program.
            wine("reg", "add", r"HKLM\%s\.krm" % CLASSES, "/ve", "/d", "Other.Recording", "/f")
            uninstalled(wine, all_users, reg,
                        {CLASSES + r"\.krm": {"(Default)": "Other.Recording"}})
        except Failure as failure:
            failures.append(str(failure))
        finally:
            if failures and os.path.exists(log) and os.path.getsize(log):
                with open(log, errors="replace") as f:
                    print("player output:\n" + f.read()[-3000:])
            run(["wineserver", "-k"], wine.env, 30)
            stop(xvfb)
    print("installer_test: %.0f s" % (time.monotonic() - started))
    if failures:
        print("\n".join("FAILED: " + f for f in failures))
        sys.exit(1)
    print("installer_test: all checks passed")


main()
