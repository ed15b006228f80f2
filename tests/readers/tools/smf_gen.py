"""Seeded random valid MIDI files of formats 0 and 1, up to 300 tracks, running
status, tempo, system exclusive and meta events; running status never follows
system exclusive, on which parsers disagree."""

import os
import random


def varlen(v, more=0):
    return (varlen(v >> 7, 0x80) if v > 0x7F else b"") + bytes([v & 0x7F | more])


def meta(kind, body):
    return bytes([0xFF, kind]) + varlen(len(body)) + bytes(body)


def tempo(rng):
    us = rng.choice([500000, 533333, 428571]) if rng.random() < 0.5 else rng.randrange(100000, 2000001)
    return meta(0x51, us.to_bytes(3, "big"))


def track(rng, first, events):
    out, running, channel = bytearray(), None, rng.randrange(16)
    if first and rng.random() < 0.7:
        out += b"\0" + meta(0x03, b"Song %d" % rng.randrange(1000))
    if first and rng.random() < 0.7:
        out += b"\0" + tempo(rng)
    for _ in range(events):
        # Mostly short deltas; some of several bytes, all well under a day.
        out += varlen(rng.choice([0, 0, rng.randrange(500), rng.randrange(500), rng.randrange(200000)]))
        r = rng.random()
        if r < 0.75:
            channel = rng.randrange(16) if rng.random() < 0.1 else channel
            kind = rng.choice([0x80, 0x90, 0x90, 0x90, 0xA0, 0xB0, 0xB0, 0xC0, 0xD0, 0xE0])
            data = bytes(rng.randrange(128) for _ in range(1 if kind in (0xC0, 0xD0) else 2))
            status = kind | channel
            out += data if status == running and rng.random() < 0.8 else bytes([status]) + data
            running = status
        elif r < 0.82:
            out += tempo(rng)
        elif r < 0.88:
            body = bytes(rng.randrange(1, 128) for _ in range(rng.randrange(24))) + b"\xF7"
            out += b"\xF0" + varlen(len(body)) + body
            running = None
        else:
            text = bytes(rng.randrange(0x20, 0x7F) for _ in range(rng.randrange(30)))
            out += meta(*rng.choice([(0x01, text), (0x06, text), (0x7F, text + b"\0"),
                                     (0x58, [rng.randrange(1, 13), rng.randrange(5), 24, 8]),
                                     (0x59, [rng.randrange(8), rng.randrange(2)]),
                                     (0x21, [rng.randrange(16)]), (0x20, [channel])]))
    return bytes(out + varlen(rng.randrange(500)) + meta(0x2F, b""))


def write_files(directory, count, seed):
    rng = random.Random(seed)
    os.makedirs(directory, exist_ok=True)
    paths = []
    for n in range(count):
        fmt = rng.choice([0, 1, 1])
        many = fmt == 1 and rng.random() < 0.1  # many short tracks, more than a byte can name
        tracks = rng.choice([16, 17, 257, 300, rng.randrange(7, 257)]) if many else 1 + fmt * rng.randrange(6)
        division = rng.choice([24, 96, 120, 384, 480, 960, 1000, 32767])  # 0x8000 is SMPTE to mido
        out = b"MThd\0\0\0\6" + b"".join(v.to_bytes(2, "big") for v in (fmt, tracks, division))
        for i in range(tracks):
            body = track(rng, i == 0, rng.randrange(12 if many else 250))
            out += b"MTrk" + len(body).to_bytes(4, "big") + body
        paths.append(os.path.join(directory, "random_%04d.mid" % n))
        with open(paths[-1], "wb") as f:
            f.write(out)
    return paths
