#!/usr/bin/env bash
# Sets up, builds the command-line tool and converts the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTONVELO_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)" --target tonvelo

"$build/tonvelo" --list-formats
mkdir -p out
"$build/tonvelo" --format disklavier --prefix --output-dir out examples/
# and to the default format, Live Performance LX
"$build/tonvelo" --prefix --output-dir out examples/
echo "Written:"
ls -l out/examples
