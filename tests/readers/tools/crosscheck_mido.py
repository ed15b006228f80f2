"""Cross-checks the MIDI reader against mido: random valid files are written,
dumped by dump_events and parsed by mido, and every event's absolute time and
bytes must agree. Events at the same time may come in another order from
mido, so they are compared as multisets per time; times are compared exactly
(the dump prints the integer sum of delta × tempo).
"""

import argparse
import collections
import fractions
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smf_gen  # noqa: E402

try:
    import mido
except ImportError:
    sys.exit("error: python3-mido is needed for this test (apt-get install python3-mido)")


def signature(kind, raw):
    return "%d %s" % (kind, raw.hex())


def mido_events(path):
    """(exact seconds, float seconds, signature) for every message of mido's parse.

    Tracks are merged by absolute tick (lower track first on ties); the tempo
    map is the merged Set Tempo events. The float time is summed with mido's
    tick2second, the exact one as a fraction for grouping.
    """
    mf = mido.MidiFile(path)
    merged = []  # (tick, track, index, msg)
    for t, track in enumerate(mf.tracks):
        tick = 0
        for i, msg in enumerate(track):
            tick += msg.time
            merged.append((tick, t, i, msg))
    merged.sort(key=lambda e: (e[0], e[1], e[2]))

    division = mf.ticks_per_beat
    out = []
    tempo = 500000
    last_tick = 0
    exact = fractions.Fraction(0)
    seconds = 0.0
    for tick, _, _, msg in merged:
        exact += fractions.Fraction((tick - last_tick) * tempo, division * 1000000)
        seconds += mido.tick2second(tick - last_tick, division, tempo)
        last_tick = tick
        if msg.is_meta:
            raw = bytes(msg.bytes())
            # Drop the length: the dump prints FF, type and body.
            pos = 2
            while raw[pos] & 0x80:
                pos += 1
            sig = signature(2, raw[:2] + raw[pos + 1:])
            if msg.type == "set_tempo":
                tempo = max(msg.tempo, 1)
        elif msg.type == "sysex":
            sig = signature(1, bytes(msg.bytes()))
        else:
            sig = signature(0, bytes(msg.bytes()))
        out.append((exact, seconds, sig))
    return division, out


def dump_events(dump, paths):
    result = {}
    proc = subprocess.run([dump] + paths, capture_output=True, text=True)
    current = None
    for line in proc.stdout.splitlines():
        parts = line.split()
        if parts[0] == "file":
            current = {"open": int(parts[2]), "division": int(parts[3]), "events": [], "end": None}
            result[parts[1]] = current
        elif parts[0] == "end":
            current["end"] = int(parts[1])
        else:
            seconds, usticks, kind, raw = float(parts[0]), int(parts[1]), int(parts[2]), parts[3]
            current["events"].append((seconds, usticks, signature(kind, bytes.fromhex(raw))))
    if proc.returncode != 0:
        print(proc.stderr, file=sys.stderr)
    return result


def compare(path, ours, division, theirs):
    errors = []
    if ours["open"] != 0 or ours["end"] != 1:
        return ["opened with %s, ended with %s" % (ours["open"], ours["end"])]
    if ours["division"] != division:
        errors.append("division %d, mido %d" % (ours["division"], division))
    by_time_ours = collections.defaultdict(collections.Counter)
    for seconds, usticks, sig in ours["events"]:
        exact = fractions.Fraction(usticks, division * 1000000)
        if abs(seconds - float(exact)) > 1e-9 * max(1.0, float(exact)):
            errors.append("printed seconds %.9f for exact %s" % (seconds, float(exact)))
        by_time_ours[exact][sig] += 1
    by_time_theirs = collections.defaultdict(collections.Counter)
    for exact, seconds, sig in theirs:
        by_time_theirs[exact][sig] += 1
        if abs(seconds - float(exact)) > 1e-6:
            errors.append("mido's %.9f s differs from the exact %.9f s" % (seconds, float(exact)))
    if len(ours["events"]) != len(theirs):
        errors.append("%d events, mido %d" % (len(ours["events"]), len(theirs)))
    for t in sorted(set(by_time_ours) | set(by_time_theirs)):
        if by_time_ours[t] != by_time_theirs[t]:
            errors.append("at %.9f s: ours %s, mido %s" % (
                float(t), dict(by_time_ours[t]), dict(by_time_theirs[t])))
            break
    return errors


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--dump", required=True, help="path of the dump_events tool")
    ap.add_argument("--work", required=True, help="folder for the generated files")
    ap.add_argument("--count", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    paths = smf_gen.write_files(args.work, args.count, args.seed)
    ours = dump_events(args.dump, paths)
    failed = 0
    events = 0
    for path in paths:
        division, theirs = mido_events(path)
        events += len(theirs)
        if path not in ours:
            print("%s: not dumped" % path)
            failed += 1
            continue
        errors = compare(path, ours[path], division, theirs)
        if errors:
            failed += 1
            print("%s:\n  %s" % (path, "\n  ".join(errors[:5])))
    print("%d files, %d events, %d mismatching files" % (len(paths), events, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
