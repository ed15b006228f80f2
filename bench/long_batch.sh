#!/bin/bash
# Long batches: converts 1000 small music files with --jobs 1 and with
# --jobs N and reads the converter's resident memory once 10 outputs are done
# and again once 990 are. A converter that kept anything of a finished file
# would grow with the batch; the second reading must stay within 10% of the
# first. Every file must convert.
#
# usage: bench/long_batch.sh TONVELO [JOBS] [FORMAT]
set -eu
tonvelo=$(realpath "$1")
jobs=${2:-$(nproc)}
format=${3:-disklavier}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$tonvelo" "$jobs" "$format" "$work" <<'PY'
import os, struct, subprocess, sys, time

tonvelo, jobs, fmt, work = sys.argv[1:5]
src = os.path.join(work, "in")
os.makedirs(src)
for i in range(1000):
    note = 36 + i % 48
    track = bytes([0, 0x90, note, 100, 0x83, 0x60, 0x80, note, 64, 0, 0xFF, 0x2F, 0])
    with open(os.path.join(src, "%04d.mid" % i), "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480) + b"MTrk" +
                struct.pack(">I", len(track)) + track)

def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0

status = 0
for j in sorted({1, int(jobs)}):
    out = os.path.join(work, "out%d" % j)
    err = open(os.path.join(work, "err"), "w+")
    p = subprocess.Popen([tonvelo, "--format", fmt, "--jobs", str(j), "--output-dir", out, src],
                         stderr=err)
    first = last = None
    while p.poll() is None:
        try:
            done = len(os.listdir(os.path.join(out, "in")))
            rss = rss_kib(p.pid)
        except OSError:
            done, rss = 0, 0
        if done >= 10 and first is None and rss:
            first = rss
        if done >= 990 and rss:
            last = rss
        time.sleep(0.002)
    err.seek(0)
    converted = "1000 converted, 0 failed, 0 skipped" in err.read()
    if not (converted and first and last):
        print("--jobs %d: the batch did not run to the end as expected" % j)
        status = 1
        continue
    pct = 100.0 * (last - first) / first
    print("--jobs %d (%s): resident %d KiB after 10 files, %d KiB after 990 (%+.1f%%)"
          % (j, fmt, first, last, pct))
    if pct > 10:
        print("memory grows with the batch")
        status = 1
sys.exit(status)
PY
