#!/bin/bash
# Constant-rate transport streams with a PCR every 20 ms, for the duration and multiplex
# bit-rate checks (ffmpeg's default variable-rate output leaves long stretches without a
# PCR at the end of a file). Run from anywhere; writes next to this script.
set -euo pipefail
cd "$(dirname "$0")"
FF="ffmpeg -hide_banner -loglevel error -y"
CBR="-f mpegts -muxrate 600000 -pcr_period 20"

$FF -f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 3 \
    -c:v mpeg2video -b:v 300k -maxrate 300k -bufsize 300k -g 12 -c:a ac3 -b:a 96k -ac 2 \
    $CBR cbr_mpeg2_ac3.ts
$FF -f lavfi -i testsrc2=size=352x288:rate=30000/1001 -f lavfi -i sine=frequency=440:sample_rate=44100 -t 3 \
    -c:v libx264 -preset veryfast -b:v 300k -maxrate 300k -bufsize 300k -g 30 -c:a aac -b:a 96k -ac 2 \
    $CBR cbr_h264_aac.ts

ls -l cbr_*.ts
