#!/usr/bin/env bash
# Cross-builds FFmpeg for 64-bit Windows from Debian's own ffmpeg source package, as static
# libraries holding only what Vidora uses, and prints the prefix they are installed under.
# usage: build-ffmpeg.sh
#
# The prefix lives outside the source tree, in ${VIDORA_WINDOWS_CACHE:-~/.cache/vidora-windows},
# named after the Debian version and a hash of this script: a build is kept until either
# changes, so that CI rebuilds FFmpeg only when the package or the configuration moved on. A
# prefix counts only once its marker file is written, after the whole install.
set -euo pipefail
script=$(realpath "$0")
cache=${VIDORA_WINDOWS_CACHE:-$HOME/.cache/vidora-windows}
host=x86_64-w64-mingw32
SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
say() { echo "build-ffmpeg.sh: $*" >&2; }

# `apt-get source` needs source entries. Where there are none, they mirror the deb.debian.org
# binary entries (deb822 stanzas or one-line entries), and the lists are read once.
has_deb_src() {
    grep -qsE '^[[:space:]]*Types:.*deb-src' /etc/apt/sources.list.d/*.sources ||
        grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list
}
add_deb_src() {
    local out=/etc/apt/sources.list.d/vidora-deb-src.sources
    local stanzas
    stanzas=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '
        BEGIN { RS = ""; ORS = "\n\n" }
        /URIs:[^\n]*deb\.debian\.org/ && /Types:[^\n]*deb/ {
            sub(/Types:[^\n]*/, "Types: deb-src"); print
        }')
    if [ -z "$stanzas" ]; then
        stanzas=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '
            $1 == "deb" && /deb\.debian\.org/ {
                sub(/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?/, "")
                split($0, f, /[[:space:]]+/)
                comps = ""
                for (i = 3; i <= length(f); ++i) comps = comps (i > 3 ? " " : "") f[i]
                printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n", f[1], f[2], comps
            }')
    fi
    [ -n "$stanzas" ] || { say "no deb.debian.org entry in the APT sources to mirror"; exit 1; }
    say "adding Debian source entries ($out)"
    printf '%s\n' "$stanzas" | $SUDO tee "$out" >/dev/null
    $SUDO apt-get update >&2
}

main() {
    has_deb_src || add_deb_src

    # The version `apt-get source` would fetch, from its .dsc name (without the epoch).
    dsc=$(apt-get source --print-uris ffmpeg 2>/dev/null |
        awk '$2 ~ /^ffmpeg_.*\.dsc$/ { print $2; exit }')
    [ -n "$dsc" ] || { say "apt-get source finds no ffmpeg source package"; exit 1; }
    version=${dsc#ffmpeg_}
    version=${version%.dsc}
    hash=$(sha256sum "$script" | cut -c1-12)
    prefix="$cache/ffmpeg-$version-$hash"

    mkdir -p "$cache"
    exec 9>"$cache/.lock"
    flock 9  # one build of the cache at a time
    if [ -f "$prefix/.complete" ]; then
        echo "$prefix"
        exit 0
    fi

    work="$cache/work/ffmpeg-$version-$hash"
    rm -rf "$prefix" "$work"
    mkdir -p "$work"
    say "fetching Debian's ffmpeg $version source into $work"
    (cd "$work" && apt-get source ffmpeg >&2)
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'ffmpeg-*' | head -n1)
    [ -n "$src" ] || { say "the source package did not unpack"; exit 1; }

    # Only what Vidora and its tests use: the H.264, H.263 and AMR-NB decoders and the two video
    # parsers (playback, krmtool), the AAC and PNG encoders with the MP4 and 3GP muxers and the file
    # protocol (export, snapshots, thumbnails), the atempo filter between a buffer source and sink
    # (the sound's tempo; aresample is what the graph inserts should formats ever differ),
    # libswscale and libswresample. The tests read the export back with the MOV demuxer, the AAC
    # decoder and the H.264 bitstream filter, and the snapshots with the PNG decoder. zlib (for PNG)
    # is Debian's mingw build, linked statically like everything else.
    build="$work/build"
    mkdir -p "$build"
    cd "$build"
    say "configuring"
    "$src/configure" \
        --prefix="$prefix" \
        --target-os=mingw32 --arch=x86_64 --cross-prefix="$host-" --pkg-config=pkg-config \
        --enable-static --disable-shared --disable-programs --disable-doc --disable-debug \
        --disable-autodetect --disable-network --disable-avdevice --disable-postproc \
        --enable-w32threads --enable-zlib \
        --disable-everything \
        --enable-decoder=h264,h263,amrnb,aac,png \
        --enable-encoder=aac,png \
        --enable-parser=h264,h263 \
        --enable-muxer=mp4,tgp \
        --enable-demuxer=mov \
        --enable-bsf=h264_mp4toannexb \
        --enable-protocol=file \
        --enable-filter=abuffer,abuffersink,atempo,aresample \
        --enable-swscale --enable-swresample --enable-avfilter --enable-avformat \
        --extra-ldflags=-static >"$build/configure.log" 2>&1 ||
        { tail -n 30 "$build/configure.log" "$build/ffbuild/config.log" >&2; exit 1; }
    say "building (this takes a while)"
    nice -n 19 make -j"$(nproc)" >"$build/make.log" 2>&1 ||
        { tail -n 40 "$build/make.log" >&2; exit 1; }
    make install >"$build/install.log" 2>&1 || { tail -n 20 "$build/install.log" >&2; exit 1; }
    touch "$prefix/.complete"
    cd "$cache"
    rm -rf "$work"
    rmdir "$cache/work" 2>/dev/null || true
    echo "$prefix"
}

# All of the script is read before any of it runs: an edit during a build cannot derail it.
main "$@"
