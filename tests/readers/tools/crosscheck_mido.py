"""Cross-checks the MIDI reader against mido: random valid files are written,
dumped by dump_events and parsed by mido, and every event's time (the exact
sum of delta x tempo) and bytes must agree. Events at one time may come in
another order from mido, so they are compared as multisets per time.
"""

import argparse
import collections
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smf_gen  # noqa: E402

try:
    import mido
except ImportError:
    sys.exit("error: python3-mido is needed for this test (apt-get install python3-mido)")


def events():
    return collections.defaultdict(collections.Counter)


def mido_events(path):
    """Tracks merged by absolute tick, lower track first on ties; the tempo
    map is the merged Set Tempo events. Events as dump_events prints them."""
    mf = mido.MidiFile(path)
    merged = []
    for t, track in enumerate(mf.tracks):
        tick = 0
        for i, msg in enumerate(track):
            tick += msg.time
            merged.append((tick, t, i, msg))
    out, tempo, last, time = events(), 500000, 0, 0
    for tick, _, _, msg in sorted(merged, key=lambda e: e[:3]):
        time, last = time + (tick - last) * tempo, tick
        raw = bytes(msg.bytes())
        if msg.is_meta:  # without the length
            pos = 2
            while raw[pos] & 0x80:
                pos += 1
            raw = raw[:2] + raw[pos + 1:]
            tempo = max(msg.tempo, 1) if msg.type == "set_tempo" else tempo
        out[time]["%d %s" % ({0xFF: 2, 0xF0: 1}.get(raw[0], 0), raw.hex())] += 1
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
    for line in subprocess.run([args.dump] + paths, capture_output=True, text=True).stdout.splitlines():
        p = line.split()
        if p[0] == "file":
            current = ours[p[1]] = ["opened " + p[2], "ended ?", int(p[3]), events()]
        elif p[0] == "end":
            current[1] = "ended " + p[1]
        else:
            current[3][int(p[0])][p[1] + " " + p[2]] += 1
    failed = count = 0
    for path in paths:
        division, theirs = mido_events(path)
        count += sum(sum(c.values()) for c in theirs.values())
        if ours.get(path) != ["opened 0", "ended 1", division, theirs]:
            failed += 1
            got = ours.get(path, ["not dumped", "", 0, events()])
            diff = sorted(t for t in set(got[3]) | set(theirs) if got[3][t] != theirs[t])[:1]
            print("%s: %s, %s, division %d (mido %d); first difference at %s: ours %s, mido %s"
                  % (path, got[0], got[1], got[2], division, diff,
                     [dict(got[3][t]) for t in diff], [dict(theirs[t]) for t in diff]))
    print("%d files, %d events, %d mismatching files" % (len(paths), count, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
