#!/usr/bin/env bash
# Velnor Client against the tftp-hpa client, side by side in one run, on loopback only.
#
#   sudo bench/bench.sh [RUNS]        (RUNS: runs of each case, at least 5; default 7)
#
# Installs what it needs (tftp-hpa, dnsmasq), builds the release configuration in build-bench/, and
# prints a table: medians with min and max of each case, the ratios ours / tftp-hpa and the targets.
#   get   8 MiB from dnsmasq (single port: its answers come from port 69) with velnor-tftp and tftp
#   put   8 MiB to velnor-router-sim (no flash delay) with velnor-tftp revup, velnor-tftp put and tftp
#   idle  velnor-tftp get against a silent router until it gives up (5 s x 5 sends)
#   window  the same get through the transfer window on the offscreen platform
#   limit   a 516-byte datagram and its 4-byte answer, ping-pong between two processes
#   bare    the same get by the least a lock-step client can do (a blocking read and a send a block):
#           the ceiling of any client against that server, and so of the throughput ratio
# Wall and CPU (user + system) are the client process's, from the kernel's accounting (wait4); peak
# memory is its maximum resident set. Root is needed for port 69. Every server is bound to its own
# 127.77.0.x address, lives at most as long as this script, and is stopped when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

runs="${1:-7}"
if ! [[ "$runs" =~ ^[0-9]+$ ]] || [ "$runs" -lt 5 ]; then
  echo "usage: $0 [RUNS]   (RUNS >= 5)" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "bench.sh: run as root (the servers listen on UDP port 69)" >&2
  exit 1
fi

# --- what it needs
scripts/deps.sh dnsmasq-base iproute2
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_WERROR=ON -DVELNOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target velnor-tftp velnor-router-sim velnor-bench-measure \
  velnor-bench-pingpong velnor-bench-dialog velnor-bench-bare-get >/dev/null
tftp_client=$(command -v tftp)
dnsmasq=$(command -v dnsmasq || echo /usr/sbin/dnsmasq)
measure="$root_dir/$build/bench/velnor-bench-measure"
client="$root_dir/$build/cli/velnor-tftp"
sim="$root_dir/$build/sim/velnor-router-sim"
pingpong="$root_dir/$build/bench/velnor-bench-pingpong"
dialog="$root_dir/$build/bench/velnor-bench-dialog"
bare="$root_dir/$build/bench/velnor-bench-bare-get"

addr_dnsmasq=127.77.0.1
addr_sim=127.77.0.2
addr_silent=127.77.0.3
addr_pingpong=127.77.0.4
server_life=1800   # seconds; a forgotten server ends by itself
size=$((8 * 1024 * 1024))

