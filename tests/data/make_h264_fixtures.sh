#!/bin/bash
# H.264 fixtures for the GOP and SPS cases the main fixtures do not cover: several closed GOPs,
# open GOPs (also with a varying number of leading pictures), parameter sets before every
# picture, 4:2:2 with cropping and an extended sample aspect ratio, and 4:4:4. Needs ffmpeg
# with libx264; writes next to this script.
set -euo pipefail
cd "$(dirname "$0")"
FF="ffmpeg -hide_banner -loglevel error -y"
SRC_V() { echo "-f lavfi -i testsrc2=size=$1:rate=$2"; }
TS="-f mpegts -mpegts_flags +resend_headers"
FIXED_GOP="scenecut=0:b-adapt=0:b-pyramid=none"

# Five closed GOPs of 12 pictures, coded I P B B P B B P B B P B.
$FF $(SRC_V 352x288 25) -t 2.4 -c:v libx264 -preset veryfast -b:v 200k -g 12 -bf 2 \
    -x264-params $FIXED_GOP $TS h264_gop12_cif.ts
# The same with open GOPs: every GOP after the first begins with a non-IDR I picture.
$FF $(SRC_V 352x288 25) -t 2.4 -c:v libx264 -preset veryfast -b:v 150k -g 12 -bf 2 \
    -x264-params $FIXED_GOP:open-gop=1 $TS h264_open_gop.ts
# High 4:2:2, 320x180 coded as 320x192 (12 lines cropped, crop unit 1), SAR 64:45 (extended).
$FF $(SRC_V 320x180 25) -t 0.4 -pix_fmt yuv422p -vf setsar=64/45 -c:v libx264 -preset veryfast \
    -b:v 150k $TS h264_high422_sar.ts
# High 4:4:4 Predictive (profile_idc 244).
$FF $(SRC_V 352x288 25) -t 0.4 -pix_fmt yuv444p -c:v libx264 -preset veryfast -b:v 150k \
    $TS h264_high444.ts
# Four slices per picture, 24 frames in two closed GOPs of 12.
$FF $(SRC_V 352x288 25) -t 0.96 -c:v libx264 -preset veryfast -b:v 200k -g 12 -bf 2 \
    -x264-params $FIXED_GOP:slices=4 $TS h264_four_slices.ts

# Parameter sets before every picture (as many encoders send them): GOPs of 12, I P B B P ...
$FF $(SRC_V 176x144 25) -t 2 -c:v libx264 -preset veryfast -b:v 100k -g 12 -bf 2 \
    -x264-params $FIXED_GOP -flags +global_header -bsf:v dump_extra=freq=all $TS h264_sps_every_picture.ts
# Open GOPs of a fixed 25 pictures whose number of leading B pictures varies (x264's adaptive B
# decisions): 1, 2 and 1 after the second, third and fourth I picture.
$FF $(SRC_V 160x96 25) -t 3.2 -c:v libx264 -preset veryfast -b:v 60k \
    -x264-params open-gop=1:keyint=25:min-keyint=25:scenecut=0 $TS h264_open_gop_adaptive_b.ts

ls -l h264_gop12_cif.ts h264_four_slices.ts h264_open_gop.ts h264_high422_sar.ts h264_high444.ts \
    h264_sps_every_picture.ts h264_open_gop_adaptive_b.ts
