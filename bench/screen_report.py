#!/usr/bin/python3
"""What a person sees and hears: plays numbered, beeping recordings in the real player on an X
server of its own (bench/playback_watch.py does the watching), and adds the pictures that
reached the screen, the silence put into the sound and the sound's offset from its pictures to
bench/RESULTS.md and bench/results.json, which vidora-bench has just written.

usage: screen_report.py --build-dir DIR --out DIR [--seconds N] [--runs N]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

CASES = [((320, 240), "normal"), ((1280, 720), "normal"), ((1280, 720), "large"),
         ((1280, 720), "fullscreen")]


def watch(args, size, mode):
    here = os.path.dirname(os.path.abspath(__file__))
    script = os.path.join(here, "playback_watch.py")
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "watch.json")
        command = [sys.executable, script, "--vidora", os.path.join(args.build_dir, "vidora"),
                   "--krm-mux", os.path.join(args.build_dir, "tools", "krm-mux"),
                   "--amrnb-encode", os.path.join(args.build_dir, "tools", "amrnb-encode"),
                   "--size", "%dx%d" % size, "--seconds", str(args.seconds), "--mode", mode,
                   "--json", out]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0 or not os.path.exists(out):
            return {"error": (done.stderr or done.stdout).strip().splitlines()[-1:]}
        with open(out) as f:
            return json.load(f)


def median_of(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def summary(runs):
    good = [r for r in runs if "error" not in r]
    if not good:
        return {"error": runs[0].get("error") if runs else "no run"}
    worst_offset = max((abs(o) for r in good for _, o in r["beep_offsets_ms"]), default=None)
    return {
        "runs": len(good),
        "share_seen": median_of(good, "share_seen"),
        "pictures_per_second": median_of(good, "pictures_per_second"),
        "silence_ms_per_minute": median_of(good, "silence_inserted_ms_per_minute"),
        "offset_median_ms": median_of(good, "beep_offset_median_ms"),
        "offset_worst_ms": worst_offset,
        "sound_in_order": all(r["sound_pieces_in_order"] for r in good),
    }


def cell(value, digits=1):
    return "-" if value is None else ("%.*f" % (digits, value))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()

    rows = []
    for size, mode in CASES:
        runs = [watch(args, size, mode) for _ in range(args.runs)]
        result = summary(runs)
        result.update({"recording": "%dx%d" % size, "mode": mode, "seconds": args.seconds})
        rows.append(result)
        print("%s %s: %s" % (result["recording"], mode, result), flush=True)

    lines = ["", "## 10. On the screen and in the sound", "",
             "The real player in a window of its own X server with SDL's disk sound driver, on "
             "%d s recordings at 25 pictures a second whose pictures carry their number and whose "
             "sound beeps at every 50th picture (bench/playback_watch.py). Pictures reaching "
             "the screen are counted from the window's X DAMAGE updates and read back; the sound "
             "is timed as the device is handed it. Offset: the beep against its picture on the "
             "screen, positive when the sound comes later. Targets: at least 95 %% of the "
             "pictures, |offset| within 45 ms." % args.seconds, "",
             "| Recording | Mode | Pictures seen | On screen per s | Silence ms per min "
             "| Offset median ms | Offset worst ms | Sound in order |",
             "|---|---|---:|---:|---:|---:|---:|:-:|"]
    for r in rows:
        if "error" in r:
            lines.append("| %s | %s | failed: %s | | | | | |" % (r["recording"], r["mode"],
                                                               r["error"]))
            continue
        lines.append("| %s | %s | %.1f %% | %s | %s | %s | %s | %s |" % (
            r["recording"], r["mode"], 100 * (r["share_seen"] or 0),
            cell(r["pictures_per_second"], 2), cell(r["silence_ms_per_minute"]),
            cell(r["offset_median_ms"]), cell(r["offset_worst_ms"]),
            "yes" if r["sound_in_order"] else "**no**"))
    with open(os.path.join(args.out, "RESULTS.md"), "a") as f:
        f.write("\n".join(lines) + "\n")
    path = os.path.join(args.out, "results.json")
    data = {}
    if os.path.exists(path):
        with open(path) as f:
            data = json.load(f)
    data["screen"] = rows
    with open(path, "w") as f:
        json.dump(data, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
