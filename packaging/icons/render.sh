#!/usr/bin/env bash
# Renders the application icon (resources/icon130.svg) into the PNG sizes of the hicolor theme that
# packaging/CMakeLists.txt installs. Run it after changing the drawing, and commit the PNGs.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" --output "icon-$size.png" ../../resources/icon130.svg
done
