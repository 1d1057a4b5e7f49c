#!/usr/bin/python3
"""The installed tree as a desktop sees it: `cmake --install` into a scratch root, the MIME and
desktop caches built there, then the .krm type (by name and by content), the default application,
the launcher and software-centre entry, icons, manual pages, the programs and the thumbnailer,
each looked up through that tree alone.
usage: install_test.py CMAKE BUILD_DIR"""
import glob, os, random, shlex, shutil, struct, subprocess, sys, tempfile

cmake, build = sys.argv[1:3]
failures = []


def expect(what, ok, detail=""):
    if not ok:
        failures.append("%s %s" % (what, detail))


def run(args, env=None, timeout=60):
    return subprocess.run(args, capture_output=True, text=True, env=env, timeout=timeout)


def png_size(path):
    """Width and height from a PNG's IHDR chunk, or None when it is no PNG."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


tools = {"update-mime-database": "shared-mime-info", "update-desktop-database":
         "desktop-file-utils", "desktop-file-validate": "desktop-file-utils",
         "xdg-mime": "xdg-utils", "mimetype": "libfile-mimeinfo-perl",
         "appstreamcli": "appstream", "man": "man-db"}
missing = ["%s (%s)" % (t, p) for t, p in tools.items() if not shutil.which(t)]
if missing:
    sys.exit("install_test: missing %s; `make deps` installs them" % ", ".join(missing))

with tempfile.TemporaryDirectory() as scratch:
    root = os.path.join(scratch, "root")
    usr = root + "/usr"
    share = usr + "/share"
    done = run([cmake, "--install", build, "--prefix", "/usr"],
               env=dict(os.environ, DESTDIR=root), timeout=120)
    if done.returncode != 0:
        sys.exit("install_test: cmake --install failed:\n" + done.stdout + done.stderr)
    for tool, folder in (("update-mime-database", "mime"),
                         ("update-desktop-database", "applications")):
        done = run([tool, os.path.join(share, folder)])
        expect(tool, done.returncode == 0, done.stderr)

    # A desktop with no environment of its own (xdg-mime's generic path, which asks `mimetype`)
    # that sees only the installed tree: no user settings, no system folders.
    for d in ("home", "data-home", "config-home", "config-dirs", "empty"):
        os.mkdir(os.path.join(scratch, d))
    xdg = {"PATH": usr + "/bin:" + os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8",
           "HOME": scratch + "/home", "XDG_DATA_DIRS": share,
           "XDG_DATA_HOME": scratch + "/data-home", "XDG_CONFIG_HOME": scratch + "/config-home",
           "XDG_CONFIG_DIRS": scratch + "/config-dirs"}
    data = os.path.join(build, "testdata")
    recordings = sorted(glob.glob(os.path.join(data, "*.krm")))
    expect("test recordings in " + data, len(recordings) >= 2)
    bare = os.path.join(scratch, "recording-without-extension")
    shutil.copyfile(recordings[0], bare)
    for path in (recordings[0], bare):
        got = run(["xdg-mime", "query", "filetype", path], env=xdg).stdout.strip()
        expect("filetype of " + path, got == "video/x-krm", repr(got))
        # The answer must come from the installed database, not from one of the machine's.
        alone = run(["xdg-mime", "query", "filetype", path],
                    env=dict(xdg, XDG_DATA_DIRS=scratch + "/empty")).stdout.strip()
        expect("filetype without the installed database " + path, alone != "video/x-krm")
    got = run(["xdg-mime", "query", "default", "video/x-krm"], env=xdg).stdout.strip()
    expect("default application", got == "vidora.desktop", repr(got))

    # The launcher and the software-centre entry as installed, with the icons they name.
    done = run(["desktop-file-validate", share + "/applications/vidora.desktop"])
    expect("desktop-file-validate", done.returncode == 0 and not done.stdout.strip(),
           done.stdout + done.stderr)
    done = run(["appstreamcli", "validate-tree", "--no-net", root])
    expect("appstreamcli validate-tree", done.returncode == 0, done.stdout + done.stderr)
    for size in (16, 22, 24, 32, 48, 64, 128, 256):
        icon = "%s/icons/hicolor/%dx%d/apps/vidora.png" % (share, size, size)
        expect("icon " + icon, os.path.exists(icon) and png_size(icon) == (size, size))
    expect("scalable icon", os.path.exists(share + "/icons/hicolor/scalable/apps/vidora.svg"))
    for page in ("vidora", "krmtool"):
        path = "%s/man/man1/%s.1.gz" % (share, page)
        done = run(["man", "--warnings", "-l", path]) if os.path.exists(path) else None
        expect("manual page " + path, done is not None and done.returncode == 0
               and not done.stderr and page in done.stdout, done and done.stderr)

    # The programs, and the release the software-centre entry names is the one they report.
    versions = {}
    for program in ("vidora", "krmtool"):
        path = os.path.join(usr, "bin", program)
        done = run([path, "--version"]) if os.path.exists(path) else None
        ok = done is not None and done.returncode == 0 and done.stdout.startswith(program + " ")
        expect(path + " --version", ok, done.stdout + done.stderr if done else "not installed")
        versions[program] = done.stdout.split()[-1] if ok else None
    metainfo = open(share + "/metainfo/io.github.vidora.vidora.metainfo.xml").read()
    expect("metainfo release", '<release version="%s"' % versions["vidora"] in metainfo)

    # The thumbnailer's command as a file manager runs it: %s size, %i input, %o output.
    entry = dict(line.split("=", 1) for line in
                 open(share + "/thumbnailers/vidora.thumbnailer").read().splitlines()
                 if "=" in line)
    expect("thumbnailer TryExec", shutil.which(entry["TryExec"], path=xdg["PATH"]) is not None)
    expect("thumbnailer MimeType", entry["MimeType"].split(";")[0] == "video/x-krm")

    def thumbnail(size, source, out):
        words = {"%s": str(size), "%i": source, "%o": out}
        args = [words.get(w, w) for w in shlex.split(entry["Exec"])]
        return run(args, env=xdg, timeout=60)

    # krmtool's own test covers the pictures; here the entry's command line must work as
    # installed, for a whole recording and a damaged one.
    out = os.path.join(scratch, "thumb.png")
    done = thumbnail(128, recordings[0], out)
    got = png_size(out) if done.returncode == 0 and os.path.exists(out) else None
    expect("thumbnail", got is not None and max(got) == 128, (done.returncode, got, done.stderr))
    noise = os.path.join(scratch, "noise.krm")
    open(noise, "wb").write(open(recordings[0], "rb").read(1024) +
                            random.Random(7).randbytes(256 * 1024))
    done = thumbnail(128, noise, noise + ".png")
    # Below 128 is krmtool's own nonzero exit; a signal or a shell's 128+N is a crash.
    expect("thumbnail of noise", 0 < done.returncode < 128 and not os.path.exists(noise + ".png"),
           (done.returncode, done.stderr))

if failures:
    print("\n".join("FAILED: " + f for f in failures))
    sys.exit(1)
print("install_test: all checks passed")
