#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from the seed corpus in
# tests/fuzz/corpus. Fails on any crash, leak or sanitizer report.
# Usage: scripts/fuzz.sh [seconds-per-target]     (default 60; run it longer by hand: scripts/fuzz.sh 3600)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for target in packet_fuzz settings_fuzz console_text_fuzz; do
  name="${target%_fuzz}"
  mkdir -p "$work/$name"
  cp tests/fuzz/corpus/"$name"*/* "$work/$name/" 2>/dev/null || true
  seeds=$(ls "$work/$name" | wc -l)
  echo "== $target: ${seconds}s from $seeds seeds"
  # New inputs go to the working copy, so the corpus in the repository stays as committed.
  build-fuzz/tests/fuzz/"$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/$name" 2>"$work/$target.log" || { tail -n 60 "$work/$target.log"; echo "$target FAILED"; exit 1; }
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$work/$target.log" | sed "s/^/  /"
  echo "  corpus: $(ls "$work/$name" | wc -l) inputs"
done
