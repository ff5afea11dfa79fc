#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, only when they are missing.
# Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail

# The last line builds and checks what is installed: manual pages (scdoc, man-db), the Debian
# package (dpkg-dev and file for dpkg-shlibdeps, lintian), the desktop files and the bash completion;
# prometheus for promtool, which checks the backup's metrics file.
packages=(cmake ninja-build g++ qt6-base-dev qt6-translations-l10n fonts-ipafont-gothic libgtest-dev tftp-hpa
          clang libclang-rt-14-dev valgrind git xvfb ansible-core
          scdoc man-db dpkg-dev file lintian desktop-file-utils appstream bash-completion iproute2
          prometheus "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Please install as root: apt-get install ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=300 update -q
$sudo apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${missing[@]}"
