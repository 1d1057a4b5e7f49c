#!/usr/bin/env bash
# Makes the benchmark recordings: 20 s each of H.264 at 320x240, 1280x720 and 1920x1080 (main
# profile with B-frames, a key picture every second as cameras do) and of H.263 at 352x288, and
# two minutes of H.264 at 1280x720 for the seeks, all with AMR-NB speech-like sound, packed by
# krm-mux one picture per 40 ms record.
#
# usage: make-bench-data.sh OUTDIR KRM_MUX AMRNB_ENCODE   (FFMPEG may name the ffmpeg to use)
#
# The CRF keeps every 1080p record's video and audio within the reader's 65,536-byte payload;
# krm-mux refuses a record that would not fit, so a stream that grows too large fails here.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 OUTDIR KRM_MUX AMRNB_ENCODE" >&2
    exit 1
fi
out_dir=$1
krm_mux=$2
amrnb_encode=$3
ffmpeg=${FFMPEG:-ffmpeg}
crf=23

mkdir -p "$out_dir"
work=$(mktemp -d "$out_dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

ff() { nice "$ffmpeg" -hide_banner -nostdin -loglevel error -y "$@"; }

# The sound of make-testdata.sh: a gliding voiced pitch, two modulated partials standing in for
# formants and a syllable-rate envelope.
speech_expr="0.35*(sin(2*PI*(140+30*sin(2*PI*0.7*t))*t)+0.6*sin(2*PI*700*t)*sin(2*PI*3*t)"
speech_expr+="+0.4*sin(2*PI*1200*t+2*sin(2*PI*5*t)))*pow(sin(PI*2.5*t),2)"
speech() {  # seconds, output
    ff -f lavfi -i "aevalsrc=exprs='$speech_expr':s=8000" -t "$1" -f s16le -ac 1 -ar 8000 - |
        "$amrnb_encode" - "$2"
}

h264() {  # size, seconds, output
    ff -f lavfi -i "testsrc2=size=$1:rate=25" -t "$2" -pix_fmt yuv420p \
        -c:v libx264 -profile:v main -preset veryfast -bf 2 -g 25 -crf "$crf" \
        -x264-params aud=1:repeat-headers=1 -f h264 "$3"
}

speech 20 "$work/speech20.amr"
speech 120 "$work/speech120.amr"

for size in 320x240 1280x720 1920x1080; do
    h264 "$size" 20 "$work/h264_$size.h264"
    "$krm_mux" --h264 "$work/h264_$size.h264" --amr "$work/speech20.amr" --size "$size" \
        --out "$work/h264_$size.krm"
done

ff -f lavfi -i testsrc2=size=352x288:rate=25 -t 20 -pix_fmt yuv420p \
    -c:v h263 -g 25 -q:v 6 -f h263 "$work/h263_352x288.h263"
"$krm_mux" --h263 "$work/h263_352x288.h263" --amr "$work/speech20.amr" --size 352x288 \
    --out "$work/h263_352x288.krm"

h264 1280x720 120 "$work/h264_1280x720_long.h264"
"$krm_mux" --h264 "$work/h264_1280x720_long.h264" --amr "$work/speech120.amr" --size 1280x720 \
    --out "$work/h264_1280x720_long.krm"

rm -f "$work"/*.h264 "$work"/*.h263 "$work"/*.amr
mv -f "$work"/* "$out_dir"/
