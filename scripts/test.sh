#!/usr/bin/env bash
# Sets up, builds with AddressSanitizer and UndefinedBehaviorSanitizer, and runs
# every test. Then gives each reader's fuzzer a short run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build-check
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONVELO_SANITIZE=ON \
  -DTONVELO_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$build" && ctest --output-on-failure -j"$(nproc)")

if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh "${TONVELO_FUZZ_SECONDS:-60}"
fi
