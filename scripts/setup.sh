#!/usr/bin/env bash
# Installs the Debian packages Tonvelo needs to build and test, when missing.
# Safe to run again: installed packages are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libmp3lame-dev libflac-dev libgtest-dev libgmock-dev
  clang libclang-rt-dev
  lame mpg123 flac ffmpeg python3 python3-mido python3-mutagen
  dpkg-dev file man-db gzip
  qt6-base-dev libqt6svg6
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
