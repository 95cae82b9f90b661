#!/bin/bash
# Makes the stream fixtures from ffmpeg's synthetic sources. Needs ffmpeg (with libx264
# and libmp3lame); run from anywhere, writes next to this script and to ../../samples.
set -euo pipefail
cd "$(dirname "$0")"
FF="ffmpeg -hide_banner -loglevel error -y"
SRC_V() { echo "-f lavfi -i testsrc2=size=$1:rate=$2"; }
SRC_A() { echo "-f lavfi -i sine=frequency=440:sample_rate=$1"; }
TS="-f mpegts -mpegts_flags +resend_headers"

# Sample for `make run`: MPEG-2 video 720x576 25 fps with MPEG-1 Layer II audio, 3 s.
$FF $(SRC_V 720x576 25) $(SRC_A 48000) -t 2 -c:v mpeg2video -b:v 1000k -g 12 -bf 2 \
    -c:a mp2 -b:a 192k -ac 2 $TS ../../samples/sample.ts

# MPEG-2 video.
$FF $(SRC_V 720x480 30000/1001) $(SRC_A 48000) -t 1 -c:v mpeg2video -b:v 800k -bf 2 -g 15 \
    -aspect 4:3 -c:a mp2 -b:a 192k -ac 2 $TS mpeg2_480_4x3_mp2.ts
$FF $(SRC_V 720x576 25) $(SRC_A 48000) -t 1 -c:v mpeg2video -b:v 800k -g 12 -bf 2 -flags +cgop -sc_threshold 1000000000 \
    -aspect 16:9 -c:a ac3 -b:a 192k -ac 2 $TS mpeg2_576_16x9_ac3.ts
$FF $(SRC_V 1920x1080 30000/1001) $(SRC_A 48000) -t 0.5 -c:v mpeg2video -b:v 1000k -maxrate 1500k -bufsize 1000k -qmax 31 -g 15 -bf 2 \
    -flags +ildct+ilme -top 1 -aspect 16:9 -c:a ac3 -b:a 448k -ac 6 $TS mpeg2_1080i_ac3_51.ts
# MPEG-1 video, which ffmpeg carries as stream type 2: pel aspect ratio code 2 (0.6735).
$FF $(SRC_V 176x144 25) -t 1.2 -c:v mpeg1video -q:v 20 -g 12 -bf 2 -aspect 16:9 $TS mpeg1_qcif_16x9.ts

# H.264 video.
$FF $(SRC_V 640x360 30) $(SRC_A 44100) -t 1 -c:v libx264 -profile:v baseline -preset veryfast \
    -b:v 300k -g 30 -c:a aac -b:a 128k -ac 2 $TS h264_baseline_360_aac.ts
$FF $(SRC_V 720x576 25) $(SRC_A 44100) -t 1 -c:v libx264 -profile:v main -preset veryfast \
    -b:v 500k -g 25 -flags +ildct+ilme -x264-params interlaced=1:tff=1 \
    -c:a libmp3lame -b:a 64k -ac 1 $TS h264_main_576i_mp3.ts
$FF $(SRC_V 1280x720 25) $(SRC_A 48000) -t 1 -c:v libx264 -profile:v high -preset veryfast \
    -b:v 600k -g 25 -c:a ac3 -b:a 448k -ac 6 $TS h264_high_720_ac3_51.ts
$FF $(SRC_V 1920x1080 30000/1001) $(SRC_A 48000) -t 0.6 -c:v libx264 -profile:v high -preset veryfast \
    -b:v 800k -g 15 -c:a aac -b:a 256k -ac 6 $TS h264_high_1080_aac_51.ts

# LPCM (SMPTE 302M): 2 channels at 20 bits and 4 channels at 24 bits, audio only.
$FF $(SRC_A 48000) -t 0.5 -ac 2 -c:a s302m -sample_fmt s32 -bits_per_raw_sample 20 -strict -2 \
    $TS s302m_2ch_20.ts
$FF $(SRC_A 48000) -t 0.5 -ac 4 -c:a s302m -sample_fmt s32 -bits_per_raw_sample 24 -strict -2 \
    $TS s302m_4ch_24.ts

# Two programs: MPEG-2 with MP2 and H.264 with AAC.
$FF $(SRC_V 352x288 25) $(SRC_A 48000) -t 1 \
    -map 0:v -map 1:a -map 0:v -map 1:a \
    -c:v:0 mpeg2video -b:v:0 400k -c:a:0 mp2 -b:a:0 128k \
    -c:v:1 libx264 -preset veryfast -b:v:1 300k -c:a:1 aac -b:a:1 96k \
    -program title=One:st=0:st=1 -program title=Two:st=2:st=3 $TS two_programs.ts

# PCR and PTS roll over 2^33 ticks of 90 kHz about one second in.
$FF $(SRC_V 352x288 25) $(SRC_A 48000) -t 3 -c:v mpeg2video -b:v 400k -g 12 -c:a mp2 -b:a 128k \
    -output_ts_offset 95442.7 $TS pcr_wrap.ts

# FLV.
$FF $(SRC_V 320x240 25) $(SRC_A 44100) -t 1 -c:v libx264 -preset veryfast -b:v 300k \
    -c:a aac -b:a 96k -f flv flv_h264_aac.flv
$FF $(SRC_V 320x240 25) $(SRC_A 44100) -t 1 -c:v flv -b:v 300k -c:a libmp3lame -b:a 64k \
    -f flv flv_spark_mp3.flv
$FF $(SRC_A 22050) -t 1 -c:a nellymoser -ac 1 -f flv flv_nellymoser.flv

ls -l *.ts *.flv ../../samples/sample.ts
