#!/usr/bin/env bash
# Makes the test recordings from real encoders: FFmpeg's libx264 and H.263 encoders on a moving
# synthetic picture, opencore's AMR-NB encoder on a speech-like sound, packed by krm-mux.
#
# usage: make-testdata.sh OUTDIR KRM_MUX AMRNB_ENCODE   (FFMPEG may name the ffmpeg to use)
#
# Everything is written into a scratch folder first and moved into OUTDIR at the end, so a failed
# run never leaves files that look up to date to the build.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 OUTDIR KRM_MUX AMRNB_ENCODE" >&2
    exit 1
fi
out_dir=$1
krm_mux=$2
amrnb_encode=$3
ffmpeg=${FFMPEG:-ffmpeg}

mkdir -p "$out_dir"
work=$(mktemp -d "$out_dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

ff() { "$ffmpeg" -hide_banner -nostdin -loglevel error -y "$@"; }

# A voiced-sounding mix: a gliding low pitch, two modulated higher partials standing in for
# formants, and a syllable-rate envelope that drops to silence 2.5 times a second.
speech_expr="0.35*(sin(2*PI*(140+30*sin(2*PI*0.7*t))*t)+0.6*sin(2*PI*700*t)*sin(2*PI*3*t)"
speech_expr+="+0.4*sin(2*PI*1200*t+2*sin(2*PI*5*t)))*pow(sin(PI*2.5*t),2)"
ff -f lavfi -i "aevalsrc=exprs='$speech_expr':s=8000" -t 4 -f s16le -ac 1 -ar 8000 - |
    "$amrnb_encode" - "$work/speech.amr"

# Baseline with two slices per picture, so that access units must be told apart by
# first_mb_in_slice; parameter sets repeated at every IDR picture, one per second, as cameras do.
ff -f lavfi -i testsrc2=size=320x240:rate=25 -t 4 -pix_fmt yuv420p \
    -c:v libx264 -profile:v baseline -preset veryfast -g 25 \
    -x264-params slices=2:repeat-headers=1 -f h264 "$work/h264_320x240.h264"

# B-frames (decode order differs from display order) and access unit delimiters.
ff -f lavfi -i testsrc2=size=1280x720:rate=25 -t 2 -pix_fmt yuv420p \
    -c:v libx264 -profile:v main -preset veryfast -bf 2 -g 25 -crf 28 \
    -x264-params aud=1:repeat-headers=1 -f h264 "$work/h264_1280x720_b.h264"

ff -f lavfi -i testsrc2=size=352x288:rate=25 -t 4 -pix_fmt yuv420p \
    -c:v h263 -g 25 -q:v 6 -f h263 "$work/h263_352x288.h263"

# A camera's low-rate stream: QCIF at about 6 KB/s, 10 pictures a second, a few hundred bytes a
# picture, so that a picture is far smaller than any window of bytes a decoder might wait for.
ff -f lavfi -i testsrc2=size=176x144:rate=10 -t 4 -pix_fmt yuv420p \
    -c:v h263 -g 40 -q:v 20 -f h263 "$work/h263_176x144_low.h263"

"$krm_mux" --h264 "$work/h264_320x240.h264" --amr "$work/speech.amr" --size 320x240 \
    --out "$work/h264_320x240.krm"
"$krm_mux" --h264 "$work/h264_1280x720_b.h264" --amr "$work/speech.amr" --size 1280x720 \
    --out "$work/h264_1280x720_b.krm"
"$krm_mux" --h263 "$work/h263_352x288.h263" --amr "$work/speech.amr" --out "$work/h263_352x288.krm"
"$krm_mux" --h263 "$work/h263_176x144_low.h263" --amr "$work/speech.amr" --fps 10 \
    --out "$work/h263_176x144_low.krm"

mv -f "$work"/* "$out_dir"/
