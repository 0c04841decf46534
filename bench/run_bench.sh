#!/usr/bin/env bash
# Forwarder benchmark, loopback only. Starts the local origin and squid with Basic
# authentication as the upstream (the test fixture), then each forwarder in front of squid:
#   quillon   this proxy's runner (native build), credentials configured in the forwarder
#   tinyproxy with an Upstream line carrying the credentials
#   privoxy   with a forward rule; the client's credentials are passed on
#   direct    the client talking to squid itself: the ceiling
# and measures, in one run: bulk download through a CONNECT tunnel and as plain HTTP, sequential
# small requests on new connections (p50, p99, requests per second), requests per second at
# concurrency 50, and CPU and memory with many idle tunnels. Prints medians over BENCH_RUNS
# rounds (forwarders interleaved within a round) and ratios to the ceiling.
#
#   bench/run_bench.sh [QUILLON_PROXY_BINARY]
#
# Without a binary it builds quillon-proxy in build/bench-native. Knobs (environment):
# BENCH_RUNS (5), BENCH_BULK_MIB (256), BENCH_SMALL_COUNT (1000), BENCH_SMALL_SIZE (1024),
# BENCH_CONC (50), BENCH_CONC_MS (3000), BENCH_IDLE_TUNNELS (500), BENCH_IDLE_SECONDS (5).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/common.sh"
source "$ROOT/tests/integration/fixtures/lib.sh"

RUNS=${BENCH_RUNS:-5}
BULK_BYTES=$((${BENCH_BULK_MIB:-256} * 1024 * 1024))
SMALL_COUNT=${BENCH_SMALL_COUNT:-1000}
SMALL_SIZE=${BENCH_SMALL_SIZE:-1024}
CONC=${BENCH_CONC:-50}
CONC_MS=${BENCH_CONC_MS:-3000}
IDLE_TUNNELS=${BENCH_IDLE_TUNNELS:-500}
IDLE_SECONDS=${BENCH_IDLE_SECONDS:-5}
FORWARDERS=(quillon tinyproxy privoxy direct)

ensure_packages tinyproxy privoxy squid apache2-utils curl python3 g++ ||
  { echo "cannot install the forwarders" >&2; exit 1; }
ulimit -n 16384 2>/dev/null || ulimit -n "$(ulimit -Hn)"

