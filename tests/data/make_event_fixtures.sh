#!/bin/bash
# One program with two video and two AC-3 streams: the per-stream events must come once for
# every stream, the one-shot video events once for the whole run. Run from anywhere; writes
# next to this script.
set -euo pipefail
cd "$(dirname "$0")"
FF="ffmpeg -hide_banner -loglevel error -y"

$FF -f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 0.5 \
    -map 0:v -map 0:v -map 1:a -map 1:a \
    -c:v:0 mpeg2video -b:v:0 300k -aspect:v:0 4:3 -c:v:1 mpeg2video -b:v:1 200k -s:v:1 176x144 \
    -c:a:0 ac3 -b:a:0 96k -ac:a:0 2 -c:a:1 ac3 -b:a:1 192k -ac:a:1 1 \
    -f mpegts two_video_two_ac3.ts

ls -l two_video_two_ac3.ts
