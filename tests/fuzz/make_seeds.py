"""Writes the fuzzers' seed corpora: valid MIDI files from the random
generator, a few hand-made ESEQ files covering parts, waits, tempo,
time signature, escaped statuses, system exclusive and the title block,
and Pianocorder data files with honest, lying and empty frame counts."""

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


def pianocorder(count, frames, speed=4500):
    header = b"PIANOCORDER" + struct.pack(">IHH", count, speed, 1) + bytes([0, 0x21, 0x22]) + bytes(5)
    header = header.ljust(32, b"\0")
    frame = bytes([0x10, 0, 0x80, 0, 0, 0, 1, 0, 0x92, 0x80, 0, 0, 0, 0, 0, 0xFD])
    return header + frame * frames


PIANOCORDER_SEEDS = [pianocorder(3, 3), pianocorder(100, 2, 3900), pianocorder(1, 1, 5100),
                     pianocorder(0, 2)]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", required=True, help="folder that receives the corpus-* folders")
    args = ap.parse_args()
    smf_gen.write_files(os.path.join(args.out, "corpus-smf"), 24, 7)
    for name, seeds, ext in (("eseq", ESEQ_SEEDS, "esq"), ("pianocorder", PIANOCORDER_SEEDS, "pc")):
        folder = os.path.join(args.out, "corpus-" + name)
        os.makedirs(folder, exist_ok=True)
        for i, data in enumerate(seeds):
            with open(os.path.join(folder, "seed_%02d.%s" % (i, ext)), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
