"""Writes the fuzzers' seed corpora: valid MIDI files from the random
generator, a few hand-made ESEQ files covering parts, waits, tempo,
time signature, escaped statuses, system exclusive and the title block;
MP3 files of silent frames behind ID3v2 tags (UTF-16 text, a footer, a
repeated tag, a tag longer than the file); WAV files with odd and padded
chunks; Pianocorder data files with honest, lying and empty frame counts; tags
files with byte-order marks, CR/LF endings, UTF-8 and Latin-1 text, a
comment with its description and a line longer than the reader's buffer."""

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


def pianocorder(count, frames, speed=4500):
    header = b"PIANOCORDER" + struct.pack(">IHH", count, speed, 1) + bytes([0, 0x21, 0x22]) + bytes(5)
    header = header.ljust(32, b"\0")
    frame = bytes([0x10, 0, 0x80, 0, 0, 0, 1, 0, 0x92, 0x80, 0, 0, 0, 0, 0, 0xFD])
    return header + frame * frames


def wav(channels, bits, frames, extra=b"", pad_odd=True, fmt_tag=1):
    """A RIFF/WAVE file with `extra` chunks (id, body) before the data."""
    block = channels * bits // 8
    fmt = struct.pack("<HHIIHH", fmt_tag, channels, 44100, 44100 * block, block, bits)
    chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt
    for cid, body in extra:
        chunks += cid + struct.pack("<I", len(body)) + body
        if len(body) % 2 and pad_odd:
            chunks += b"\0"
    data = bytes((i * 37) & 0xFF for i in range(frames * block))
    chunks += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks


WAV_SEEDS = [
    wav(2, 16, 64),
    wav(1, 16, 33, [(b"LIST", b"INFOISFT\x03\0\0\0ab\0")]),
    wav(2, 16, 20, [(b"LIST", b"odd")], pad_odd=False),
    wav(1, 8, 50, [(b"cue ", bytes(28)), (b"smpl", bytes(36))]),
]


PIANOCORDER_SEEDS = [pianocorder(3, 3), pianocorder(100, 2, 3900), pianocorder(1, 1, 5100),
                     pianocorder(0, 2)]

TAGS_SEEDS = [
    b"TIT2=Clair de lune\nTPE1=Debussy\nTALB=Suite bergamasque\nTRCK=3\nTYER=1905\n",
    b"\xef\xbb\xbfTIT2=F\xc3\xbcr Elise\r\n\xef\xbb\xbfTCON=Classical\r\nCOMM=note=rolled by hand\r\n",
    b"TIT2=Caf\xe9 \xe0 Paris\rTPE1=\xff\xfe\nTDRC=2024\n= \nTIT2=\nshort\n",
    b"TXXX=" + b"\xe6\x97\xa5" * 400 + b"\nTIT2=tail\n",
    b"TIT2=" + b"x" * 1018 + b"\xc3\xa9TPE1=split\n",
]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", required=True, help="folder that receives the corpus-* folders")
    args = ap.parse_args()
    smf_gen.write_files(os.path.join(args.out, "corpus-smf"), 24, 7)
    corpora = (("eseq", ESEQ_SEEDS, "esq"), ("mp3", MP3_SEEDS, "mp3"), ("wav", WAV_SEEDS, "wav"),
               ("pianocorder", PIANOCORDER_SEEDS, "pc"), ("tags", TAGS_SEEDS, "txt"))
    for name, seeds, ext in corpora:
        folder = os.path.join(args.out, "corpus-" + name)
        os.makedirs(folder, exist_ok=True)
        for i, data in enumerate(seeds):
            with open(os.path.join(folder, "seed_%02d.%s" % (i, ext)), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
