#!/usr/bin/env bash
# Sets up, builds with AddressSanitizer and UndefinedBehaviorSanitizer, and runs
# every test; then gives each reader's fuzzer a short run. Ends with ctest's
# summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build-check
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONVELO_SANITIZE=ON \
  -DTONVELO_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$build" && ctest --output-on-failure -j"$(nproc)") 2>&1 | tee "$build/ctest.log"

# Six targets: half a minute each keeps the whole check short.
fuzz_seconds="${TONVELO_FUZZ_SECONDS:-30}"
if [ "$fuzz_seconds" -gt 0 ]; then
  if ! bash scripts/fuzz.sh "$fuzz_seconds" > "$build/fuzz.log" 2>&1; then
    tail -n 60 "$build/fuzz.log"
    echo "fuzzing found a problem (full log: $build/fuzz.log)" >&2
    exit 1
  fi
  grep -E '^(fuzz.sh:|Done [0-9]+ runs)' "$build/fuzz.log" || true
fi

echo
grep -E 'tests passed|tests failed out of|Total Test time' "$build/ctest.log"
