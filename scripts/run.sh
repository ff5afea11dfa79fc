#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it against the bundled router simulator:
# starts velnor-router-sim on 127.0.0.1 with a copy of the sample files, then opens the transfer window
# (velnor-client) in a temporary folder; where there is no display, fetches a configuration file with
# the console companion velnor-tftp instead and shows it. The simulator is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release

sim=build/sim/velnor-router-sim
tftp=build/cli/velnor-tftp
client="$PWD/build/app/velnor-client"
address=127.0.0.1

# The router answers only from UDP port 69, which only root (or a program with CAP_NET_BIND_SERVICE)
# may bind.
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "The router simulator needs root for UDP port 69: run this as root." >&2; exit 1; }
  sudo="sudo"
fi

root="$(mktemp -d)"
# The window keeps its settings file (address history, last folder) in its current folder; this one
# stays between runs so that the history does too.
work="$PWD/out/run"
mkdir -p "$work"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    $sudo kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT

if [ -d sim/samples ] && [ -n "$(ls -A sim/samples)" ]; then
  cp -R sim/samples/. "$root"/
else
  # No samples in this checkout: give the router a small configuration file of its own.
  printf 'hostname demo-router\r\nip lan address 192.168.0.1/24\r\n' > "$root/config0"
fi
echo "== The router's files (a copy in $root):"
ls -l "$root"

echo "== Starting the router simulator on $address:69"
echo "   $sim --listen $address --root $root"
$sudo "$sim" --listen "$address" --root "$root" > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
  grep -q "serving" "$work/sim.log" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "serving" "$work/sim.log" 2>/dev/null; then
  cat "$work/sim.log" >&2
  echo "The router simulator did not start (is UDP port 69 of $address taken by another TFTP server?)." >&2
  exit 1
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "== Opening the transfer window (velnor-client) in $work"
  echo "   Type $address as the router's address, choose an operation and a local file, then Execute."
  echo "   The router's files: config0..config4 (get/put configuration) and exec0, exec1 (revision up)."
  echo "   The settings file \"Velnor ClientV090.dat\" is kept in that folder from one run to the next."
  # The window keeps its settings file in the current folder.
  (cd "$work" && "$client")
  echo "== The window is closed. What the router saw:"
  cat "$work/sim.log"
  echo "== Done; the simulator is stopped and its temporary folder removed."
  exit 0
fi

echo "== No display (neither DISPLAY nor WAYLAND_DISPLAY is set): the transfer window cannot be shown,"
echo "   so a console transfer runs against the simulator instead."
echo "== Fetching the router's configuration file 0 with the console companion"
echo "   $tftp get --file-number 0 $address $work/config.txt"
"$tftp" get --file-number 0 "$address" "$work/config.txt"

echo "== Received $(wc -c < "$work/config.txt") bytes:"
cat "$work/config.txt"
echo
echo "== What the router saw:"
cat "$work/sim.log"
echo "== Done; the simulator is stopped and its temporary folder removed."
