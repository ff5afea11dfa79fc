#!/usr/bin/env bash
# Installs what is missing, builds both configurations (release and AddressSanitizer + UBSan) and
# runs every test in each. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

export QT_QPA_PLATFORM=offscreen
jobs="$(nproc)"

echo "== Release build"
scripts/build.sh release
(cd build && ctest --output-on-failure -j "$jobs")
scripts/valgrind.sh build

echo "== Debian package (built, lintian, installed, tried, purged; as root only)"
scripts/package-test.sh

echo "== AddressSanitizer + UBSan build"
scripts/build.sh asan
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
(cd build-asan && ctest --output-on-failure -j "$jobs")

echo "== Fuzzing (bounded)"
scripts/fuzz.sh "${VELNOR_FUZZ_SECONDS:-60}"
