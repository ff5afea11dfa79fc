#!/usr/bin/env bash
# Makes the Debian package of Velnor Client: build-package/package/velnor-client_VERSION_ARCH.deb (the
# programs, desktop entry, icons, AppStream metainfo, manual pages and bash completion; library
# dependencies found by dpkg-shlibdeps). It is built as Debian builds its packages: for the prefix
# /usr, with the hardening flags of dpkg-buildflags, and without the tests. Installs what is missing
# first. Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh >&2
# The package's folders and files take their modes from the staged install: no stricter umask.
umask 022

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
dir=build-package
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DVELNOR_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
      -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
# Only what is installed: the benchmark and screenshot programs are not part of the package.
cmake --build "$dir" -j "$(nproc)" --target velnor-client velnor-tftp velnor-router-sim velnor_package_files >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
rm -f "$dir"/package/velnor-client_*.deb
(cd "$dir" && cpack -G DEB) >&2
deb="$PWD/$dir/package/velnor-client_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "cpack made no $deb" >&2; exit 1; }
echo "$deb"
