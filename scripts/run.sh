#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it against the bundled router simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release
echo "The transfer window and the console companion are not built yet; only the engine's tests are."
