#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets from the test recordings a build has generated:
# whole and cut recordings, the same with damage built in by krm-mux, each behind the control
# bytes its target expects (see the harness headers in this folder).
#
# usage: make-seeds.sh BUILD_DIR OUT
#        (writes OUT/fuzz_reader, OUT/fuzz_pipeline, OUT/fuzz_rings, OUT/fuzz_index,
#        OUT/fuzz_krmtool)
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR OUT" >&2
    exit 1
fi
build=$1
out=$2
data=$build/testdata
mux=$build/tools/krm-mux
for f in h264_320x240.krm h263_352x288.krm h264_1280x720_b.krm h264_320x240.h264 \
    h263_352x288.h263 speech.amr; do
    if [ ! -s "$data/$f" ]; then
        echo "$0: $data/$f is missing; build the krm_testdata target first" >&2
        exit 1
    fi
done

mkdir -p "$out/fuzz_reader" "$out/fuzz_pipeline" "$out/fuzz_rings" "$out/fuzz_index" \
    "$out/fuzz_krmtool"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Damaged recordings, each a few records long so that a run stays short.
damaged() {
    local name=$1
    shift
    "$mux" "$@" --amr "$data/speech.amr" --out "$work/$name.krm" >/dev/null
}
small="--truncate 40000"
damaged h264-bad-sync --h264 "$data/h264_320x240.h264" --size 320x240 --bad-sync 3 $small
damaged h264-bad-kind --h264 "$data/h264_320x240.h264" --bad-kind 2 $small
damaged h264-bad-date --h264 "$data/h264_320x240.h264" --bad-date 4 $small
damaged h264-oversize --h264 "$data/h264_320x240.h264" --oversize 2 $small
damaged h264-bad-length --h264 "$data/h264_320x240.h264" --bad-length 1 $small
damaged h264-short --h264 "$data/h264_320x240.h264" --short-payload --truncate 30000
damaged h264-upper-tag --h264 "$data/h264_320x240.h264" --raw-tag 'H264' $small
damaged h264-odd-tag --h264 "$data/h264_320x240.h264" --raw-tag 'xh26' $small
damaged h263-bad-date --h263 "$data/h263_352x288.h263" --bad-date 5 $small
damaged h264-gaps --h264 "$data/h264_320x240.h264" --timestamp-step 3000 $small

