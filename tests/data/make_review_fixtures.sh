#!/bin/bash
# Fixtures for the end-to-end report checks that the main fixtures do not cover: MPEG-2
# audio at the lower sampling frequencies, and MPEG-2 and H.264 video carrying A/53 captions
# (ffmpeg has no caption source, so the user data and the SEI are put into the elementary
# streams here and the streams remuxed). Needs ffmpeg with libx264 and libmp3lame, and
# python3; writes next to this script.
set -euo pipefail
cd "$(dirname "$0")"
FF="ffmpeg -hide_banner -loglevel error -y"
SRC_A() { echo "-f lavfi -i sine=frequency=440:sample_rate=$1"; }
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# MPEG-2 Layer II at 24 kHz mono 64 kbit/s, and Layer III at 22.05 kHz mono 32 kbit/s.
$FF $(SRC_A 24000) -t 0.5 -c:a mp2 -b:a 64k -ac 1 -f mpegts lsf_mp2_24k.ts
$FF $(SRC_A 22050) -t 0.5 -c:a libmp3lame -b:a 32k -ac 1 -f mpegts lsf_mp3_22k.ts

# Captions: one cc_data block (an EIA-608 pair, cc_type 0, and a DTVCC pair, cc_type 2) in
# front of the first slice of every picture.
$FF -f lavfi -i testsrc2=size=352x288:rate=25 -t 0.4 -c:v mpeg2video -q:v 12 -g 5 \
    -f mpeg2video "$TMP/plain.m2v"
$FF -f lavfi -i testsrc2=size=352x288:rate=25 -t 0.4 -c:v libx264 -preset veryfast -bf 0 \
    -f h264 "$TMP/plain.264"
python3 - "$TMP" <<'EOF'
import re, sys
tmp = sys.argv[1]
cc = bytes([0x40 | 2, 0xFF, 0xFC, 0x94, 0x2C, 0xFE, 0x01, 0x02, 0xFF])

def insert(data, pattern, block):
    out, last = bytearray(), 0
    for m in re.finditer(pattern, data):
        start = m.start()
        if start > 0 and data[start - 1] == 0:
            start -= 1  # keep a four-byte start code whole
        out += data[last:start] + block
        last = start
    return bytes(out + data[last:])

m2v = open(tmp + "/plain.m2v", "rb").read()
open(tmp + "/cc.m2v", "wb").write(
    insert(m2v, b"\x00\x00\x01\x01", b"\x00\x00\x01\xB2GA94\x03" + cc))

t35 = bytes([0xB5, 0x00, 0x31]) + b"GA94" + bytes([0x03]) + cc
sei = b"\x00\x00\x00\x01\x06" + bytes([4, len(t35)]) + t35 + b"\x80"
h264 = open(tmp + "/plain.264", "rb").read()
open(tmp + "/cc.264", "wb").write(insert(h264, b"\x00\x00\x01[\x01\x05\x21\x25\x41\x45\x61\x65]", sei))
EOF
$FF -fflags +genpts -r 25 -i "$TMP/cc.m2v" -c copy -f mpegts cc_mpeg2.ts
$FF -framerate 25 -i "$TMP/cc.264" -c copy -f mpegts cc_h264.ts

ls -l lsf_mp2_24k.ts lsf_mp3_22k.ts cc_mpeg2.ts cc_h264.ts
