#!/usr/bin/env bash
# Configures and builds one configuration.
# Usage: scripts/build.sh release|asan   (build folders: build/ and build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-release}"
case "$kind" in
  release) dir=build;      flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_WERROR=ON) ;;
  asan)    dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DVELNOR_SANITIZE=ON -DVELNOR_WERROR=ON) ;;
  *) echo "usage: $0 release|asan" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
