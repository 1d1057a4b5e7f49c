#!/usr/bin/python3
"""The command line without a window: help, version, files that cannot be opened, no display (an
error at once, not an unseen player), no sound card (it plays on silently, without the sound
library's complaints). usage: command_line_test.py VIDORA"""
import os, re, subprocess, sys, tempfile

vidora, failures = sys.argv[1], []
env = {k: v for k, v in os.environ.items() if "DISPLAY" not in k and k != "SDL_VIDEODRIVER"}
env["SDL_AUDIODRIVER"] = "dummy"
with tempfile.TemporaryDirectory() as scratch:
    missing = os.path.join(scratch, "gone.krm")
    for args, fails, pattern in ((["--help"], 0, r"\AUsage: vidora"),
                                 (["--version"], 0, r"\Avidora "),
                                 ([missing], 1, "^vidora: cannot open %s: " % re.escape(missing)),
                                 ([missing], 1, "^vidora: no display"),
                                 ([scratch], 1, "it is a folder"),
                                 (["--bogus"], 1, "^vidora: unknown option --bogus"),
                                 (["--", "-x.krm", missing], 1, r"open -x\.krm: (.|\n)*open %s: "
                                  % re.escape(missing))):
        done = subprocess.run([vidora] + args, env=env, capture_output=True, text=True, timeout=20)
        said = done.stderr if fails else done.stdout
        if (done.returncode != 0) != fails or not re.search(pattern, said, re.M):
            failures.append("%s: %r" % (args, (done.returncode, done.stdout, done.stderr)))
# The dummy video driver counts as a display when it is asked for by name.
sample = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "samples", "demo.krm")
player = subprocess.Popen([vidora, sample], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, env=dict(env, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="alsa",
                                              ALSA_CONFIG_PATH="/dev/null"))
try:
    player.wait(timeout=3)
except subprocess.TimeoutExpired:
    player.terminate()
out = player.communicate(timeout=20)[0]
if player.returncode != 0 or "ALSA" in out:
    failures.append("no sound card: %d %r" % (player.returncode, out[-500:]))
print("".join("FAIL %s\n" % f for f in failures) + "%d passed, %d failed" % (8 - len(failures),
                                                                           len(failures)))
sys.exit(1 if failures else 0)
