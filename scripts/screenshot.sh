#!/usr/bin/env bash
# Builds the program and renders the transfer window and the version box into out/screenshots/:
# dialog.png and about.png on Qt's offscreen platform (no display needed), and, when Xvfb is installed,
# dialog-x11-scale1.png, about-x11-scale1.png and the same at scale 2 on X11 (an Xvfb of its own),
# which is what a person on a Linux desktop sees. Each run also prints which controls were widened to
# show their texts whole, and any that could not be.
# Usage: scripts/screenshot.sh [output-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="${1:-$root/out/screenshots}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

scripts/deps.sh
scripts/build.sh release

# The windows read (or create) the settings file in the current folder: use a folder of our own.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
QT_QPA_PLATFORM=offscreen "$root/build/app/velnor-screenshot" "$out/dialog.png" "$out/about.png"
echo "Saved $out/dialog.png and $out/about.png"

if ! command -v Xvfb >/dev/null; then
  echo "Xvfb is not installed: no X11 screenshots (scripts/deps.sh installs it)"
  exit 0
fi
for scale in 1 2; do
  status=0
  QT_SCALE_FACTOR=$scale "$root/scripts/with-xvfb.sh" "$root/build/app/velnor-screenshot" \
    "$out/dialog-x11-scale$scale.png" "$out/about-x11-scale$scale.png" || status=$?
  # 77: Xvfb could not start here, and the wrapper has said why.
  [ "$status" -eq 77 ] && exit 0
  [ "$status" -ne 0 ] && exit "$status"
  echo "Saved $out/dialog-x11-scale$scale.png and $out/about-x11-scale$scale.png"
done
