"""Writes random but valid Standard MIDI Files, byte by byte, so that other
parsers can be checked against them. Seeded and deterministic.

Files use format 0 or 1, several tracks, running status, tempo changes,
system exclusive and meta events. Running status is never used right after
a system-exclusive event: parsers disagree on whether it survives one.
"""

import argparse
import os
import random

DIVISIONS = [24, 96, 120, 384, 480, 960, 1000, 32767]  # 0x8000 is SMPTE to mido
TEMPOS = [500000, 600000, 533333, 250000, 1000000, 428571, 2000000, 100000]


def varlen(v):
    out = [v & 0x7F]
    v >>= 7
    while v:
        out.append(0x80 | (v & 0x7F))
        v >>= 7
    return bytes(reversed(out))


def meta(kind, body):
    return bytes([0xFF, kind]) + varlen(len(body)) + bytes(body)


def random_delta(rng):
    r = rng.random()
    if r < 0.3:
        return 0
    if r < 0.9:
        return rng.randrange(1, 500)
    if r < 0.99:
        return rng.randrange(500, 20000)
    return rng.randrange(20000, 200000)  # several VLQ bytes, well under a day


def random_tempo(rng):
    return rng.choice(TEMPOS) if rng.random() < 0.5 else rng.randrange(100000, 2000001)


def channel_message(rng, channel):
    kind = rng.choice([0x80, 0x90, 0x90, 0x90, 0xA0, 0xB0, 0xB0, 0xC0, 0xD0, 0xE0])
    status = kind | channel
    count = 1 if kind in (0xC0, 0xD0) else 2
    return status, bytes(rng.randrange(128) for _ in range(count))


def random_track(rng, index, events):
    out = bytearray()
    running = None
    channel = rng.randrange(16)
    for _ in range(events):
        out += varlen(random_delta(rng))
        r = rng.random()
        if r < 0.75:
            if rng.random() < 0.1:
                channel = rng.randrange(16)
            status, data = channel_message(rng, channel)
            if status == running and rng.random() < 0.8:
                out += data
            else:
                out += bytes([status]) + data
            running = status
        elif r < 0.82:
            out += meta(0x51, random_tempo(rng).to_bytes(3, "big"))
        elif r < 0.88:
            body = [rng.randrange(1, 128) for _ in range(rng.randrange(0, 24))] + [0xF7]
            out += bytes([0xF0]) + varlen(len(body)) + bytes(body)
            running = None
        else:
            choice = rng.randrange(6)
            if choice == 0:
                text = bytes(rng.randrange(0x20, 0x7F) for _ in range(rng.randrange(0, 30)))
                out += meta(rng.choice([0x01, 0x03, 0x06]), text)
            elif choice == 1:
                out += meta(0x58, [rng.randrange(1, 13), rng.randrange(0, 5), 24, 8])
            elif choice == 2:
                out += meta(0x59, [rng.randrange(0, 8), rng.randrange(0, 2)])
            elif choice == 3:
                out += meta(0x7F, [rng.randrange(128) for _ in range(rng.randrange(1, 10))])
            elif choice == 4:
                out += meta(0x21, [rng.randrange(16)])  # MIDI port
            else:
                out += meta(0x20, [channel])
    out += varlen(random_delta(rng)) + meta(0x2F, [])
    return bytes(out)


def random_smf(rng):
    fmt = rng.choice([0, 1, 1])
    tracks = 1 if fmt == 0 else rng.randrange(1, 7)
    division = rng.choice(DIVISIONS)
    out = bytearray(b"MThd" + (6).to_bytes(4, "big"))
    out += fmt.to_bytes(2, "big") + tracks.to_bytes(2, "big") + division.to_bytes(2, "big")
    for i in range(tracks):
        body = bytearray()
        if i == 0 and rng.random() < 0.7:
            body += varlen(0) + meta(0x03, b"Song %d" % rng.randrange(1000))
        if i == 0 and rng.random() < 0.7:
            body += varlen(0) + meta(0x51, random_tempo(rng).to_bytes(3, "big"))
        body += random_track(rng, i, rng.randrange(0, 250))
        out += b"MTrk" + len(body).to_bytes(4, "big") + body
    return bytes(out)


def write_files(directory, count, seed):
    rng = random.Random(seed)
    os.makedirs(directory, exist_ok=True)
    paths = []
    for n in range(count):
        path = os.path.join(directory, "random_%04d.mid" % n)
        with open(path, "wb") as f:
            f.write(random_smf(rng))
        paths.append(path)
    return paths


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", required=True)
    ap.add_argument("--count", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    write_files(args.out, args.count, args.seed)