WORK=$(mktemp -d /tmp/quillon-bench.XXXXXX)
chmod 755 "$WORK"
cleanup() {
  local pidfile
  for pidfile in "$WORK"/*.fwd.pid "$WORK"/idle.pid; do
    [ -f "$pidfile" ] && stop_pid "$pidfile"
  done
  bash "$ROOT/tests/integration/fixtures/services.sh" stop "$WORK/services"
  rm -rf "$WORK"
}
trap cleanup EXIT

# --- programs ------------------------------------------------------------------------------
QUILLON_PROXY=${1:-}
if [ -z "$QUILLON_PROXY" ]; then
  echo "== building quillon-proxy (native, release with debug info)"
  cmake --preset native -B "$ROOT/build/bench-native" >/dev/null &&
    cmake --build "$ROOT/build/bench-native" --target quillon-proxy -j2 >/dev/null ||
    { echo "build failed" >&2; exit 1; }
  QUILLON_PROXY=$(find "$ROOT/build/bench-native/tools" -name quillon-proxy -type f -perm -u+x | head -n 1)
fi
[ -x "$QUILLON_PROXY" ] || { echo "no quillon-proxy binary" >&2; exit 1; }
g++ -O2 -std=c++20 -pthread "$ROOT/bench/bench_client.cpp" -o "$WORK/bench_client" ||
  { echo "cannot build the load generator" >&2; exit 1; }

# --- services and forwarders ---------------------------------------------------------------
bash "$ROOT/tests/integration/fixtures/services.sh" start "$WORK/services" >/dev/null || exit 1
source "$WORK/services/services.env"
AUTH_B64=$(printf '%s' "$PROXY_USER:$PROXY_PASSWORD" | base64 -w0)
declare -A PORT CLIENT_AUTH PIDFILE

start_forwarder() {  # start_forwarder NAME command...
  local name=$1
  shift
  PIDFILE[$name]="$WORK/$name.fwd.pid"
  spawn "${PIDFILE[$name]}" "$WORK/$name.out" "$@"
  wait_port "${PORT[$name]}" "$(cat "${PIDFILE[$name]}")" 100 ||
    { cat "$WORK/$name.out"; echo "$name did not start" >&2; exit 1; }
}

PORT[quillon]=$(free_port)
CLIENT_AUTH[quillon]=""
start_forwarder quillon "$QUILLON_PROXY" --listen "${PORT[quillon]}" \
  --upstream "127.0.0.1:$SQUID_PORT" --user "$PROXY_USER" --password "$PROXY_PASSWORD"

PORT[tinyproxy]=$(free_port)
CLIENT_AUTH[tinyproxy]=""
cat >"$WORK/tinyproxy.conf" <<CONF
Port ${PORT[tinyproxy]}
Listen 127.0.0.1
Timeout 600
MaxClients 4096
LogLevel Critical
LogFile "$WORK/tinyproxy.log"
Allow 127.0.0.1
DisableViaHeader Yes
Upstream http $PROXY_USER:$PROXY_PASSWORD@127.0.0.1:$SQUID_PORT
CONF
start_forwarder tinyproxy tinyproxy -d -c "$WORK/tinyproxy.conf"

PORT[privoxy]=$(free_port)
CLIENT_AUTH[privoxy]=$AUTH_B64
cat >"$WORK/privoxy.conf" <<CONF
confdir /etc/privoxy
logdir $WORK
listen-address 127.0.0.1:${PORT[privoxy]}
forward / 127.0.0.1:$SQUID_PORT
enable-proxy-authentication-forwarding 1
max-client-connections 4096
keep-alive-timeout 5
socket-timeout 300
forwarded-connect-retries 0
CONF
start_forwarder privoxy privoxy --no-daemon "$WORK/privoxy.conf"

PORT[direct]=$SQUID_PORT
CLIENT_AUTH[direct]=$AUTH_B64

# --- measurements --------------------------------------------------------------------------
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print v[int((NR + 1) / 2)] }'; }

bulk() {  # bulk NAME tunnel|plain: prints MB/s (0 when the download was incomplete)
  local name=$1 mode=$2 args=() out
  [ "$mode" = tunnel ] && args+=(--proxytunnel)
  [ -n "${CLIENT_AUTH[$name]}" ] && args+=(--proxy-user "$PROXY_USER:$PROXY_PASSWORD")
  out=$(curl -s --noproxy '' --max-time 120 -x "http://127.0.0.1:${PORT[$name]}" "${args[@]}" \
    -o /dev/null -w '%{size_download} %{speed_download}' \
    "http://127.0.0.1:$ORIGIN_PORT/bytes/$BULK_BYTES")
  awk -v want="$BULK_BYTES" '{ if ($1 == want) printf "%.1f\n", $2 / 1e6; else print 0 }' <<<"$out"
}

declare -A R
record() { R[$1,$2]+="$3"$'\n'; }  # record NAME METRIC VALUE

# Memory and CPU of a forwarder (all its threads and child processes) while it holds many
# idle tunnels, measured first, while every forwarder is fresh (thread stacks and buffers
# that later load leaves cached would hide the growth): RSS growth per tunnel, and CPU over the holding window in % of one core.
tree_pids() { echo "$1"; pgrep -P "$1" 2>/dev/null; }
rss_kib() { local p s=0; for p in $(tree_pids "$1"); do s=$((s + $(awk '/^VmRSS/ { print $2 }' "/proc/$p/status" 2>/dev/null || echo 0))); done; echo $s; }
cpu_ticks() { local p s=0; for p in $(tree_pids "$1"); do s=$((s + $(awk '{ print $14 + $15 }' "/proc/$p/stat" 2>/dev/null || echo 0))); done; echo $s; }

idle_measure() {  # idle_measure NAME: prints "cpu_percent kib_per_tunnel opened"
  local name=$1 pid before after t0 t1 ready i hz
  pid=$(cat "${PIDFILE[$name]}")
  hz=$(getconf CLK_TCK)
  before=$(rss_kib "$pid")
  spawn "$WORK/idle.pid" "$WORK/idle.out" "$WORK/bench_client" idle "${PORT[$name]}" \
    "$ORIGIN_PORT" "$IDLE_TUNNELS" $((IDLE_SECONDS + 60)) ${CLIENT_AUTH[$name]}
  for i in $(seq 1 600); do
    grep -q '^ready' "$WORK/idle.out" && break
    sleep 0.1
  done
  ready=$(awk '/^ready/ { print $2 }' "$WORK/idle.out")
  sleep 1
  after=$(rss_kib "$pid")
  t0=$(cpu_ticks "$pid")
  sleep "$IDLE_SECONDS"
  t1=$(cpu_ticks "$pid")
  stop_pid "$WORK/idle.pid"
  awk -v b="$before" -v a="$after" -v t0="$t0" -v t1="$t1" -v hz="$hz" -v s="$IDLE_SECONDS" \
    -v n="${ready:-0}" 'BEGIN { printf "%.2f %.1f %d\n", 100 * (t1 - t0) / hz / s, n ? (a - b) / n : 0, n }'
  sleep 2
}
declare -A IDLE
for name in quillon tinyproxy privoxy; do
  IDLE[$name]=$(idle_measure "$name")
done

echo "== $RUNS rounds: bulk ${BENCH_BULK_MIB:-256} MiB, $SMALL_COUNT sequential and ${CONC_MS} ms x $CONC concurrent requests of $SMALL_SIZE bytes"
for round in $(seq 1 "$RUNS"); do
  for name in "${FORWARDERS[@]}"; do
    record "$name" tunnel "$(bulk "$name" tunnel)"
    record "$name" plain "$(bulk "$name" plain)"
    read -r p50 p99 rps errors < <("$WORK/bench_client" seq "${PORT[$name]}" "$ORIGIN_PORT" \
      "$SMALL_COUNT" "$SMALL_SIZE" ${CLIENT_AUTH[$name]})
    record "$name" p50 "$p50"
    record "$name" p99 "$p99"
    record "$name" seq_rps "$rps"
    record "$name" errors "$errors"
    read -r crps _ cerrors < <("$WORK/bench_client" conc "${PORT[$name]}" "$ORIGIN_PORT" \
      "$CONC" "$CONC_MS" "$SMALL_SIZE" ${CLIENT_AUTH[$name]})
    record "$name" conc_rps "$crps"
    record "$name" errors "$cerrors"
  done
  echo "   round $round done"
done

# --- table ---------------------------------------------------------------------------------
m() { printf '%s' "${R[$1,$2]}" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

echo
echo "Medians of $RUNS rounds; ratio = forwarder / direct (for latencies, higher is slower)."
printf '%-10s | %17s | %17s | %9s %5s | %9s %5s | %15s | %15s | %8s | %9s | %6s\n' \
  forwarder "CONNECT MB/s" "plain MB/s" "p50 us" "x" "p99 us" "x" "seq req/s" "c$CONC req/s" \
  "idle CPU%" "KiB/tunnel" errors
for name in "${FORWARDERS[@]}"; do
  t=$(m "$name" tunnel); p=$(m "$name" plain); p50=$(m "$name" p50); p99=$(m "$name" p99)
  s=$(m "$name" seq_rps); c=$(m "$name" conc_rps)
  errors=$(printf '%s' "${R[$name,errors]}" | awk '{ s += $1 } END { print s + 0 }')
  read -r icpu ikib iopen <<<"${IDLE[$name]:-- - -}"
  [ "$name" != direct ] && [ "${iopen:-0}" != "$IDLE_TUNNELS" ] && icpu="$icpu(${iopen}open)"
  printf '%-10s | %9s (%5s) | %9s (%5s) | %9s %5s | %9s %5s | %7s (%5s) | %7s (%5s) | %8s | %9s | %6s\n' \
    "$name" "$t" "$(ratio "$t" "$(m direct tunnel)")" "$p" "$(ratio "$p" "$(m direct plain)")" \
    "$p50" "$(ratio "$p50" "$(m direct p50)")" "$p99" "$(ratio "$p99" "$(m direct p99)")" \
    "$s" "$(ratio "$s" "$(m direct seq_rps)")" "$c" "$(ratio "$c" "$(m direct conc_rps)")" \
    "$icpu" "$ikib" "$errors"
done
echo "idle: $IDLE_TUNNELS CONNECT tunnels held for ${IDLE_SECONDS}s; KiB/tunnel is the forwarder's RSS growth divided by the tunnels."
