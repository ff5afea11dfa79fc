#!/usr/bin/env bash
# Makes the Debian package of Velnor Client from the release build: build/package/velnor-client_VERSION_amd64.deb
# (the programs, desktop entry, icons, AppStream metainfo, manual pages and bash completion; library
# dependencies found by dpkg-shlibdeps). Installs what is missing and builds first. Prints the
# package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
# The package's folders and files take their modes from the staged install: no stricter umask.
umask 022
scripts/deps.sh
scripts/build.sh release >&2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
rm -f build/package/velnor-client_*.deb
(cd build && cpack -G DEB) >&2
deb="$PWD/build/package/velnor-client_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "cpack made no $deb" >&2; exit 1; }
echo "$deb"
