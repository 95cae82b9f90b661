#!/usr/bin/env python3
"""Writes small transport streams with what the fixtures lack, as extra seeds for the
transport fuzz target: caption data in H.264 SEI and in H.262 user data, and a PMT long
enough to span several packets. tools/fuzz.sh copies them into the corpus and the
regression test replays them. Run from anywhere; the files land next to this script."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "fuzz_transport")


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def section(table_id, ext, version, body):
    length = 5 + len(body) + 4
    head = bytes([table_id, 0xB0 | (length >> 8), length & 0xFF, ext >> 8, ext & 0xFF,
                  0xC1 | (version << 1), 0, 0])
    s = head + body
    return s + struct.pack(">I", crc32_mpeg(s))


def pat(programs):
    body = b"".join(struct.pack(">HH", n, 0xE000 | pid) for n, pid in programs)
    return section(0x00, 1, 0, body)


def pmt(program, pcr_pid, elements, program_info=b""):
    body = struct.pack(">HH", 0xE000 | pcr_pid, 0xF000 | len(program_info)) + program_info
    for stream_type, pid, es_info in elements:
        body += struct.pack(">BHH", stream_type, 0xE000 | pid, 0xF000 | len(es_info)) + es_info
    return section(0x02, program, 0, body)


class Mux:
    def __init__(self):
        self.cc = {}
        self.out = bytearray()

    def _packet(self, pid, pusi, payload, pcr=None):
        cc = self.cc.get(pid, 0)
        self.cc[pid] = (cc + 1) & 15
        first = 0x40 if pusi else 0
        if pcr is None and len(payload) == 184:
            self.out += bytes([0x47, first | (pid >> 8), pid & 0xFF, 0x10 | cc]) + payload
            return
        if pcr is not None:
            base = pcr // 300 & ((1 << 33) - 1)
            body = bytes([0x10]) + struct.pack(">IH", base >> 1, ((base & 1) << 15) | 0x7E00)
        elif len(payload) == 183:
            body = b""
        else:
            body = bytes([0x00])
        stuffing = 184 - 1 - len(body) - len(payload)
        assert stuffing >= 0
        af = body + b"\xFF" * stuffing
        self.out += bytes([0x47, first | (pid >> 8), pid & 0xFF, 0x30 | cc, len(af)]) + af + payload

    def psi(self, pid, sec):
        data = b"\x00" + sec
        first = True
        while data:
            chunk, data = data[:184], data[184:]
            chunk = chunk + b"\xFF" * (184 - len(chunk))
            cc = self.cc.get(pid, 0)
            self.cc[pid] = (cc + 1) & 15
            self.out += bytes([0x47, (0x40 if first else 0) | (pid >> 8), pid & 0xFF, 0x10 | cc]) + chunk
            first = False

    def pes(self, pid, stream_id, es, pts, pcr=None):
        pts_bytes = bytes([0x21 | ((pts >> 29) & 0x0E), (pts >> 22) & 0xFF, 0x01 | ((pts >> 14) & 0xFE),
                           (pts >> 7) & 0xFF, 0x01 | ((pts << 1) & 0xFE)])
        length = 0 if stream_id >= 0xE0 else 3 + 5 + len(es)
        data = bytes([0, 0, 1, stream_id]) + struct.pack(">H", length) + b"\x80\x80\x05" + pts_bytes + es
        first = True
        while data:
            room = 184 - (8 if (first and pcr is not None) else 0)
            chunk, data = data[:room], data[room:]
            self._packet(pid, first, chunk, pcr if first else None)
            first = False


def h264_seed():
    aud = b"\x00\x00\x00\x01\x09\xF0"
    sps = b"\x00\x00\x00\x01" + bytes.fromhex("6742c01eda0280bfe5c044000003000400000300f03c58ba8000")
    pps = b"\x00\x00\x00\x01" + bytes.fromhex("68ce3c80")
    cc = bytes([0xC3, 0xFF, 0xFC, 0x94, 0x2C, 0xFD, 0x80, 0x80, 0xFE, 0x41, 0x42])
    t35 = b"\xB5\x00\x31GA94\x03" + cc + b"\xFF"
    sei = b"\x00\x00\x01\x06\x04" + bytes([len(t35)]) + t35 + b"\x80"
    idr = b"\x00\x00\x01\x65\x88\x84\x0D\x7F\x88\xA8\x83\x02\x17\xE1\xC0\x1E" + b"\x55" * 200
    m = Mux()
    m.psi(0, pat([(1, 0x1000)]))
    m.psi(0x1000, pmt(1, 0x100, [(0x1B, 0x100, b"\x86\x04\xE1\x65\x6E\x67")]))
    for k in range(3):
        m.pes(0x100, 0xE0, aud + sps + pps + sei + idr, 90000 + 3003 * k, pcr=(90000 + 3003 * k) * 300)
    return bytes(m.out)


def h262_seed():
    seq = bytes.fromhex("000001b32d024033ffffe070")
    seq_ext = bytes.fromhex("000001b5148a000100")
    gop = bytes.fromhex("000001b800080040")
    pic = bytes.fromhex("00000100000ffff8")
    pic_ext = bytes.fromhex("000001b58ffff3418000")
    atsc = b"\x00\x00\x01\xB2GA94\x03" + bytes([0xC2, 0xFF, 0xFC, 0x94, 0x2C, 0xFE, 0x41, 0x42, 0xFF])
    scte20 = b"\x00\x00\x01\xB2\x03\x81\x22\x33"
    scte21 = b"\x00\x00\x01\xB2GA94\x04\x00\x00"
    slice_ = b"\x00\x00\x01\x01" + b"\x12\x34" * 60
    m = Mux()
    m.psi(0, pat([(1, 0x1000)]))
    m.psi(0x1000, pmt(1, 0x100, [(0x02, 0x100, b"")]))
    es = seq + seq_ext + gop
    for k, user in enumerate([atsc, scte20, scte21]):
        es += pic + pic_ext + user + slice_
        m.pes(0x100, 0xE0, es, 90000 + 3600 * k, pcr=(90000 + 3600 * k) * 300)
        es = b""
    return bytes(m.out)


def long_pmt_seed():
    # Forty elements of every supported type, each with descriptors: a section of some
    # 800 bytes in five packets, and a PAT of three programs whose second is described.
    types = [0x02, 0x1B, 0x81, 0x0F, 0x03, 0x04, 0x06]
    elements = []
    for i in range(40):
        desc = b"\x05\x04AC-3" if i % 3 == 0 else b"\x0A\x04eng\x00"
        elements.append((types[i % len(types)], 0x200 + i, desc + b"\x52\x01" + bytes([i])))
    m = Mux()
    m.psi(0, pat([(0, 0x10), (1, 0x1001), (2, 0x1002)]))
    m.psi(0x1002, pmt(2, 0x200, elements, program_info=b"\x09\x04\x01\x00\xE1\x23"))
    m.pes(0x200, 0xE0, b"\x00\x00\x01\xB3" + b"\x00" * 100, 90000, pcr=90000 * 300)
    m.pes(0x201, 0xE0, b"\x00\x00\x00\x01\x09\xF0" + b"\x00" * 50, 90000)
    m.pes(0x202, 0xBD, b"\x0B\x77\x00\x00\x50\x40" + b"\x00" * 60, 90000)
    return bytes(m.out)


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in [("seed_h264_sei_captions.ts", h264_seed()), ("seed_h262_user_data_captions.ts", h262_seed()),
                       ("seed_long_pmt_three_programs.ts", long_pmt_seed())]:
        assert len(data) % 188 == 0
        # Two setting bytes for the harness: the stream whole, no duration limit.
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data + b"\x00\x00")


if __name__ == "__main__":
    main()
