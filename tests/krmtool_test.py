#!/usr/bin/python3
"""krmtool on real recordings and on damaged ones made by krm-mux: every field of info, its JSON
against its text, check's lines and exit codes, the scan for records after damage, thumbnails,
usage errors.
usage: krmtool_test.py KRMTOOL KRM_MUX TESTDATA_DIR"""
import json, os, re, struct, subprocess, sys, tempfile, zlib

krmtool, mux, data = sys.argv[1:4]
failures, checks = [], 0


def expect(what, ok, detail=""):
    global checks
    checks += 1
    if not ok:
        failures.append("%s %s" % (what, detail))


def run(*args):
    return subprocess.run([krmtool] + list(args), capture_output=True, text=True, timeout=60)


def records(path):
    """Offsets and timestamps of the records, walked here independently of krmtool."""
    raw, at, out = open(path, "rb").read(), 1024, []
    while at + 32 <= len(raw):
        sync, _, _, _, _, _, _, _, stamp, video, audio = struct.unpack_from("<IIHHHHHHIII", raw, at)
        if sync != 0x12345678:
            break
        out.append((at, stamp))
        at += 32 + video + audio
    return out


def info(path):
    """The JSON object for `path`, after checking that the text block says the same."""
    text, js = run("info", path), run("info", "--json", path)
    expect(path + " exit", text.returncode == 0 and js.returncode == 0, text.stderr + js.stderr)
    obj = json.loads(js.stdout)
    lines = dict(l.split(": ", 1) for l in text.stdout.splitlines() if not l.startswith("gap: "))
    size = lambda w, h: "%sx%s" % (obj[w], obj[h]) if obj[w] is not None else "none decoded"
    dur = "%.3f s (%s)" % (obj["duration_seconds"], obj["duration"])
    key = ("none" if obj["key_interval_records"] is None else "%d records, %.3f s" % (
        obj["key_interval_records"], obj["key_interval_seconds"]))
    damage = "none" if not obj["damaged"] else "at offset %d (%s)" % (obj["bad_offset"],
                                                                        obj["bad_reason"])
    agree = {"file": path, "codec tag": obj["codec_tag"], "codec": obj["codec"],
             "declared size": size("declared_width", "declared_height"),
             "picture size": size("picture_width", "picture_height"),
             "records": str(obj["records"]), "first record": obj["first_time"],
             "last record": obj["last_time"], "duration": dur,
             "gaps over 1 s": str(obj["gap_count"]), "key pictures": str(obj["key_pictures"]),
             "key-picture interval": key, "audio frames": str(obj["audio_frames"]),
             "audio modes": ", ".join(obj["audio_modes"]) or "none", "damage": damage}
    if obj["damaged"]:
        agree["bytes from there to the end"] = str(obj["bytes_from_bad"])
        agree["records resume at"] = ("none" if obj["resumes_at"] is None
                                      else "offset %d" % obj["resumes_at"])
    for name, value in agree.items():
        expect("%s text %r" % (path, name), lines.get(name) == value, (lines.get(name), value))
    gaps = [l for l in text.stdout.splitlines() if l.startswith("gap: ")]
    expect(path + " gap lines", gaps == ["gap: record %(record)d, offset %(offset)d, %(before)s "
                                         "-> %(after)s, %(ms)d ms" % g for g in obj["gaps"]])
    return obj


