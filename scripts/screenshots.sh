#!/usr/bin/env bash
# Takes the README's screenshots of tonvelo-gui on a virtual X display and
# saves them under docs/: the empty window, Advanced Features, a listed folder
# tree and a conversion under way. Settings and songs live in a scratch
# folder, so the user's own settings are never touched.
#
# Usage: scripts/screenshots.sh [BUILD_DIR] [SCALE]
#   BUILD_DIR  a build with the GUI (default: build)
#   SCALE      Qt scale factor; other than 1, the PNGs get a "-<SCALE>x" suffix
#              (for checking layouts at high DPI; the README shows scale 1)
# Needs xvfb, xauth, xdotool and imagemagick (not part of CI).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
scale=${2:-1}
gui=$build/app/tonvelo-gui
suffix=""
[ "$scale" = 1 ] || suffix="-${scale}x"
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing" >&2; exit 1; }
done
[ -x "$gui" ] || { echo "screenshots: no $gui (build with the GUI first)" >&2; exit 1; }

# A fixed place, so the paths in the pictures read well.
work=/tmp/tonvelo-screenshots
rm -rf "$work"
mkdir -p "$work"
display=":$((90 + $$ % 100))"
Xvfb "$display" -screen 0 2400x1800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
app_pid=""
cleanup() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
export QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$root/docs"
chmod 700 "$XDG_RUNTIME_DIR"
sleep 1

# Songs of many notes, long enough to be caught converting.
python3 - "$work/Music" <<'PY'
import os, struct, sys
def song(path, seconds):
    events = b"\x00\xff\x51\x03\x07\xa1\x20"
    for k in range(seconds * 2):
        note = 48 + (k * 7) % 36
        events += bytes([0x00, 0x90, note, 70, 0x83, 0x60, 0x80, note, 64])
    events += b"\x00\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480))
        f.write(b"MTrk" + struct.pack(">I", len(events)) + events)
root = sys.argv[1]
for folder, names in {"Joplin": ["Maple Leaf Rag", "The Entertainer", "Solace"],
                      "Joplin/Waltzes": ["Bethena", "Harmony Club Waltz"],
                      "Chopin": ["Nocturne Op 9 No 2", "Waltz in A minor"]}.items():
    os.makedirs(os.path.join(root, folder), exist_ok=True)
    for name in names:
        song(os.path.join(root, folder, name + ".mid"), 900)
PY

settings() {  # the nine values, as the settings store keeps them on Linux
  cat >"$XDG_CONFIG_HOME/Tonvelo.conf" <<CONF
[General]
PrependFormatID=1
OutputPathCustom=$1
OutputPath=$work/Tracks
AudioFileType=0
OutputFormat=$2
SampleRate=0
SourceVelProfile=0
SynthPropPedaling=0
SustainTimingOffset=0
CONF
}

window() {  # waits for a window titled $1 and prints its id
  for _ in $(seq 100); do
    local id
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) || true
    if [ -n "$id" ]; then echo "$id"; return; fi
    sleep 0.1
  done
  echo "screenshots: no window '$1'" >&2
  exit 1
}

shot() {  # window id, file name
  sleep 0.5
  import -window "$1" "$root/docs/$2$suffix.png"
  echo "docs/$2$suffix.png"
}

start_app() {
  "$gui" &
  app_pid=$!
  main=$(window "Tonvelo v1.22")
  xdotool windowactivate --sync "$main" 2>/dev/null || xdotool windowfocus --sync "$main"
}

stop_app() {
  xdotool windowfocus --sync "$main" key --clearmodifiers alt+x
  wait "$app_pid" || true
  app_pid=""
}

# First run: Live Performance LX, so that Advanced shows every option.
settings 0 0
start_app
shot "$main" gui-empty
xdotool key --clearmodifiers alt+v
shot "$(window "Advanced Features")" gui-advanced
xdotool key Escape
stop_app

# Second run: a folder tree into a custom folder as Disklavier tracks.
settings 1 8
start_app
xdotool key --clearmodifiers alt+f
picker=$(window ".*[Ff]older.*")
xdotool windowfocus --sync "$picker" key ctrl+a type --delay 5 "$work/Music/Joplin"
xdotool key Return
sleep 1
shot "$main" gui-files
xdotool windowfocus --sync "$main" key --clearmodifiers alt+s
sleep 2
shot "$main" gui-converting
xdotool key --clearmodifiers alt+c
box=$(window "Tonvelo")
xdotool windowfocus --sync "$box" key Return
stop_app
