#!/usr/bin/env bash
# A fleet of routers backed up side by side in one run, on loopback only.
#
#   sudo bench/fleet.sh
#
# One velnor-router-sim process plays 500 routers on 127.60.0.1-127.60.1.244: 450 answer with a
# configuration of their own (2 KiB), 50 never answer. The same 500 gets are made three ways:
#   (a) velnor-tftp backup --jobs 100
#   (b) xargs -P 100 running tftp-hpa's tftp, one process per router
#   (c) xargs -P 100 running velnor-tftp get, one process per router
#   (d) (a) again with --metrics (the state is kept by every backup run)
# then 2000 routers (1800 answering, 200 silent, 127.61.0.1-127.61.7.208) with velnor-tftp backup
# --jobs 256. For each: wall time, the CPU (user + system) of the whole client side with every child
# process, from the kernel's accounting (wait4 of the top process includes the children it reaped),
# the peak memory of the largest single process (resident) and of all client processes together
# (proportional set size, sampled every 50 ms), and a byte-for-byte check of every fetched file. Root is needed for port 69. The simulator
# lives at most as long as this script and is stopped when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "fleet.sh: run as root (the routers listen on UDP port 69)" >&2
  exit 1
fi

scripts/deps.sh iproute2
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_WERROR=ON -DVELNOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target velnor-tftp velnor-router-sim velnor-bench-measure >/dev/null
measure="$root_dir/$build/bench/velnor-bench-measure"
client="$root_dir/$build/cli/velnor-tftp"
sim="$root_dir/$build/sim/velnor-router-sim"
tftp_client=$(command -v tftp)
results="$root_dir/$build/fleet-results.txt"

# Hundreds of sockets in the simulator and pipes in the clients.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d /tmp/velnor-fleet.XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# addresses PREFIX COUNT: PREFIX.0.1 onwards, skipping .0 and .255 of each /24.
addresses() {
  local prefix=$1 count=$2 n=0 b=0 c=1
  while [ "$n" -lt "$count" ]; do
    echo "$prefix.$b.$c"
    n=$((n + 1)); c=$((c + 1))
    if [ "$c" -gt 254 ]; then c=1; b=$((b + 1)); fi
  done
}

# fleet NAME PREFIX ANSWERING SILENT: the simulator's folders and the lists of the three clients.
fleet() {
  local name=$1 prefix=$2 answering=$3 silent=$4
  local dir="$work/$name"
  mkdir -p "$dir/root"
  addresses "$prefix" $((answering + silent)) > "$dir/all"
  head -n "$answering" "$dir/all" > "$dir/answering"
  tail -n "$silent" "$dir/all" > "$dir/silent"
  # Each answering router its own 2 KiB (printable, without line ends, so that netascii and octet
  # requests get the same bytes).
  while read -r a; do
    mkdir -p "$dir/root/$a"
    head -c 1536 /dev/urandom | base64 -w0 > "$dir/root/$a/config0"
  done < "$dir/answering"
  { echo "name,address"; while read -r a; do echo "$a,$a"; done < "$dir/all"; } > "$dir/inventory.csv"
  for c in a b c d; do mkdir -p "$dir/out-$c"; done
  while read -r a; do echo "$a -c get config0 $dir/out-b/$a.conf"; done < "$dir/all" > "$dir/args-b"
  while read -r a; do echo "$a $dir/out-c/$a.conf"; done < "$dir/all" > "$dir/args-c"
}

start_sim() {
  local dir=$1
  local first_a last_a first_s last_s
  first_a=$(head -n1 "$dir/answering"); last_a=$(tail -n1 "$dir/answering")
  first_s=$(head -n1 "$dir/silent"); last_s=$(tail -n1 "$dir/silent")
  "$sim" --listen "$first_a-$last_a" --silent-address "$first_s-$last_s" --root "$dir/root" --quiet \
    --max-seconds 1800 > "$dir/sim.log" 2>&1 &
  sim_pid=$!
  # Up when the first router answers.
  for _ in $(seq 1 100); do
    if "$client" get -q "$first_a" "$dir/probe" 2>/dev/null; then
      rm -f "$dir/probe"
      return 0
    fi
    sleep 0.1
  done
  echo "fleet.sh: the simulator did not start:" >&2
  cat "$dir/sim.log" >&2
  exit 1
}

stop_sim() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

# run DIR CASE COMMAND...: measured in a session of its own, whose memory is summed while it runs.
run() {
  local dir=$1 case=$2
  shift 2
  setsid "$measure" --timeout 600 --out "$dir/measure-$case" -- "$@" > "$dir/stdout-$case" 2> "$dir/stderr-$case" &
  local pid=$! peak=0 sum pids
  while kill -0 "$pid" 2>/dev/null; do
    # Proportional set sizes: pages the forked workers share with their parent count once, not once
    # per process. ps fails once the session has ended: that sample is simply empty.
    pids=$( (ps -o pid= -s "$pid" 2>/dev/null || true) | awk -v self="$pid" '$1 != self { printf "/proc/%s/smaps_rollup ", $1 }')
    sum=0
    if [ -n "$pids" ]; then
      # shellcheck disable=SC2086
      sum=$( (awk '/^Pss:/ { s += $2 } END { print s + 0 }' $pids 2>/dev/null || true) | tail -n1)
      sum=${sum:-0}
    fi
    [ "$sum" -gt "$peak" ] && peak=$sum
    sleep 0.05
  done
  wait "$pid" || true
  echo "$peak" > "$dir/peak-$case"
}