work=$(mktemp -d /tmp/velnor-bench.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/tftproot" "$work/simroot" "$work/client" "$work/runtime"
chmod 0755 "$work" "$work/tftproot"
chmod 0700 "$work/runtime"
# dnsmasq answers the client's "netascii" request (with the "tsize" option) in netascii: it would turn
# every line feed into CR LF. A file without line feeds arrives byte for byte in either mode, so both
# clients fetch the very same 8 MiB.
head -c "$size" /dev/urandom | tr '\n' 'x' > "$work/tftproot/config0"
chmod 0644 "$work/tftproot/config0"
head -c "$size" /dev/urandom > "$work/client/image.bin"

# --- servers
for address in "$addr_dnsmasq" "$addr_sim" "$addr_silent"; do
  if ss -Hlun "src $address:69" 2>/dev/null | grep -q .; then
    echo "bench.sh: $address:69 is already in use; stop what serves it first" >&2
    exit 1
  fi
done
timeout "$server_life" "$dnsmasq" --keep-in-foreground --conf-file=/dev/null --port=0 --enable-tftp \
  --tftp-root="$work/tftproot" --tftp-single-port --bind-dynamic --listen-address="$addr_dnsmasq" \
  --user=nobody --group=nogroup --pid-file= --log-facility="$work/dnsmasq.log" &
pids+=($!)
"$sim" --listen "$addr_sim" --root "$work/simroot" --quiet --max-seconds "$server_life" &
pids+=($!)
"$sim" --listen "$addr_silent" --root "$work/simroot" --quiet --silent --max-seconds "$server_life" &
pids+=($!)

wait_for_port69() {
  local address=$1 i
  for i in $(seq 100); do
    if ss -Hlun "src $address:69" 2>/dev/null | grep -q .; then
      return 0
    fi
    sleep 0.05
  done
  echo "bench.sh: nothing listens on $address:69" >&2
  exit 1
}
wait_for_port69 "$addr_dnsmasq"
wait_for_port69 "$addr_sim"
wait_for_port69 "$addr_silent"
for pid in "${pids[@]}"; do
  kill -0 "$pid" 2>/dev/null || { echo "bench.sh: a server did not start" >&2; exit 1; }
done

results="$work/results.txt"
: > "$results"

# run LABEL EXPECTED-EXIT COMMAND...: one measured run of a client, in the client folder.
run() {
  local label=$1 expected=$2 line
  shift 2
  rm -f "$work/line"
  (cd "$work/client" && "$measure" --timeout 120 --out "$work/line" -- "$@" >/dev/null 2>"$work/stderr") || true
  line=$(cat "$work/line")
  if [ "${line##* }" != "$expected" ]; then
    echo "bench.sh: $label ended with status ${line##* } (expected $expected):" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  echo "$label $line" >> "$results"
}

# same FILE FILE: a benchmark of a transfer that delivered something else would mean nothing.
same() {
  if ! cmp -s "$1" "$2"; then
    echo "bench.sh: $2 differs from $1" >&2
    exit 1
  fi
  rm -f "$2"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "Running $runs rounds (load average $load_before) ..." >&2

# --- the round-trip limit, and the start-up cost of each program
for i in $(seq "$runs"); do
  "$pingpong" --address "$addr_pingpong" --count 16384 | sed 's/^/limit /' >> "$results"
  run baseline-console 0 "$client" --version
  XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen run baseline-window 0 "$dialog" --no-transfer
done

# --- get, put and the window, interleaved so that a change of load touches every case alike
for i in $(seq "$runs"); do
  run get-ours 0 "$client" get -n 0 -q "$addr_dnsmasq" got-ours
  same "$work/tftproot/config0" "$work/client/got-ours"
  run get-hpa 0 "$tftp_client" -m binary "$addr_dnsmasq" -c get config0 got-hpa
  same "$work/tftproot/config0" "$work/client/got-hpa"
  run get-bare 0 "$bare" "$addr_dnsmasq" config0 got-bare
  same "$work/tftproot/config0" "$work/client/got-bare"

  run put-revup 0 "$client" revup -q "$addr_sim" image.bin
  same "$work/client/image.bin" "$work/simroot/exec0"
  run put-ours 0 "$client" put -n 0 -q "$addr_sim" image.bin
  same "$work/client/image.bin" "$work/simroot/config0"
  run put-hpa 0 "$tftp_client" -m binary "$addr_sim" -c put image.bin exec1
  same "$work/client/image.bin" "$work/simroot/exec1"

  rm -f "$work/line" "$work/window-line"
  (cd "$work/client" && XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen \
     "$measure" --timeout 120 --out "$work/line" -- "$dialog" "$addr_dnsmasq" "$work/client/got-window" \
     > "$work/window-line" 2>"$work/stderr") || true
  line=$(cat "$work/line"); rm -f "$work/line"
  if [ "${line##* }" != 0 ]; then
    echo "bench.sh: the window's transfer failed:" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  echo "window $line $(cat "$work/window-line")" >> "$results"
  same "$work/tftproot/config0" "$work/client/got-window"
done

# --- idle: every run waits the whole 25 s, so they wait side by side
echo "Idle runs (25 s) ..." >&2
idle_pids=()
for i in $(seq "$runs"); do
  (cd "$work/client" && "$measure" --timeout 120 --out "$work/idle-$i" -- \
     "$client" get -n 0 -q "$addr_silent" idle-$i >/dev/null 2>&1) &
  idle_pids+=($!)
done
wait "${idle_pids[@]}"
for i in $(seq "$runs"); do
  line=$(cat "$work/idle-$i")
  if [ "${line##* }" != 1 ]; then
    echo "bench.sh: an idle run ended with status ${line##* } instead of failing" >&2
    exit 1
  fi
  echo "idle $line" >> "$results"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
# Every measurement of this run, one line each (label, then the figures), for a closer look.
cp "$results" "$build/bench-results.txt"

# --- the table
awk -v runs="$runs" -v size="$size" -v load_before="$load_before" -v load_after="$load_after" \
    -v machine="$(uname -sr), $(nproc) CPUs" -v when="$(date -u '+%Y-%m-%d %H:%M UTC')" '
function median(label, field,    n, i, j, t, v) {
  n = 0
  for (i = 1; i <= rows; i++) if (lab[i] == label) v[++n] = val[i, field]
  for (i = 2; i <= n; i++) { t = v[i]; for (j = i - 1; j >= 1 && v[j] > t; j--) v[j + 1] = v[j]; v[j + 1] = t }
  lo[label, field] = v[1]; hi[label, field] = v[n]
  if (n % 2) return v[(n + 1) / 2]
  return (v[n / 2] + v[n / 2 + 1]) / 2
}
function cpu_median(label,    n, i, j, t, v) {
  n = 0
  for (i = 1; i <= rows; i++) if (lab[i] == label) v[++n] = val[i, 2] + val[i, 3]
  for (i = 2; i <= n; i++) { t = v[i]; for (j = i - 1; j >= 1 && v[j] > t; j--) v[j + 1] = v[j]; v[j + 1] = t }
  clo[label] = v[1]; chi[label] = v[n]
  if (n % 2) return v[(n + 1) / 2]
  return (v[n / 2] + v[n / 2 + 1]) / 2
}
function verdict(ok) { return ok ? "met" : "MISSED" }
function row(what, label, name,    w, c, m) {
  w = median(label, 1); c = cpu_median(label); m = median(label, 4) / 1024
  wall[label] = w; cpu[label] = c; rss[label] = m
  printf "| %-5s | %-22s | %7.3f [%5.3f-%5.3f] | %5.1f | %4.0f %% | %7.3f [%5.3f-%5.3f] | %7.1f |\n",
    what, name, w, lo[label, 1], hi[label, 1], size / w / 1e6, 100 * (size / w / 1e6) / limit_mbps,
    c, clo[label], chi[label], m
}
{
  rows++; lab[rows] = $1
  for (f = 2; f <= NF; f++) val[rows, f - 1] = $f
}
END {
  rtt = median("limit", 1); limit_mbps = median("limit", 2)
  printf "Velnor Client benchmark, %s, %s; load average %s before, %s after\n", when, machine, load_before, load_after
  printf "8 MiB = %d bytes; %d runs of each case: median [min-max]; CPU = user + system of the client process\n\n", size, runs
  printf "Round-trip limit: a 516-byte datagram and its 4-byte answer between two processes on loopback take\n"
  printf "%.1f us [%.1f-%.1f], so lock-step 512-byte blocks move at most %.1f MB/s.\n\n", rtt, lo["limit", 1], hi["limit", 1], limit_mbps

  printf "| case  | client                 | wall s                | MB/s  | limit  | CPU s                 | RSS MiB |\n"
  printf "|-------|------------------------|-----------------------|-------|--------|-----------------------|---------|\n"
  row("get", "get-ours", "velnor-tftp get")
  row("get", "get-hpa", "tftp-hpa get")
  row("get", "get-bare", "bare lock-step loop")
  row("put", "put-revup", "velnor-tftp revup")
  row("put", "put-ours", "velnor-tftp put")
  row("put", "put-hpa", "tftp-hpa put")
  row("get", "window", "window (whole process)")
  tw = median("window", 6); twlo = lo["window", 6]; twhi = hi["window", 6]
  tc = median("window", 7); tclo = lo["window", 7]; tchi = hi["window", 7]
  printf "| get   | %-22s | %7.3f [%5.3f-%5.3f] | %5.1f | %4.0f %% | %7.3f [%5.3f-%5.3f] |         |\n",
    "window (Execute-idle)", tw, twlo, twhi, size / tw / 1e6, 100 * (size / tw / 1e6) / limit_mbps, tc, tclo, tchi
  bc = median("baseline-console", 4) / 1024; bw = median("baseline-window", 4) / 1024
  bcw = median("baseline-console", 1); bcc = cpu_median("baseline-console")
  idle_c = cpu_median("idle"); idle_w = median("idle", 1)

  printf "\nRatios ours / tftp-hpa of the medians (throughput = tftp-hpa wall / our wall)\n"
  printf "| ours              | wall | throughput | target >= 1.1 | CPU  | target <= 1.0 |\n"
  printf "|-------------------|------|------------|---------------|------|---------------|\n"
  split("get-ours get-hpa velnor-tftp_get put-revup put-hpa velnor-tftp_revup put-ours put-hpa velnor-tftp_put", p, " ")
  for (k = 1; k <= 9; k += 3) {
    t = wall[p[k + 1]] / wall[p[k]]; r = cpu[p[k]] / cpu[p[k + 1]]; name = p[k + 2]; gsub("_", " ", name)
    printf "| %-17s | %4.2f | %10.2f | %-13s | %4.2f | %-13s |\n", name, 1 / t, t, verdict(t >= 1.1), r, verdict(r <= 1.0)
  }
  printf "\nCeiling: the bare lock-step loop against the same server is %.2f times as fast as tftp-hpa get (its wall %.3f s vs %.3f s);\n", wall["get-hpa"] / wall["get-bare"], wall["get-bare"], wall["get-hpa"]
  printf "no lock-step client can reach a greater throughput ratio here. velnor-tftp get reaches %.0f %% of the bare loop'"'"'s throughput.\n", 100 * wall["get-bare"] / wall["get-ours"]
  printf "\nIdle: velnor-tftp get against a silent router, %.1f s [%.1f-%.1f] until it gave up: %.3f CPU s [%.3f-%.3f]; target <= 0.05: %s\n",
    idle_w, lo["idle", 1], hi["idle", 1], idle_c, clo["idle"], chi["idle"], verdict(idle_c <= 0.05)
  printf "Window: Execute to idle %.3f s vs velnor-tftp get %.3f s (whole process, start-up %.3f s of it): %.2f; target <= 1.10: %s\n",
    tw, wall["get-ours"], bcw, tw / wall["get-ours"], verdict(tw / wall["get-ours"] <= 1.10)
  printf "        CPU in that span %.3f s vs %.3f s (%.2f)\n", tc, cpu["get-ours"], tc / cpu["get-ours"]
  printf "Memory: Qt baseline %.1f MiB (velnor-tftp --version), %.1f MiB (window opened and closed); file %.1f MiB\n", bc, bw, size / 1048576
  mem_ok = 1
  split("get-ours put-revup put-ours", q, " ")
  for (k = 1; k <= 3; k++) {
    extra = rss[q[k]] - bc - size / 1048576; if (extra > 5) mem_ok = 0
    printf "        %-9s peak %.1f MiB = file + baseline + %.1f MiB\n", q[k], rss[q[k]], extra
  }
  extra = rss["window"] - bw - size / 1048576; if (extra > 5) mem_ok = 0
  printf "        %-9s peak %.1f MiB = file + baseline + %.1f MiB\n", "window", rss["window"], extra
  printf "        target: file + baseline + at most 5 MiB: %s\n", verdict(mem_ok)
}' "$results"