def png(path):
    """Width, height and mean byte of an 8-bit RGB PNG, read here independently of FFmpeg."""
    raw, at, idat = open(path, "rb").read(), 8, b""
    if raw[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    while at < len(raw):
        length, kind = struct.unpack_from(">I4s", raw, at)
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack_from(">IIBB", raw, at + 8)
        idat += raw[at + 8:at + 8 + length] if kind == b"IDAT" else b""
        at += 12 + length
    if (depth, colour) != (8, 2):
        return None
    data, stride, prior, total = zlib.decompress(idat), 3 * width, bytearray(3 * width), 0
    for y in range(height):
        kind, row = data[y * (stride + 1)], bytearray(data[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a, b, c = row[x - 3] if x >= 3 else 0, prior[x], prior[x - 3] if x >= 3 else 0
            p = a + b - c
            paeth = a if abs(p - a) <= min(abs(p - b), abs(p - c)) else b if abs(p - b) <= abs(p - c) else c
            row[x] = (row[x] + (0, a, b, (a + b) // 2, paeth)[kind]) & 0xFF
        total, prior = total + sum(row), row
    return width, height, total / (stride * height)


with tempfile.TemporaryDirectory() as scratch:
    # The recordings the build makes, whole.
    whole = {"h264_320x240": ("h264", (320, 240), (320, 240), 100, 25),
             "h264_1280x720_b": ("h264", (1280, 720), (1280, 720), 100, 25),
             "h263_352x288": ("h263", (0, 0), (352, 288), 100, None),
             "h263_176x144_low": ("h263", (0, 0), (176, 144), 40, None)}
    for name, (codec, declared, picture, count, key) in whole.items():
        path = os.path.join(data, name + ".krm")
        o = info(path)
        got = (o["codec_tag"], o["codec"], (o["declared_width"], o["declared_height"]),
               (o["picture_width"], o["picture_height"]), o["records"], o["key_interval_records"],
               o["first_time"], o["audio_frames"], o["audio_modes"], o["damaged"], o["gap_count"])
        want = (codec, codec, declared, picture, count, key, "2015.06.01 12:00:00", 200,
                ["12.2 kbit/s"], False, 0)
        expect(name, got == want, (got, want))
        last = records(path)[-1][1] - records(path)[0][1]
        expect(name + " duration", round(o["duration_seconds"] * 1000) == last, o["duration"])
        # Its thumbnail: the longer side as asked, the shape kept, a picture (the test picture's
        # colour bars), and no other file beside it.
        thumb = os.path.join(scratch, "thumb.png")
        for option, size in (("-s", 128), ("--size", 256)):
            done = run("thumbnail", option, str(size), path, thumb)
            w, h = picture
            shape = (size, int(size * h / w + 0.5)) if w >= h else (int(size * w / h + 0.5), size)
            got = png(thumb) if done.returncode == 0 else done.stderr
            expect(name + " thumbnail %d" % size, got and got[:2] == shape and got[2] > 60 and
                   os.listdir(scratch) == ["thumb.png"], (got, shape))
            os.remove(thumb)
    multi = run("info", *[os.path.join(data, n + ".krm") for n in whole])
    expect("blocks", multi.stdout.count("\n\nfile: ") == len(whole) - 1)

    def make(name, *options, video="h264_320x240.h264"):
        path = os.path.join(scratch, name + ".krm")
        kind = "--h264" if video.endswith("h264") else "--h263"
        subprocess.run([mux, kind, os.path.join(data, video), "--amr",
                        os.path.join(data, "speech.amr"), "--out", path] + list(options),
                       check=True)
        return path

    # A sync word lost in the middle: records resume at the next one.
    mid = make("mid", "--bad-sync", "50", "--size", "320x240")
    good = records(make("good", "--size", "320x240"))
    o = info(mid)
    expect("mid", (o["records"], o["bad_offset"], o["bad_reason"], o["resumes_at"],
                   o["bytes_from_bad"]) ==
           (50, good[50][0], "bad sync word", good[51][0], os.path.getsize(mid) - good[50][0]),
           o)
    # A stray sync word whose plausible header leads nowhere is not taken for a record.
    raw = bytearray(open(mid, "rb").read())
    fake = good[50][0] + 100
    raw[fake:fake + 32] = struct.pack("<IIHHHHHHIII", 0x12345678, 0x12340008, 2015, 6, 1, 12, 0,
                                      2, 0, 64, 0)
    stray = os.path.join(scratch, "stray.krm")
    open(stray, "wb").write(raw)
    expect("stray sync", info(stray)["resumes_at"] == good[51][0])
    # Valid records after a megabyte of zeros, their first sync word across the scan's first
    # two 1 MiB blocks (the scan starts one byte past the bad record).
    raw = open(mid, "rb").read()
    resume = 1025 + (1 << 20) - 2
    zeros = os.path.join(scratch, "zeros.krm")
    open(zeros, "wb").write(raw[:1024] + bytes(resume - 1024) + raw[good[51][0]:])
    o = info(zeros)
    expect("block edge", (o["records"], o["bad_offset"], o["resumes_at"]) == (0, 1024, resume), o)
    # A tail cut off: nothing resumes.
    tail = make("tail", "--truncate", str(good[60][0] + 40), "--size", "320x240")
    o = info(tail)
    expect("tail", (o["records"], o["bad_offset"], o["resumes_at"], o["bytes_from_bad"]) ==
           (60, good[60][0], None, 40), o)
    expect("tail reason", "cut short" in o["bad_reason"], o["bad_reason"])
    # Timestamps 1.5 s apart: every step is a gap, the first 20 listed.
    gaps = make("gaps", "--timestamp-step", "1500")
    o, at = info(gaps), records(gaps)
    expect("gaps", (o["gap_count"], len(o["gaps"]), o["gaps"][0]["record"],
                    o["gaps"][0]["offset"], o["gaps"][0]["ms"], o["duration"]) ==
           (99, 20, 1, at[1][0], 1500, "1:39"), o["gaps"][:1])
    expect("gaps text", "gaps not listed: 79\n" in run("info", gaps).stdout)
    # The tag as written, bytes that are not printable escaped.
    o = info(make("tag", "--raw-tag", "h26\\x01", video="h263_352x288.h263"))
    expect("tag", (o["codec_tag"], o["codec"]) == ("h26\\x01", "h263"), o["codec_tag"])

    # check: one line per file, exit 0 only when every file is whole.
    ok = os.path.join(data, "h264_320x240.krm")
    missing = os.path.join(scratch, "gone.krm")
    notrec = os.path.join(data, "speech.amr")
    done = run("check", ok, mid, tail, missing, notrec, scratch)
    expect("check lines", done.returncode == 1 and done.stdout.splitlines() == [
        ok + ": ok, 100 records",
        mid + ": damaged at offset %d (bad sync word), 50 records before it" % good[50][0],
        tail + ": damaged at offset %d (payload cut short by the end of the file), 60 records "
        "before it" % good[60][0],
        missing + ": cannot be opened: No such file or directory",
        notrec + ": not a recording",
        scratch + ": cannot be opened: it is a folder"], done.stdout)
    expect("check ok", run("check", ok, gaps).returncode == 0)

    # Thumbnails: 256 pixels unless asked; no picture, no file (a header cut short, garbage
    # after the header, the first record cut short).
    done = run("thumbnail", ok, os.path.join(scratch, "default.png"))
    expect("thumbnail default", done.returncode == 0 and
           png(os.path.join(scratch, "default.png"))[:2] == (256, 192), done.stderr)
    raw = open(ok, "rb").read()
    for name, content in (("short", raw[:600]), ("garbage", raw[:1024] + bytes(range(256)) * 40),
                          ("first cut", raw[:1024 + 32 + 100])):
        bad, out = os.path.join(scratch, "bad.krm"), os.path.join(scratch, "bad.png")
        open(bad, "wb").write(content)
        done = run("thumbnail", bad, out)
        expect("thumbnail " + name, done.returncode == 1 and done.stderr.startswith("krmtool: ")
               and not os.path.exists(out), (done.returncode, done.stderr))
    thumb = os.path.join(scratch, "thumb.png")

    # Usage and the files info cannot read.
    version = re.search(r"project\(vidora VERSION (\S+)",
                        open(os.path.join(os.path.dirname(__file__), "..", "CMakeLists.txt"))
                        .read()).group(1)
    for args, code, stream, pattern in (
            (["--help"], 0, "stdout", r"\AUsage: krmtool"),
            (["--version"], 0, "stdout", r"\Akrmtool %s\n\Z" % re.escape(version)),
            (["info", missing], 1, "stderr", r"\Akrmtool: cannot open .*gone.krm: No such"),
            (["info", notrec], 1, "stderr", r"\Akrmtool: .*speech.amr: not a recording\n\Z"),
            (["info"], 2, "stderr", r"\Akrmtool: info: no file given"),
            (["info", ok, "--jsn"], 2, "stderr", r"\Akrmtool: info: unknown option --jsn\n\Z"),
            (["check"], 2, "stderr", r"\Akrmtool: check: no file"),
            (["frobnicate"], 2, "stderr", r"\Akrmtool: unknown command: frobnicate"),
            ([], 2, "stderr", r"\Akrmtool: no command"),
            (["thumbnail", ok], 2, "stderr", r"\Akrmtool: thumbnail: usage: .*\n\Z"),
            (["thumbnail", "-s", "0", ok, thumb], 2, "stderr", r"\Akrmtool: thumbnail: size \"0\""),
            (["thumbnail", "-s", "4097", ok, thumb], 2, "stderr", r"size \"4097\" is not"),
            (["thumbnail", "--size", "9x", ok, thumb], 2, "stderr", r"size \"9x\" is not"),
            (["thumbnail", ok, thumb, "-s"], 2, "stderr", r"\Akrmtool: thumbnail: -s needs"),
            (["thumbnail", "-z", ok, thumb], 2, "stderr", r"unknown option -z\n\Z"),
            (["thumbnail", missing, thumb], 1, "stderr", r"\Akrmtool: cannot open .*gone.krm"),
            (["thumbnail", notrec, thumb], 1, "stderr", r"speech.amr is not a recording\n\Z")):
        done = run(*args)
        expect(str(args), done.returncode == code and re.search(pattern, getattr(done, stream)),
               (done.returncode, done.stdout[:200], done.stderr))
    expect("no thumbnail left", not os.path.exists(thumb) and not any(
        n.startswith(".krmtool") for n in os.listdir(scratch)), os.listdir(scratch))
    # With --json a file that cannot be read still has its line, so lines match files.
    done = run("info", "--json", missing, ok)
    lines = [json.loads(l) for l in done.stdout.splitlines()]
    expect("json error line", done.returncode == 1 and "error" in lines[0] and
           lines[1]["records"] == 100, done.stdout)

print("".join("FAIL %s\n" % f for f in failures) + "%d passed, %d failed" % (
    checks - len(failures), len(failures)))
sys.exit(1 if failures else 0)
