#!/usr/bin/python3
"""The player's command line without a window: help, version, a file that cannot be opened, no
display to show the player on (it must say so and end at once, not play unseen), and no sound
card (it plays on silently, without the sound library's complaints).

usage: command_line_test.py VIDORA
"""

import os
import subprocess
import sys
import tempfile


def run(vidora, args, env):
    return subprocess.run([vidora] + args, env=env, capture_output=True, text=True, timeout=20)


def main():
    vidora = sys.argv[1]
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"):
        env.pop(name, None)
    env["SDL_AUDIODRIVER"] = "dummy"
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    done = run(vidora, ["--help"], env)
    expect(done.returncode == 0 and done.stdout.startswith("Usage: vidora"),
           "--help: %r" % ((done.returncode, done.stdout),))
    done = run(vidora, ["--version"], env)
    expect(done.returncode == 0 and done.stdout.startswith("vidora "),
           "--version: %r" % ((done.returncode, done.stdout),))

    with tempfile.TemporaryDirectory() as scratch:
        missing = os.path.join(scratch, "gone.krm")
        done = run(vidora, [missing], env)
        lines = done.stderr.splitlines()
        expect(done.returncode != 0, "no display: exit code %d" % done.returncode)
        expect(any(l.startswith("vidora: cannot open " + missing + ": ") for l in lines),
               "missing file: %r" % lines)
        expect(any(l.startswith("vidora: no display") for l in lines), "no display: %r" % lines)
        done = run(vidora, [scratch], env)
        expect(any("it is a folder" in l for l in done.stderr.splitlines()),
               "folder: %r" % done.stderr)

    # No sound card: the player plays on silently, and the sound library's complaints stay off
    # the terminal. The dummy video driver counts as a display when it is asked for by name.
    sample = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "samples", "demo.krm")
    quiet = dict(env, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="alsa", ALSA_CONFIG_PATH="/dev/null")
    player = subprocess.Popen([vidora, sample], env=quiet, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        player.wait(timeout=3)
    except subprocess.TimeoutExpired:
        player.terminate()
    out, err = player.communicate(timeout=20)
    expect(player.returncode == 0, "no sound card: exit code %d" % player.returncode)
    expect("ALSA" not in err and "ALSA" not in out, "no sound card: %r" % err[-500:])

    for failure in failures:
        print("FAIL", failure)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