# Reader: four control bytes, then the file.
reader_seed() {  # NAME CONTROL(printf escapes) FILE [BYTES]
    { printf "$2"; if [ -n "${4:-}" ]; then head -c "$4" "$3"; else cat "$3"; fi; } \
        >"$out/fuzz_reader/$1"
}
for f in "$data"/*.krm; do
    base=$(basename "$f" .krm)
    reader_seed "$base-whole" '\x00\x00\x00\x00' "$f"
    reader_seed "$base-cut" '\x00\x00\x00\x00' "$f" 20000
    reader_seed "$base-seek-50" '\x04\x32\x00\x00' "$f" 60000
    reader_seed "$base-seeks-1-99-0" '\x0c\x01\x63\x00' "$f" 30000
done
for f in "$work"/*.krm; do
    reader_seed "$(basename "$f" .krm)" '\x01\x00\x00\x00' "$f"
done
reader_seed empty '\x01\x00\x00\x00' /dev/null

# Record index: its inputs are laid out as the reader's, so it starts from the same seeds.
cp "$out"/fuzz_reader/* "$out/fuzz_index/"

# Pipeline: six control bytes, then the records that follow the 1024-byte header.
pipeline_seed() {  # NAME CONTROL FILE BYTES
    { printf "$2"; head -c "$4" < <(tail -c +1025 "$3"); } >"$out/fuzz_pipeline/$1"
}
pipeline_seed h264-320 '\x02\x00\x00\x00\x00\x00' "$data/h264_320x240.krm" 24000
pipeline_seed h264-320-unsized-large-area '\x08\x00\x00\x00\x00\x00' "$data/h264_320x240.krm" 24000
pipeline_seed h264-320-seek-move '\x62\x28\x00\x00\x00\x00' "$data/h264_320x240.krm" 40000
pipeline_seed h264-720-b '\x06\x00\x00\x00\x00\x00' "$data/h264_1280x720_b.krm" 60000
pipeline_seed h264-720-b-odd-area '\x16\x00\x00\x00\x00\x00' "$data/h264_1280x720_b.krm" 40000
pipeline_seed h263-352 '\x05\x00\x00\x00\x00\x00' "$data/h263_352x288.krm" 40000
pipeline_seed h263-352-tiny-area-again '\x99\x00\x00\x00\x00\x00' "$data/h263_352x288.krm" 20000
pipeline_seed h264-bad-length '\x02\x00\x00\x00\x00\x00' "$work/h264-bad-length.krm" 30000
pipeline_seed h264-bad-date '\x02\x00\x00\x00\x00\x00' "$work/h264-bad-date.krm" 30000
pipeline_seed h263-as-h264 '\x02\x00\x00\x00\x00\x00' "$data/h263_352x288.krm" 20000
pipeline_seed h264-320-header-lies '\x00\x00\x02\x00\xf0\x7f' "$data/h264_320x240.krm" 20000
pipeline_seed h263-352-negative-size '\x01\x00\xc0\xfe\x20\x01' "$data/h263_352x288.krm" 20000

# krmtool: a control byte, then the whole file (header choice 0) or the records after a header
# the harness writes. Cut so that each export stays short.
krmtool_seed() {  # NAME CONTROL FILE BYTES [SKIP]
    { printf "$2"; head -c "$4" < <(tail -c +$((${5:-0} + 1)) "$3"); } >"$out/fuzz_krmtool/$1"
}
for f in "$data"/*.krm; do
    krmtool_seed "$(basename "$f" .krm)" '\x00' "$f" 120000
done
for f in "$work"/*.krm; do
    krmtool_seed "$(basename "$f" .krm)" '\x00' "$f" 60000
done
krmtool_seed h264-320-cut-from-to '\x0d' "$data/h264_320x240.krm" 100000 1024
krmtool_seed h263-352-cut-from '\x06' "$data/h263_352x288.krm" 100000 1024
krmtool_seed h264-720-b-cut-to '\x0b' "$data/h264_1280x720_b.krm" 100000 1024
krmtool_seed h264-720-as-320 '\x01' "$data/h264_1280x720_b.krm" 60000 1024
krmtool_seed h263-as-h264 '\x01' "$data/h263_352x288.krm" 40000 1024
krmtool_seed h264-bad-sync-cut-from '\x05' "$work/h264-bad-sync.krm" 40000 1024

# Rings: a size byte, then operations (see rings_harness.h). A few sequences that put, take
# and peek across the wrap; the fuzzer finds the rest.
rings_seed() { printf "$2" >"$out/fuzz_rings/$1"; }
rings_seed put-take '\x01\x00\x40\x00\x02\x30\x00\x04\x20\x00\x00\x40\x00\x02\xff\x00'
rings_seed packets '\x00\x01\x10\x00\x01\x20\x00\x03\x00\x01\x03\x00\x01\x05\x03\x00\x01'
rings_seed pcm '\x00\x06\x40\x01\x07\x06\x10\x00\x08\x08\x08\x08'
rings_seed full '\x00'"$(for _ in $(seq 60); do printf '\\x00\\xff\\x00'; done)"'\x04\xff\xff'

echo "seeds: $(ls "$out/fuzz_reader" | wc -l) reader, $(ls "$out/fuzz_pipeline" | wc -l)" \
    "pipeline, $(ls "$out/fuzz_rings" | wc -l) rings, $(ls "$out/fuzz_index" | wc -l) index," \
    "$(ls "$out/fuzz_krmtool" | wc -l) krmtool, in $out"
