#!/usr/bin/env bash
# Builds the Debian package vidora_VERSION_ARCH.deb from the project's own install step.
# usage: make-deb.sh BUILD_DIR OUT_DIR
# The binaries are installed (stripped) under /usr into a staging tree, the package's
# dependencies come from the libraries they link (dpkg-shlibdeps) plus the programs and fonts
# the player calls on at run time, and lintian, when present, must find no error.
set -euo pipefail
build=$(realpath "$1")
out=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "make-deb.sh: no project version in $build" >&2; exit 1; }

work="$build/deb"
root="$work/root"
rm -rf "$work"
mkdir -p "$root"
DESTDIR="$root" cmake --install "$build" --prefix /usr --strip >/dev/null

# Debian's documentation: the copyright and the changelog (the manual pages come compressed).
doc="$root/usr/share/doc/vidora"
mkdir -p "$doc"
cp "$here/copyright" "$doc/copyright"
sed "s/@VERSION@/$version/; s/@DATE@/$(date -R -d @"${SOURCE_DATE_EPOCH:-$(date +%s)}")/" \
    "$here/changelog.in" | gzip -9n > "$doc/changelog.gz"
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod go-w,a+r {} +

# What the binaries link, as package names, from a throw-away source tree that dpkg-shlibdeps
# needs to run in.
mkdir -p "$work/src/debian"
printf 'Source: vidora\n\nPackage: vidora\nArchitecture: any\n' > "$work/src/debian/control"
shlibs=$(cd "$work/src" && dpkg-shlibdeps -O -e"$root/usr/bin/vidora" -e"$root/usr/bin/krmtool" \
             2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "make-deb.sh: dpkg-shlibdeps found no libraries" >&2; exit 1; }

mkdir -p "$root/DEBIAN"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
    -e "s/@SHLIBS@/$shlibs/" "$here/control.in" > "$root/DEBIAN/control"
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum > DEBIAN/md5sums)
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

deb="$out/vidora_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
if command -v lintian >/dev/null; then
    # Errors fail the build; warnings are shown.
    lintian --fail-on error "$deb" >&2 ||
        { echo "make-deb.sh: lintian found errors in $deb" >&2; exit 1; }
fi
