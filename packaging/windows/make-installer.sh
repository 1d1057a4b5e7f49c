#!/bin/bash
# Builds the Windows installer from a Windows build folder with Debian's makensis:
#   make-installer.sh BUILD_DIR OUT_DIR
# BUILD_DIR holds vidora.exe and krmtool.exe; the installer, vidora-VERSION-setup.exe with the
# version of CMakeLists.txt's project(), goes into OUT_DIR and its path is printed. VIDORA_ICON
# names another icon than platform/windows/vidora.ico.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR OUT_DIR" >&2
    exit 2
fi
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
icon=${VIDORA_ICON:-$src/platform/windows/vidora.ico}

fail() {
    echo "$0: $*" >&2
    exit 1
}
command -v makensis >/dev/null || fail "makensis is missing (Debian package nsis)"
version=$(sed -n 's/^project(vidora VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in $src/CMakeLists.txt"
for f in "$build/vidora.exe" "$build/krmtool.exe" "$src/README.md" "$src/samples/demo.krm" \
    "$icon"; do
    [ -f "$f" ] || fail "$f is missing"
done

# The programs are shipped without their debugging symbols (a third of their size), from
# OUT_DIR/installer-files.
strip=$(command -v x86_64-w64-mingw32-strip) || fail "x86_64-w64-mingw32-strip is missing"
files="$out/installer-files"
mkdir -p "$files"
for program in vidora.exe krmtool.exe; do
    "$strip" -o "$files/$program" "$build/$program"
done

setup="$out/vidora-$version-setup.exe"
rm -f "$setup"
# makensis talks on stdout; only the installer's path goes there from here.
makensis -V2 -INPUTCHARSET UTF8 "-DVERSION=$version" "-DBUILD_DIR=$files" "-DSRCDIR=$src" \
    "-DICON=$icon" "-DOUT_DIR=$out" "$src/packaging/windows/vidora.nsi" >&2
[ -f "$setup" ] || fail "makensis made no $setup"
echo "$setup"
