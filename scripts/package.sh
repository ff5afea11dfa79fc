#!/usr/bin/env bash
# Makes the Debian package of Velnor Client: build-package/package/velnor-client_VERSION_ARCH.deb (the
# programs, desktop entry, icons, AppStream metainfo, manual pages and bash completion, the nightly
# backup service and the Ansible collection; library dependencies found by dpkg-shlibdeps), and beside
# it the Ansible collection's tarball velnor-client-VERSION.0.tar.gz. It is built as Debian builds
# its packages: for the prefix /usr, with the hardening flags of dpkg-buildflags, and without the
# tests. Installs what is missing first. Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh >&2
# The package's folders and files take their modes from the staged install: no stricter umask.
umask 022

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
dir=build-package
# The shared compiler cache, where there is one, makes a second package build quick.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# /usr for the programs and their files, /etc for the backup service's settings.
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_INSTALL_SYSCONFDIR=/etc \
      -DVELNOR_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
      -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
# Only what is installed: the benchmark and screenshot programs are not part of the package.
cmake --build "$dir" -j "$(nproc)" --target velnor-client velnor-tftp velnor-router-sim velnor_package_files >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
rm -f "$dir"/package/velnor-client_*.deb
(cd "$dir" && cpack -G DEB) >&2
deb="$PWD/$dir/package/velnor-client_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "cpack made no $deb" >&2; exit 1; }
# The Ansible collection's tarball beside it, for ansible-galaxy on machines without the package.
collection=$(sed -n 's/^VELNOR_COLLECTION_TARBALL:INTERNAL=//p' "$dir/CMakeCache.txt")
[ -n "$collection" ] && [ -f "$collection" ] || { echo "the Ansible collection was not built" >&2; exit 1; }
rm -f "$dir"/package/velnor-client-*.tar.gz
cp "$collection" "$dir/package/"
echo "$deb"