# check DIR CASE: every answering router's file byte for byte; no file for a silent one (but tftp-hpa,
# which creates its file before the transfer).
check() {
  local dir=$1 case=$2 bad=0 missing=0 a
  while read -r a; do
    if [ ! -f "$dir/out-$case/$a.conf" ]; then
      missing=$((missing + 1))
    elif ! cmp -s "$dir/root/$a/config0" "$dir/out-$case/$a.conf"; then
      bad=$((bad + 1))
    fi
  done < "$dir/answering"
  echo "$missing $bad"
}

row() {
  local dir=$1 case=$2 label=$3 answering=$4
  local wall user sys maxrss status peak missing bad cpu per
  read -r wall user sys maxrss status < "$dir/measure-$case"
  peak=$(cat "$dir/peak-$case")
  read -r missing bad < <(check "$dir" "$case")
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  per=$(awk -v u="$user" -v s="$sys" -v n="$answering" 'BEGIN { printf "%.2f", (u + s) * 1000 / n }')
  printf "| %-40s | %7.1f | %7s | %8s | %8.1f | %9.1f | %6s | %7s | %4s |\n" "$label" "$wall" "$cpu" "$per" \
    "$(awk -v k="$maxrss" 'BEGIN { print k / 1024 }')" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" \
    "$status" "$missing" "$bad"
  echo "$wall $cpu $per" > "$dir/row-$case"  # wall unrounded for the verdict
}

header() {
  echo "| client                                   | wall s  | CPU s   | CPU ms/r | max MiB  | total MiB | exit   | missing | diff |"
  echo "|------------------------------------------|---------|---------|----------|----------|-----------|--------|---------|------|"
}

{
  echo "Velnor Client fleet benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -sr), $(nproc) CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg) before"
} > "$results"

# --- 500 routers
fleet f500 127.60 450 50
d="$work/f500"
start_sim "$d"
run "$d" a "$client" backup --inventory "$d/inventory.csv" --out "$d/out-a" --jobs 100
run "$d" b xargs -a "$d/args-b" -P 100 -L 1 "$tftp_client" -m binary
run "$d" c xargs -a "$d/args-c" -P 100 -L 1 "$client" get -q
run "$d" d "$client" backup --inventory "$d/inventory.csv" --out "$d/out-d" --jobs 100 --metrics "$d/velnor.prom"
stop_sim

# --- 2000 routers
fleet f2000 127.61 1800 200
e="$work/f2000"
start_sim "$e"
run "$e" a "$client" backup --inventory "$e/inventory.csv" --out "$e/out-a" --jobs 256
run "$e" d "$client" backup --inventory "$e/inventory.csv" --out "$e/out-d" --jobs 256 --metrics "$e/velnor.prom"
stop_sim

{
  echo "500 routers (450 answering with 2 KiB, 50 silent) in one simulator process; CPU = user + system of the"
  echo "client side with all its children; CPU ms/r = per answering router; max = largest single process (RSS);"
  echo "total = all client processes together (PSS, sampled); missing/diff = answering routers' files absent/different"
  echo
  header
  row "$d" a "(a) velnor-tftp backup --jobs 100" 450
  row "$d" b "(b) xargs -P 100 tftp (tftp-hpa)" 450
  row "$d" c "(c) xargs -P 100 velnor-tftp get" 450
  row "$d" d "(d) (a) with --metrics" 450
  echo
  read -r wa ca pa < "$d/row-a"; read -r wb cb pb < "$d/row-b"
  awk -v wa="$wa" -v wb="$wb" -v pa="$pa" -v pb="$pb" 'BEGIN {
    printf "(a) wall %.2f s vs (b) %.2f s: %s; within 30 s: %s\n", wa, wb, (wa <= wb ? "no slower: met" : "slower: MISSED"), (wa <= 30 ? "met" : "MISSED");
    printf "(a) CPU per answering router %.2f ms vs tftp-hpa %.2f ms: %.1fx; target <= 2x: %s\n", pa, pb, pa / pb, (pa <= 2 * pb ? "met" : "MISSED") }'
  echo
  echo "2000 routers (1800 answering, 200 silent), velnor-tftp backup --jobs 256:"
  header
  row "$e" a "(a) velnor-tftp backup --jobs 256" 1800
  row "$e" d "(d) the same with --metrics" 1800
  echo
  # The state is kept by every run; the metrics file is made from it at the end of a run.
  for f in "$d" "$e"; do
    read -r wa ca pa < "$f/row-a"; read -r wd cd pd < "$f/row-d"
    awk -v n="$(basename "$f")" -v wa="$wa" -v wd="$wd" -v ca="$ca" -v cd="$cd" 'BEGIN {
      printf "%s: (d) --metrics vs (a): wall %+.1f %%, CPU %+.1f %%; target wall <= +5 %%: %s\n", n,
        (wd / wa - 1) * 100, (cd / ca - 1) * 100, (wd <= wa * 1.05 ? "met" : "MISSED") }'
  done
  echo "load average $(cut -d' ' -f1-3 /proc/loadavg) after"
} | tee -a "$results"
