#!/usr/bin/env bash
# The Debian package as a user gets it: made by scripts/package.sh, checked with lintian (no error, no
# warning), installed with apt-get, tried from /usr/bin (the console companion against the installed
# simulator on loopback, the window on the offscreen platform as its menu entry starts it, the manual
# pages, the completion), then purged: no file of ours is left, and packages that the install brought
# in are removed again. Needs root; refuses to touch a velnor-client package installed beforehand.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: skipped, apt-get install needs root"
  exit 0
fi
if dpkg-query -W -f='${Status}' velnor-client 2>/dev/null | grep -q "installed"; then
  echo "package test: velnor-client is already installed on this machine; remove it first" >&2
  exit 1
fi

deb=$(scripts/package.sh | tail -n1)
echo "== Package $deb"
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

echo "== lintian"
# Running as root is fine here: lintian only unpacks the package into a temporary folder.
lintian --fail-on error,warning --display-info "$deb" || fail "lintian reports errors or warnings"

echo "== Contents"
if ! diff -u <(sed 's|^|usr/|' tests/packaging/expected-install.txt) \
             <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | LC_ALL=C sort); then
  fail "the package's files differ from tests/packaging/expected-install.txt"
fi
depends=$(dpkg-deb -f "$deb" Depends)
for need in fonts-ipafont-gothic qt6-translations-l10n libqt6widgets6 libc6; do
  [[ $depends == *"$need"* ]] || fail "Depends lacks $need: $depends"
done

work=$(mktemp -d)
before=$(dpkg-query -W -f='${Package}\n' | sort)
installed=0
cleanup() {
  if ((installed)); then
    echo "== Purge"
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -q velnor-client >/dev/null
    # What the install brought in besides the package goes too: the machine is left as it was found.
    brought=$(comm -13 <(echo "$before") <(dpkg-query -W -f='${Package}\n' | sort))
    if [ -n "$brought" ]; then
      # shellcheck disable=SC2086
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -q $brought >/dev/null
    fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== apt-get install $deb"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "$deb" >/dev/null
installed=1
dpkg -L velnor-client | while read -r path; do [ -f "$path" ] && echo "$path"; done > "$work/files"

echo "== From /usr/bin"
for program in velnor-client velnor-tftp velnor-router-sim; do
  [[ $(command -v "$program") == /usr/bin/$program ]] || fail "$program is not /usr/bin/$program"
done
/usr/bin/velnor-router-sim --help | grep -qx /usr/share/velnor-client/samples ||
  fail "the installed simulator does not name /usr/share/velnor-client/samples in --help"
version=$(/usr/bin/velnor-tftp --version) || fail "velnor-tftp --version"
[[ $version == *1.21* ]] || fail "velnor-tftp --version printed \"$version\""

# A get from the installed simulator with its installed samples, on loopback inside a network
# namespace of its own where one can be made (else on an address of its own, 127.0.17.1).
mkdir -p "$work/router" "$work/client"
cp /usr/share/velnor-client/samples/config* "$work/router/"
cat > "$work/get.sh" <<'GET'
set -eu
work=$1 address=$2
ip link set lo up 2>/dev/null || true
/usr/bin/velnor-router-sim --listen "$address" --root "$work/router" --max-seconds 60 > "$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q serving "$work/sim.log" && break; sleep 0.05; done
status=0
/usr/bin/velnor-tftp get -q -n 1 "$address" "$work/client/config1.txt" || status=$?
kill "$sim"; wait "$sim" || true
exit $status
GET
if unshare --net true 2>/dev/null; then
  unshare --net sh "$work/get.sh" "$work" 127.0.0.1 || fail "velnor-tftp get from the installed simulator (namespace)"
else
  sh "$work/get.sh" "$work" 127.0.17.1 || fail "velnor-tftp get from the installed simulator (127.0.17.1)"
fi
cmp -s "$work/client/config1.txt" /usr/share/velnor-client/samples/config1 || fail "the fetched config1 differs from the sample"

# The window, started as its installed menu entry says, on the offscreen platform: its settings file
# appears in the configuration folder of the home given to it.
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/org.velnor.VelnorClient.desktop)
mkdir -p "$work/home" "$work/menu"
(cd "$work/menu" && HOME="$work/home" XDG_CONFIG_HOME= QT_QPA_PLATFORM=offscreen exec $exec_line) > "$work/window.log" 2>&1 &
window=$!
settings="$work/home/.config/velnor-client/Velnor ClientV090.dat"
for _ in $(seq 200); do [ -f "$settings" ] && break; kill -0 "$window" 2>/dev/null || break; sleep 0.05; done
kill -0 "$window" 2>/dev/null || fail "the installed window ended by itself: $(cat "$work/window.log")"
[ -f "$settings" ] || fail "the menu start made no settings file in ~/.config/velnor-client"
[ -z "$(ls -A "$work/menu")" ] || fail "the menu start left files in the folder it was started in"
kill "$window" 2>/dev/null || true
wait "$window" 2>/dev/null || true

echo "== Manual pages, desktop files and completion as installed"
for page in velnor-client velnor-tftp velnor-router-sim; do
  path=$(man -w "$page") || { fail "man finds no page for $page"; continue; }
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$path" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "man --warnings $page: $out"
done
desktop-file-validate /usr/share/applications/org.velnor.VelnorClient.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net --no-color /usr/share/metainfo/org.velnor.VelnorClient.metainfo.xml >/dev/null ||
  fail "appstreamcli validate"
tests/packaging/completion_test.sh /usr/share/bash-completion/completions || fail "the installed completion"

echo "== apt-get purge"
cleanup
installed=0
trap - EXIT
left=0
while read -r path; do
  if [ -e "$path" ]; then echo "left behind: $path"; left=$((left + 1)); fi
done < <(cat "$src/tests/packaging/expected-install.txt" | sed 's|^|/usr/|')
for folder in /usr/share/velnor-client /usr/share/doc/velnor-client; do
  [ -e "$folder" ] && { echo "left behind: $folder"; left=$((left + 1)); }
done
((left == 0)) || fail "$left of our files are left after apt-get purge"
dpkg-query -W velnor-client >/dev/null 2>&1 && fail "dpkg still knows velnor-client"
after=$(dpkg-query -W -f='${Package}\n' | sort)
[[ $before == "$after" ]] || fail "the installed packages differ from before: $(diff <(echo "$before") <(echo "$after") | tr '\n' ' ')"

if ((failed)); then
  echo "package test: $failed failed"
  exit 1
fi
echo "package test: built, lintian-clean, installed, tried and purged"
