"""Writes the fuzzers' seed corpora: valid MIDI files from the random
generator, a few hand-made ESEQ files covering parts, waits, tempo,
time signature, escaped statuses, system exclusive and the title block, and
MP3 files of silent frames behind ID3v2 tags: UTF-16 text, a footer, a
repeated tag, a tag longer than the file."""

import argparse
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "readers", "tools"))
import smf_gen  # noqa: E402


def eseq(events, parts=1, tempo_code=0, block=b""):
    header = bytes(7) + b"COM-ESEQ" + bytes(12)
    header += struct.pack("<II", len(block), len(events)) + bytes([parts, tempo_code, 0, 0])
    return header + block + bytes(events)


def title_block(code, first, second):
    block = bytearray(80)
    block[12] = code
    block[48:64] = first.ljust(16).encode()
    block[64:80] = second.ljust(16).encode()
    return bytes(block)


ESEQ_SEEDS = [
    eseq([0xF1, 0, 0x90, 60, 100, 0xF3, 0x60, 0x80, 60, 0, 0xF2]),
    eseq([0xF1, 0, 0xF9, 3, 3, 0xFB, 0x74, 0x03, 0xF4, 0x10, 0x02, 0xB0, 64, 127,
          0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7, 0xF2, 0xF1, 0,
          0x90, 61, 1], parts=0, tempo_code=91),
    eseq([0xF1, 0, 0xFE, 0x10, 60, 1, 0xF7, 0xFF, 5, 0xF5, 0xC0, 1, 0xE0, 0, 64, 0xF2,
          0xF1, 0, 0xA0, 60, 1, 0xF2, 0xF1, 0], parts=2,
         block=title_block(71, "MY SONG", "PART TWO")),
    eseq([0xF1, 0] + [0xF4, 0x7F, 0x7F] * 40 + [0x90, 60, 1], block=bytes(12)),
]


def id3(version, body, footer=False):
    size = bytes((len(body) >> s) & 0x7F for s in (21, 14, 7, 0))
    flags = 0x10 if footer else 0
    tail = b"3DI" + bytes([version, 0, flags]) + size if footer else b""
    return b"ID3" + bytes([version, 0, flags]) + size + body + tail


def mp3_frames(count, header=b"\xff\xfb\x90\x64", size=417):
    """MPEG-1 layer III frames at 128 kbit/s (417 bytes at 44100 Hz, 384 at
    48000 Hz) of silence: no main data."""
    return (header + bytes(size - 4)) * count


TITLE_UTF16 = b"TIT2" + bytes([0, 0, 0, 9, 0, 0, 1]) + "F\u00fcr".encode("utf-16")
MP3_SEEDS = [
    mp3_frames(6),
    id3(3, TITLE_UTF16) + mp3_frames(4, b"\xff\xfb\x90\xc4"),
    id3(4, b"TIT2" + bytes([0, 0, 0, 4, 0, 0, 3]) + b"abc", footer=True) + mp3_frames(3),
    id3(4, b"") + id3(3, TITLE_UTF16 + b"\xff\xfe" * 40) + mp3_frames(3, b"\xff\xfb\x94\x64", 384),
    id3(3, bytes(64))[:40],
]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", required=True, help="folder that receives corpus-smf and corpus-eseq")
    args = ap.parse_args()
    smf_gen.write_files(os.path.join(args.out, "corpus-smf"), 24, 7)
    eseq_dir = os.path.join(args.out, "corpus-eseq")
    os.makedirs(eseq_dir, exist_ok=True)
    for i, data in enumerate(ESEQ_SEEDS):
        with open(os.path.join(eseq_dir, "seed_%02d.esq" % i), "wb") as f:
            f.write(data)
    mp3_dir = os.path.join(args.out, "corpus-mp3")
    os.makedirs(mp3_dir, exist_ok=True)
    for i, data in enumerate(MP3_SEEDS):
        with open(os.path.join(mp3_dir, "seed_%02d.mp3" % i), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
