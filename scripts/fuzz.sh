#!/usr/bin/env bash
# Builds the fuzzers of every reader of untrusted bytes (MIDI, ESEQ,
# Pianocorder data, WAV and MP3 accompaniments, tags files) with clang's
# libFuzzer (no CMake: the sources are compiled straight into build-fuzz/),
# seeds their corpora with valid files and runs each for SECONDS (default
# 60). Exits nonzero when a fuzzer finds a crash, a sanitizer error or a hang;
# the input is left in build-fuzz/findings-*.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
out=build-fuzz
cxx="${FUZZ_CXX:-}"
if [ -z "$cxx" ]; then
  for c in clang++ clang++-14; do
    if command -v "$c" >/dev/null; then cxx="$c"; break; fi
  done
fi
if [ -z "$cxx" ]; then
  echo "fuzz.sh: clang++ with libFuzzer is needed" >&2
  exit 1
fi

flags=(-std=c++20 -O1 -g -I. -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
  -fno-omit-frame-pointer)
sources=(readers/music_file.cpp readers/file_image.cpp readers/smf2mid.cpp readers/eseq2mid.cpp
  readers/pianocorder_source.cpp audio/byte_file.cpp)
mkdir -p "$out"
for target in smf eseq pianocorder; do
  "$cxx" "${flags[@]}" "tests/fuzz/fuzz_$target.cpp" "${sources[@]}" -o "$out/fuzz_$target"
done
"$cxx" "${flags[@]}" tests/fuzz/fuzz_mp3.cpp audio/pcm_in_mp3.cpp audio/byte_file.cpp -lmp3lame \
  -o "$out/fuzz_mp3"
"$cxx" "${flags[@]}" tests/fuzz/fuzz_wav.cpp audio/pcm_in_wav.cpp audio/wave_file.cpp \
  audio/byte_file.cpp -o "$out/fuzz_wav"
"$cxx" "${flags[@]}" tests/fuzz/fuzz_tags.cpp audio/tags_file.cpp audio/pcm_out.cpp \
  audio/pcm_out_mp3.cpp audio/pcm_out_flac.cpp audio/byte_file.cpp -lmp3lame -lFLAC \
  -o "$out/fuzz_tags"

/usr/bin/python3 tests/fuzz/make_seeds.py --out "$out"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in smf eseq mp3 wav pianocorder tags; do
  mkdir -p "$out/findings-$target"
  echo "fuzz.sh: fuzz_$target for ${seconds}s"
  "$out/fuzz_$target" -max_total_time="$seconds" -timeout=10 -max_len=65536 \
    -artifact_prefix="$out/findings-$target/" -print_final_stats=1 "$out/corpus-$target"
done
