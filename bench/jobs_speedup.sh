#!/bin/bash
# --jobs speed-up: converts a batch of 8 music files to MP3 once with --jobs 1
# and once with --jobs 2, prints both wall times and their ratio, and checks
# that the two runs wrote byte-identical outputs. On a machine with two free
# cores the ratio should be at least 1.8.
#
# usage: bench/jobs_speedup.sh TONVELO [MIDI] [FORMAT]
set -eu
tonvelo=$(realpath "$1")
midi=$(realpath "${2:-$(dirname "$0")/../examples/bach_prelude_c.mid}")
format=${3:-pianodisc}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for k in 1 2 3 4 5 6 7 8; do cp "$midi" "$work/piece$k.mid"; done

# Wall seconds of one batch; its CPU seconds (user + system) go to $work/cpu.
run() {  # jobs outdir
  local TIMEFORMAT="%R %U %S" t
  t=$( { time "$tonvelo" --format "$format" --seed 1 --mp3 --jobs "$1" --output-dir "$work/$2" \
           "$work"/piece*.mid 2>/dev/null; } 2>&1 )
  set -- $t
  echo "$2 + $3" | bc > "$work/cpu"
  echo "$1"
}

one=$(run 1 one); cpu1=$(cat "$work/cpu")
two=$(run 2 two); cpu2=$(cat "$work/cpu")
echo "8 files to MP3 ($format): --jobs 1 ${one} s wall (${cpu1} s cpu)," \
  "--jobs 2 ${two} s wall (${cpu2} s cpu), speed-up $(echo "scale=2; $one / $two" | bc)x"
echo "(the speed-up needs two otherwise idle cores; load now: $(cut -d' ' -f1-3 /proc/loadavg))"
if (cd "$work/one" && md5sum *.mp3) | diff - <(cd "$work/two" && md5sum *.mp3) >/dev/null; then
  echo "outputs identical"
else
  echo "OUTPUTS DIFFER"
  exit 1
fi
