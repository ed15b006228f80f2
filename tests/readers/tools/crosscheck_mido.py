"""Cross-checks the MIDI reader against mido: random valid files are written,
dumped by dump_events and parsed by mido. Every event's time (the exact sum of
delta x tempo), bytes and place in the stream must agree: tracks merge in time
order, ties going to the lower track, on the first pass and on a replay.
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smf_gen  # noqa: E402

try:
    import mido
except ImportError:
    sys.exit("error: python3-mido is needed for this test (apt-get install python3-mido)")


def mido_events(path):
    """The division and the events as dump_events prints them."""
    mf = mido.MidiFile(path)
    merged = []
    for t, track in enumerate(mf.tracks):
        tick = 0
        for i, msg in enumerate(track):
            tick += msg.time
            merged.append((tick, t, i, msg))
    out, tempo, last, time = [], 500000, 0, 0
    for tick, _, _, msg in sorted(merged, key=lambda e: e[:3]):
        time, last = time + (tick - last) * tempo, tick
        raw = bytes(msg.bytes())
        if msg.is_meta:  # without the length
            pos = 2
            while raw[pos] & 0x80:
                pos += 1
            raw = raw[:2] + raw[pos + 1:]
            tempo = max(msg.tempo, 1) if msg.type == "set_tempo" else tempo
        out.append("%d %d %s" % (time, {0xFF: 2, 0xF0: 1}.get(raw[0], 0), raw.hex()))
    return mf.ticks_per_beat, out


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--dump", required=True, help="path of the dump_events tool")
    ap.add_argument("--work", required=True, help="folder for the generated files")
    ap.add_argument("--count", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    paths = smf_gen.write_files(args.work, args.count, args.seed)
    ours, current = {}, None
    dumped = subprocess.run([args.dump] + paths, capture_output=True, text=True).stdout
    for line in dumped.splitlines():
        if line.startswith("file "):
            p = line.split()
            current = ours[p[1]] = ["opened " + p[2], int(p[3]), []]
        else:
            current[2].append(line)
    failed = count = 0
    for path in paths:
        division, theirs = mido_events(path)
        count += len(theirs)
        expected = ["opened 0", division, theirs + ["end 1"]]
        got = ours.get(path, ["not dumped", 0, []])
        if got != expected:
            failed += 1
            at = next(i for i, (a, b) in enumerate(zip(got[2] + [""], expected[2] + [""])) if a != b)
            print("%s: %s, division %d (mido %d); event %d: ours %r, mido %r" % (
                path, got[0], got[1], division, at, (got[2] + [""])[at], (expected[2] + [""])[at]))
    print("%d files, %d events, %d mismatching files" % (len(paths), count, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
