#!/usr/bin/env bash
# Builds the Debian package in Release, installs it with apt-get, and runs the
# installed program: its version and one conversion of the bundled example.
# The package stays installed (remove it with: apt-get remove tonvelo).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build-package
rm -f "$build"/tonvelo_*.deb
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTONVELO_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB > cpack.log) || { cat "$build/cpack.log"; exit 1; }
deb=$(ls "$PWD/$build"/tonvelo_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Depends

# The manual page must format without a single warning.
warnings=$(man --warnings -l doc/tonvelo.1 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  echo "$warnings" >&2
  exit 1
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --reinstall --no-install-recommends \
  "$deb" > "$build/install.log" || { cat "$build/install.log"; exit 1; }

# From here on only the installed files are used.
installed=/usr/bin/tonvelo
"$installed" --version
man -w tonvelo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/bach_prelude_c.mid "$work/"
(cd "$work" && "$installed" --format disklavier --flac --output-dir out bach_prelude_c.mid)
test -s "$work/out/bach_prelude_c.flac"
echo "package: installed and converted $(stat -c %s "$work/out/bach_prelude_c.flac") bytes of FLAC"
