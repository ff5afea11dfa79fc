#!/usr/bin/env bash
# Builds the program and renders the transfer window and the version box on Qt's offscreen platform into
# out/screenshots/dialog.png and out/screenshots/about.png (no display needed).
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
(cd "$work" && QT_QPA_PLATFORM=offscreen "$root/build/app/velnor-screenshot" "$out/dialog.png" "$out/about.png")
echo "Saved $out/dialog.png and $out/about.png"
