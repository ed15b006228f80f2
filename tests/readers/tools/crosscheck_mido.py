"""Cross-checks the MIDI reader with mido on random valid files: each event's
time (exact sum of delta x tempo), kind, bytes and place in the merged stream
(ties to the lower track), on the first pass and on a replay."""

import argparse
import os
import subprocess
import sys
from itertools import accumulate

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smf_gen  # noqa: E402

import mido  # python3-mido


def mido_dump(path):
    """The file as dump_events prints it."""
    mf = mido.MidiFile(path)
    merged = sorted((tick, t, i, msg) for t, track in enumerate(mf.tracks)
                    for i, (tick, msg) in enumerate(zip(accumulate(m.time for m in track), track)))
    out, tempo, last, time = ["file %s 0 %d" % (path, mf.ticks_per_beat)], 500000, 0, 0
    for tick, _, _, msg in merged:
        time, last = time + (tick - last) * tempo, tick
        raw = bytes(msg.bytes())
        if msg.is_meta:  # without the length
            raw = raw[:2] + raw[3 + next(k for k, b in enumerate(raw[2:]) if b < 0x80):]
            tempo = max(msg.tempo, 1) if msg.type == "set_tempo" else tempo
        out.append("%d %d %s" % (time, {0xFF: 2, 0xF0: 1}.get(raw[0], 0), raw.hex()))
    return out + ["end 1"]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    for arg, kind in (("--dump", str), ("--work", str), ("--count", int), ("--seed", int)):
        ap.add_argument(arg, type=kind, required=True)
    args = ap.parse_args()
    paths = smf_gen.write_files(args.work, args.count, args.seed)
    ours = subprocess.run([args.dump] + paths, capture_output=True, text=True).stdout.splitlines()
    theirs = [line for path in paths for line in mido_dump(path)]
    at = next((i for i, (a, b) in enumerate(zip(ours + [""], theirs + [""])) if a != b), None)
    if at is not None:
        path = next(line for line in reversed(theirs[:at + 1]) if line.startswith("file "))
        print("%s: ours %r, mido %r" % (path, (ours + [""])[at], (theirs + [""])[at]))
    print("%d files, %d lines" % (len(paths), len(theirs)))
    return 0 if at is None else 1


if __name__ == "__main__":
    sys.exit(main())
