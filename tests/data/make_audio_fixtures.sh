#!/bin/bash
# Audio fixtures for what the main fixtures do not cover: AAC at 7350 Hz (sampling index 12),
# MPEG-2.5 Layer III (8 kHz, and 11.025 kHz with padded frames), AAC 7.1 (channel
# configuration 7), AC-3 2.1 at 44.1 kHz (LFE channel, frame sizes that alternate), a
# stream of a single frame, and variable-bit-rate MP3 (frames of 64 to 256 kbit/s).
# Audio only; needs ffmpeg with libmp3lame; writes next to this script.
set -euo pipefail
cd "$(dirname "$0")"
FF="ffmpeg -hide_banner -loglevel error -y"
SRC_A() { echo "-f lavfi -i sine=frequency=440:sample_rate=$1"; }

$FF $(SRC_A 7350) -t 2 -c:a aac -b:a 24k -ac 1 -f mpegts aac_7350_mono.ts
$FF $(SRC_A 8000) -t 1 -c:a libmp3lame -b:a 32k -ac 1 -f mpegts mp3_mpeg25_8k.ts
$FF $(SRC_A 11025) -t 1 -c:a libmp3lame -b:a 24k -ac 1 -f mpegts mp3_mpeg25_11k.ts
# A stream of one AAC frame: only the end of the input can confirm its header.
$FF $(SRC_A 7350) -frames:a 1 -c:a aac -b:a 24k -ac 1 -f mpegts aac_7350_one_frame.ts
$FF $(SRC_A 48000) -t 0.3 -af "pan=7.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0|c6=c0|c7=c0" \
    -c:a aac -b:a 256k -f mpegts aac_71.ts
$FF $(SRC_A 44100) -t 0.5 -af "pan=2.1|c0=c0|c1=c0|c2=c0" -c:a ac3 -b:a 96k -f mpegts ac3_21_44k.ts
$FF -f lavfi -t 2 -i anoisesrc=seed=5:sample_rate=44100:amplitude=0.3 -ac 2 -c:a libmp3lame -q:a 5 \
    -f mpegts mp3_vbr.ts

ls -l aac_7350_mono.ts aac_7350_one_frame.ts mp3_mpeg25_8k.ts mp3_mpeg25_11k.ts aac_71.ts ac3_21_44k.ts mp3_vbr.ts
