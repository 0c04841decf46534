#!/usr/bin/env bash
# Forwarder benchmark. The upstream is squid with Basic authentication (the test fixture) in
# front of an nginx origin; each forwarder sits in front of squid:
#   quillon   this proxy's runner (native build), credentials configured in the forwarder
#   tinyproxy with an Upstream line carrying the credentials
#   privoxy   with a forward rule; the client's credentials are passed on
#   haproxy   HTTP mode, squid as its one server, the Proxy-Authorization header set by the
#             configuration
#   squid     a second squid as a forwarder, the first as its parent (cache_peer login=)
#   direct    the client talking to squid itself: the ceiling
# Two scenarios, in one run:
#   loopback  everything on 127.0.0.1, every forwarder: bulk download through a CONNECT tunnel
#             and as plain HTTP; small requests one after the other on new connections, plain
#             and each through a CONNECT tunnel of its own (p50, p99, requests per second);
#             requests per second at concurrency 50 and the forwarder's CPU per request there;
#             1 MiB through a tunnel (p50); memory, threads and CPU with many idle tunnels,
#             each of which has carried BENCH_IDLE_MOVE_KIB first.
#   path      the client and the forwarders in one network namespace, squid and the origin in
#             another, joined by the delay line (tests/integration/fixtures/delay_line.cpp) at
#             each round trip of BENCH_PATH_RTTS; addresses only inside the namespaces
#             (198.18.0.1 and .2): bulk through a tunnel and plain, small-request p50 (quillon,
#             tinyproxy, privoxy and direct); the time to the first answer byte of new
#             connections, through their own CONNECT tunnel and as plain GETs, (a) one at a time
#             0.5 s apart and (b) in bursts of 8 at once after 2 s without clients (every
#             forwarder and direct); this proxy's spare upstream connections that were dialled
#             but never used, per 100 clients; and the connections each forwarder still holds
#             to squid 60 s after its last client.
#   cap       this proxy alone in front of a stand-in upstream that answers every CONNECT (no
#             squid, whose descriptors would run out first): with N idle tunnels held, for each
#             N of BENCH_CAP_TUNNELS, memory per tunnel, threads, CPU, and the time of new
#             CONNECT hand-shakes against the same with none held: where the limit on client
#             connections stops costing nothing.
# Prints medians over the rounds (forwarders interleaved within a round) and ratios to direct.
#
#   bench/run_bench.sh [QUILLON_PROXY_BINARY]
#
# Without a binary it builds quillon-proxy in build/bench-native. Needs root for the long path.
# quillon0 is this proxy with its spare upstream connections off and quillon1 with them kept
# however fast the upstream answers its handshake, in the loopback table only.
# Knobs (environment): BENCH_SCENARIOS ("loopback path"; "cap" on request), BENCH_SECTIONS
# (what a scenario measures: "idle bulk small conc mib firstbyte leftover"), BENCH_SPARES (the
# proxy's spare connections, its default when empty), BENCH_RUNS (5), BENCH_BULK_MIB (256),
# BENCH_SMALL_COUNT (1000), BENCH_SMALL_SIZE (1024), BENCH_CONC (50), BENCH_CONC_MS (3000),
# BENCH_MIB_COUNT (50), BENCH_IDLE_TUNNELS (500), BENCH_IDLE_SECONDS (5), BENCH_IDLE_MOVE_KIB
# (256), BENCH_PATH_RTTS
# ("0 25 100", milliseconds), BENCH_PATH_RUNS (5), BENCH_PATH_BULK_MIB (32),
# BENCH_PATH_SMALL_COUNT (20), BENCH_FB_RUNS (2), BENCH_FB_COUNT (20), BENCH_BURSTS (5),
# BENCH_LEFTOVER_SECONDS (60), BENCH_CAP_TUNNELS ("1000 2000 4000 8000"),
# BENCH_LOOPBACK_FORWARDERS ("quillon quillon0 quillon1 tinyproxy privoxy haproxy squid"),
# BENCH_PATH_FORWARDERS (first byte and leftovers: "quillon tinyproxy privoxy haproxy squid"),
# BENCH_BURST_SIZE (8).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FIXTURES=$ROOT/tests/integration/fixtures
source "$ROOT/scripts/lib/common.sh"
source "$FIXTURES/lib.sh"
source "$FIXTURES/delay_path.sh"

SCENARIOS=${BENCH_SCENARIOS:-loopback path}
RUNS=${BENCH_RUNS:-5}
LOOPBACK_FORWARDERS=${BENCH_LOOPBACK_FORWARDERS:-quillon quillon0 quillon1 tinyproxy privoxy \
  haproxy squid}
BULK_BYTES=$((${BENCH_BULK_MIB:-256} * 1024 * 1024))
SMALL_COUNT=${BENCH_SMALL_COUNT:-1000}
SMALL_SIZE=${BENCH_SMALL_SIZE:-1024}
CONC=${BENCH_CONC:-50}
CONC_MS=${BENCH_CONC_MS:-3000}
MIB_COUNT=${BENCH_MIB_COUNT:-50}
IDLE_TUNNELS=${BENCH_IDLE_TUNNELS:-500}
IDLE_SECONDS=${BENCH_IDLE_SECONDS:-5}
IDLE_MOVE_BYTES=$((${BENCH_IDLE_MOVE_KIB:-256} * 1024))
PATH_RTTS=${BENCH_PATH_RTTS:-0 25 100}
PATH_RUNS=${BENCH_PATH_RUNS:-5}
PATH_BULK_BYTES=$((${BENCH_PATH_BULK_MIB:-32} * 1024 * 1024))
PATH_SMALL_COUNT=${BENCH_PATH_SMALL_COUNT:-20}
SECTIONS=" ${BENCH_SECTIONS:-idle bulk small conc mib firstbyte leftover} "
SPARES=${BENCH_SPARES:-}
FB_RUNS=${BENCH_FB_RUNS:-2}
FB_COUNT=${BENCH_FB_COUNT:-20}
FB_GAP_MS=500
BURSTS=${BENCH_BURSTS:-5}
BURST_SIZE=${BENCH_BURST_SIZE:-8}
BURST_IDLE_MS=2000
LEFTOVER_SECONDS=${BENCH_LEFTOVER_SECONDS:-60}
CAP_TUNNELS=${BENCH_CAP_TUNNELS:-1000 2000 4000 8000}
MIB=1048576

wants() { [[ $SECTIONS == *" $1 "* ]]; }  # wants SECTION: the run measures it

ensure_packages tinyproxy privoxy squid haproxy nginx-light apache2-utils curl python3 g++ \
  iproute2 || { echo "cannot install the forwarders" >&2; exit 1; }
ulimit -n 16384 2>/dev/null || ulimit -n "$(ulimit -Hn)"

WORK=$(mktemp -d /tmp/quillon-bench.XXXXXX)
chmod 755 "$WORK"
SERVICES=""
RUN=()  # command prefix of the client side: empty on loopback, the client namespace on the path

stop_scenario() {
  local pidfile
  for pidfile in "$WORK"/*.pid; do
    [ -f "$pidfile" ] && stop_pid "$pidfile"
  done
  if [ -n "$SERVICES" ]; then
    bash "$FIXTURES/services.sh" stop "$SERVICES"
    SERVICES=""
  fi
  delay_path_stop
  RUN=()
  if [ -f "$WORK/squid.dir" ]; then
    rm -rf "$(cat "$WORK/squid.dir")"
    rm -f "$WORK/squid.dir"
  fi
}
cleanup() {
  stop_scenario
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 143' INT TERM HUP

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
g++ -O2 -std=c++20 -pthread "$ROOT/bench/bench_client.cpp" -o "$WORK/bench_client" &&
  g++ -O2 -std=c++20 "$FIXTURES/delay_line.cpp" -o "$WORK/delay_line" ||
  { echo "cannot build the load generator or the delay line" >&2; exit 1; }

# --- upstream: squid (the test fixture) and an nginx origin ----------------------------------
# The origin serves /bytes/N from files of N zero bytes; the fixture's own origin stays unused.
make_origin_files() {
  local size
  mkdir -p "$WORK/www/bytes"
  for size in "$SMALL_SIZE" "$MIB" "$BULK_BYTES" "$PATH_BULK_BYTES" "$IDLE_MOVE_BYTES"; do
    truncate -s "$size" "$WORK/www/bytes/$size"
  done
  chmod -R a+rX "$WORK/www"
}

start_upstream() {  # start_upstream ADDRESS [CLIENTS]: sets SQUID, ORIGIN, PROXY_USER ...
  local address=$1 clients=${2:-127.0.0.1/32} port dir=$WORK/nginx server=()
  [ "$address" != 127.0.0.1 ] && server=(ip netns exec "$PATH_SERVER_NS")
  SERVICES=$WORK/services
  QUILLON_SERVICES_ADDRESS=$address QUILLON_SERVICES_CLIENTS=$clients \
    "${server[@]}" bash "$FIXTURES/services.sh" start "$SERVICES" >/dev/null || exit 1
  source "$SERVICES/services.env"
  SQUID=$address:$SQUID_PORT
  AUTH_B64=$(printf '%s' "$PROXY_USER:$PROXY_PASSWORD" | base64 -w0)
  port=$(free_port)
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 8192; }
http {
  access_log off;
  sendfile on;
  tcp_nodelay on;
  keepalive_requests 1000000;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  server {
    listen $address:$port;
    root $WORK/www;
    default_type application/octet-stream;
  }
}
CONF
  spawn "$WORK/origin.pid" "$WORK/origin.out" "${server[@]}" nginx -c "$dir/nginx.conf"
  ORIGIN=$address:$port
  for _ in $(seq 1 100); do
    [ "$("${server[@]}" curl -s --noproxy '' -o /dev/null -w '%{http_code}' "http://$ORIGIN/bytes/$SMALL_SIZE")" = 200 ] &&
      return 0
    sleep 0.1
  done
  cat "$WORK/origin.out" "$dir/error.log"
  echo "the origin did not start" >&2
  exit 1
}

# --- forwarders ----------------------------------------------------------------------------
declare -A PORT CLIENT_AUTH PIDFILE IDLE

start_forwarder() {  # start_forwarder NAME command...: on the client side
  local name=$1
  shift
  PIDFILE[$name]="$WORK/$name.fwd.pid"
  spawn "${PIDFILE[$name]}" "$WORK/$name.out" "${RUN[@]}" "$@"
  for _ in $(seq 1 100); do
    "${RUN[@]}" bash -c "exec 3<>/dev/tcp/127.0.0.1/${PORT[$name]}" 2>/dev/null && return 0
    kill -0 "$(cat "${PIDFILE[$name]}")" 2>/dev/null || break
    sleep 0.1
  done
  cat "$WORK/$name.out"
  echo "$name did not start" >&2
  exit 1
}

start_quillon() {
  local limits=()
  CLIENT_AUTH[quillon]=""
  [ -n "$SPARES" ] && limits+=(--spares "$SPARES")
  # The log goes to a file written as the program writes its own; the password through the
  # environment, out of the process list.
  rm -f "$WORK/quillon.log"
  QUILLON_PROXY_PASSWORD="$PROXY_PASSWORD" start_forwarder quillon "$QUILLON_PROXY" \
    --listen "${PORT[quillon]}" --upstream "$SQUID" --user "$PROXY_USER" \
    --log "$WORK/quillon.log" "${limits[@]}"
}

# The same proxy beside it in the loopback table, without spare upstream connections
# (quillon0) and with them kept however fast the upstream's handshake is (quillon1): what the
# spares cost where there is no round trip to save, and what the proxy saves by keeping none
# there.
start_quillon_variant() {  # start_quillon_variant NAME OPTION...
  local name=$1
  shift
  CLIENT_AUTH[$name]=""
  rm -f "$WORK/$name.log"
  QUILLON_PROXY_PASSWORD="$PROXY_PASSWORD" start_forwarder "$name" "$QUILLON_PROXY" \
    --listen "${PORT[$name]}" --upstream "$SQUID" --user "$PROXY_USER" \
    --log "$WORK/$name.log" "$@"
}
start_quillon0() { start_quillon_variant quillon0 --spares 0; }
start_quillon1() { start_quillon_variant quillon1 --spare-min-handshake-us 0; }

# Spare connections of the run of NAME (quillon by default) that just ended (its last log
# line), against the clients it served: prints "connected taken clients".
quillon_spares() {  # quillon_spares [NAME]
  awk '/spares: connected=/ { split($0, a, "connected="); split(a[2], b, " taken=");
                              c = b[1]; t = b[2] + 0 }
       /新客户端连接/ { n++ }
       END { printf "%d %d %d\n", c, t, n }' "$WORK/${1:-quillon}.log" 2>/dev/null
}

start_tinyproxy() {
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
Upstream http $PROXY_USER:$PROXY_PASSWORD@$SQUID
CONF
  start_forwarder tinyproxy tinyproxy -d -c "$WORK/tinyproxy.conf"
}

start_privoxy() {
  CLIENT_AUTH[privoxy]=$AUTH_B64
  cat >"$WORK/privoxy.conf" <<CONF
confdir /etc/privoxy
logdir $WORK
listen-address 127.0.0.1:${PORT[privoxy]}
forward / $SQUID
enable-proxy-authentication-forwarding 1
max-client-connections 4096
keep-alive-timeout 5
socket-timeout 300
forwarded-connect-retries 0
CONF
  start_forwarder privoxy privoxy --no-daemon "$WORK/privoxy.conf"
}

# HTTP mode passes CONNECT on to its server and tunnels once the server answers 200.
start_haproxy() {
  CLIENT_AUTH[haproxy]=""
  cat >"$WORK/haproxy.cfg" <<CONF
global
  maxconn 4096
defaults
  mode http
  timeout connect 10s
  timeout client 600s
  timeout server 600s
  timeout tunnel 600s
frontend forward
  bind 127.0.0.1:${PORT[haproxy]}
  http-request set-header Proxy-Authorization "Basic $AUTH_B64"
  default_backend upstream
backend upstream
  server squid $SQUID
CONF
  start_forwarder haproxy haproxy -db -f "$WORK/haproxy.cfg"
}

start_squid() {
  local dir
  CLIENT_AUTH[squid]=""
  # Squid drops to its own user, which must reach and write its files.
  dir=$(mktemp -d /tmp/quillon-bench-squid.XXXXXX)
  echo "$dir" >"$WORK/squid.dir"
  chmod 755 "$dir"
  {
    squid_common_conf "$dir"
    cat <<CONF
http_port 127.0.0.1:${PORT[squid]}
visible_hostname quillon-bench-forwarder
max_filedescriptors 16384
shutdown_lifetime 0 seconds
forwarded_for delete
via off
dns_nameservers 127.0.0.1
cache_peer ${SQUID%:*} parent ${SQUID##*:} 0 no-query no-digest default login=$PROXY_USER:$PROXY_PASSWORD
never_direct allow all
acl local src 127.0.0.1/32
http_access allow local
http_access deny all
CONF
  } >"$dir/squid.conf"
  id proxy >/dev/null 2>&1 && chown -R proxy "$dir"
  start_forwarder squid squid -N -f "$dir/squid.conf"
}

start_forwarders() {  # start_forwarders NAME...
  local name
  for name in "$@"; do
    PORT[$name]=$(free_port)
    "start_$name"
  done
  PORT[direct]=$SQUID
  CLIENT_AUTH[direct]=$AUTH_B64
}

# --- measurements --------------------------------------------------------------------------
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print v[int((NR + 1) / 2)] }'; }
declare -A R
record() { R[$1,$2]+="$3"$'\n'; }  # record KEY METRIC VALUE
m() { printf '%s' "${R[$1,$2]:-}" | median; }
total() { printf '%s' "${R[$1,$2]:-}" | awk '{ s += $1 } END { print s + 0 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == a + 0 && b > 0) printf "%.2f", a / b; else print "-" }'; }

proxy_of() { case ${PORT[$1]} in *:*) echo "${PORT[$1]}" ;; *) echo "127.0.0.1:${PORT[$1]}" ;; esac; }

bulk() {  # bulk NAME tunnel|plain BYTES: prints MB/s (0 when the download was incomplete)
  local name=$1 mode=$2 bytes=$3 args=() out
  [ "$mode" = tunnel ] && args+=(--proxytunnel)
  [ -n "${CLIENT_AUTH[$name]}" ] && args+=(--proxy-user "$PROXY_USER:$PROXY_PASSWORD")
  out=$("${RUN[@]}" curl -s --noproxy '' --max-time 300 -x "http://$(proxy_of "$name")" \
    "${args[@]}" -o /dev/null -w '%{size_download} %{speed_download}' \
    "http://$ORIGIN/bytes/$bytes")
  awk -v want="$bytes" '{ if ($1 == want) printf "%.1f\n", $2 / 1e6; else print 0 }' <<<"$out"
}

client() { "${RUN[@]}" "$WORK/bench_client" "$@"; }

# CPU and memory of a forwarder: all its threads and child processes.
tree_pids() { echo "$1"; pgrep -P "$1" 2>/dev/null; }
status_sum() {  # status_sum PID FIELD: sums a /proc/PID/status field over the tree
  local p s=0
  for p in $(tree_pids "$1"); do
    s=$((s + $(awk -v f="$2:" '$1 == f { print $2 }' "/proc/$p/status" 2>/dev/null || echo 0)))
  done
  echo $s
}
cpu_ticks() { local p s=0; for p in $(tree_pids "$1"); do s=$((s + $(awk '{ print $14 + $15 }' "/proc/$p/stat" 2>/dev/null || echo 0))); done; echo $s; }
HZ=$(getconf CLK_TCK)

# Idle tunnels, measured first while every forwarder is fresh (thread stacks and buffers that
# later load leaves cached would hide the growth): RSS growth per tunnel, threads while they
# are held, and CPU over the holding window in % of one core. Each tunnel carries a download of
# IDLE_MOVE_BYTES first, so that buffers a forwarder keeps after traffic count too.
# Opens COUNT CONNECT tunnels through PROXY to TARGET, each first fetching MOVE bytes through
# itself (none when 0), held until stop_pid "$WORK/idle.pid" (or 10 minutes); prints how many
# opened once they all are (or two minutes passed).
hold_idle() {  # hold_idle PROXY TARGET COUNT MOVE [AUTH]
  spawn "$WORK/idle.pid" "$WORK/idle.out" "${RUN[@]}" "$WORK/bench_client" idle "$1" "$2" "$3" \
    600 "$4" ${5:-}
  for _ in $(seq 1 1200); do
    grep -q '^ready' "$WORK/idle.out" && break
    sleep 0.1
  done
  awk '/^ready/ { print $2 }' "$WORK/idle.out"
}

idle_measure() {  # idle_measure NAME: prints "cpu_percent kib_per_tunnel threads opened"
  local name=$1 pid before after threads t0 t1 ready
  pid=$(cat "${PIDFILE[$name]}")
  before=$(status_sum "$pid" VmRSS)
  ready=$(hold_idle "$(proxy_of "$name")" "$ORIGIN" "$IDLE_TUNNELS" "$IDLE_MOVE_BYTES" \
    ${CLIENT_AUTH[$name]})
  sleep 1
  after=$(status_sum "$pid" VmRSS)
  threads=$(status_sum "$pid" Threads)
  t0=$(cpu_ticks "$pid")
  sleep "$IDLE_SECONDS"
  t1=$(cpu_ticks "$pid")
  stop_pid "$WORK/idle.pid"
  awk -v b="$before" -v a="$after" -v t0="$t0" -v t1="$t1" -v hz="$HZ" -v s="$IDLE_SECONDS" \
    -v n="${ready:-0}" -v th="$threads" \
    'BEGIN { printf "%.2f %.1f %d %d\n", 100 * (t1 - t0) / hz / s, n ? (a - b) / n : 0, th, n }'
  sleep 2
}

# One loopback round for one forwarder.
loopback_round() {  # loopback_round NAME
  local name=$1 proxy p50 p99 rps errors crps done cerrors t0 t1
  proxy=$(proxy_of "$name")
  if wants bulk; then
    record "$name" tunnel "$(bulk "$name" tunnel "$BULK_BYTES")"
    record "$name" plain "$(bulk "$name" plain "$BULK_BYTES")"
  fi
  if wants small; then
    read -r p50 p99 rps errors < <(client seq "$proxy" "$ORIGIN" "$SMALL_COUNT" "$SMALL_SIZE" \
      ${CLIENT_AUTH[$name]})
    record "$name" p50 "$p50"; record "$name" p99 "$p99"; record "$name" seq_rps "$rps"
    record "$name" errors "$errors"
    read -r p50 p99 rps errors < <(client seqtunnel "$proxy" "$ORIGIN" "$SMALL_COUNT" \
      "$SMALL_SIZE" ${CLIENT_AUTH[$name]})
    record "$name" tp50 "$p50"; record "$name" tseq_rps "$rps"; record "$name" errors "$errors"
  fi
  if wants conc; then
    [ "$name" != direct ] && t0=$(cpu_ticks "$(cat "${PIDFILE[$name]}")")
    read -r crps done cerrors < <(client conc "$proxy" "$ORIGIN" "$CONC" "$CONC_MS" \
      "$SMALL_SIZE" ${CLIENT_AUTH[$name]})
    if [ "$name" != direct ]; then
      t1=$(cpu_ticks "$(cat "${PIDFILE[$name]}")")
      record "$name" cpu_us "$(awk -v t="$((t1 - t0))" -v hz="$HZ" -v n="$done" \
        'BEGIN { if (n > 0) printf "%.0f\n", 1e6 * t / hz / n; else print "nan" }')"
    fi
    record "$name" conc_rps "$crps"; record "$name" errors "$cerrors"
  fi
  if wants mib; then
    read -r p50 p99 rps errors < <(client seqtunnel "$proxy" "$ORIGIN" "$MIB_COUNT" "$MIB" \
      ${CLIENT_AUTH[$name]})
    record "$name" mib_p50 "$p50"; record "$name" errors "$errors"
  fi
}

run_loopback() {
  local names=($LOOPBACK_FORWARDERS)
  local name round
  echo "== loopback: upstream and forwarders on 127.0.0.1 ($(uptime | sed 's/.*load/load/'))"
  start_upstream 127.0.0.1
  start_forwarders "${names[@]}"
  if wants idle; then
    for name in "${names[@]}"; do
      IDLE[$name]=$(idle_measure "$name")
    done
  fi
  echo "   $RUNS rounds: bulk $((BULK_BYTES / MIB)) MiB; $SMALL_COUNT sequential requests of" \
    "$SMALL_SIZE bytes, plain and through tunnels; ${CONC_MS} ms x $CONC concurrent;" \
    "$MIB_COUNT x 1 MiB through tunnels"
  for round in $(seq 1 "$RUNS"); do
    for name in "${names[@]}" direct; do
      loopback_round "$name"
    done
    echo "   round $round done ($(uptime | sed 's/.*load/load/'))"
  done
  stop_scenario
  for name in "${names[@]}"; do
    case $name in
      # The client count is left out: a long run's log has been moved aside meanwhile.
      quillon*) echo "   $name spares connected, taken: $(quillon_spares "$name" |
                  cut -d' ' -f1,2)" ;;
    esac
  done
}

print_loopback() {
  local name t p p50 p99 s tp ts c mp cpu icpu ikib ith iopen errors
  local d_t d_p d_p50 d_s d_tp d_ts d_c d_mp
  d_t=$(m direct tunnel); d_p=$(m direct plain); d_p50=$(m direct p50); d_s=$(m direct seq_rps)
  d_tp=$(m direct tp50); d_ts=$(m direct tseq_rps); d_c=$(m direct conc_rps)
  d_mp=$(m direct mib_p50)
  echo
  echo "Loopback: client -> forwarder -> squid (Basic auth) -> nginx, medians of $RUNS rounds;" \
    "(x) = forwarder / direct (for latencies, higher is slower)."
  printf '%-9s | %-15s | %-15s | %-29s | %-29s | %-14s | %-15s | %-7s | %-24s | %s\n' \
    forwarder "CONNECT MB/s" "plain MB/s" "c1 plain: p50 us, req/s" \
    "c1 via CONNECT: p50 us, req/s" "c$CONC req/s" "1 MiB tunnel us" "CPU/req" \
    "$IDLE_TUNNELS idle: KiB thr CPU%" errors
  for name in "$@"; do
    t=$(m "$name" tunnel); p=$(m "$name" plain); p50=$(m "$name" p50); s=$(m "$name" seq_rps)
    tp=$(m "$name" tp50); ts=$(m "$name" tseq_rps); c=$(m "$name" conc_rps)
    mp=$(m "$name" mib_p50); cpu=$(m "$name" cpu_us); errors=$(total "$name" errors)
    read -r icpu ikib ith iopen <<<"${IDLE[$name]:-- - - -}"
    [ "$name" != direct ] && [ "${iopen:-0}" != "$IDLE_TUNNELS" ] && icpu="$icpu(${iopen}open)"
    [ "$name" = direct ] && cpu="-"
    printf '%-9s | %7s (%5s) | %7s (%5s) | %6s (%5s), %5s (%5s) | %6s (%5s), %5s (%5s) | %6s (%5s) | %7s (%5s) | %4s us | %7s, %5s, %8s | %s\n' \
      "$name" "$t" "$(ratio "$t" "$d_t")" "$p" "$(ratio "$p" "$d_p")" \
      "$p50" "$(ratio "$p50" "$d_p50")" "$s" "$(ratio "$s" "$d_s")" \
      "$tp" "$(ratio "$tp" "$d_tp")" "$ts" "$(ratio "$ts" "$d_ts")" \
      "$c" "$(ratio "$c" "$d_c")" "$mp" "$(ratio "$mp" "$d_mp")" "$cpu" \
      "$ikib" "$ith" "$icpu" "$errors"
  done
  echo "CPU/req: user+sys of the forwarder's processes during the c$CONC run / requests served."
  echo "idle: $IDLE_TUNNELS CONNECT tunnels held ${IDLE_SECONDS}s after each carried" \
    "$((IDLE_MOVE_BYTES / 1024)) KiB; KiB = RSS growth per tunnel, thr = threads while held," \
    "CPU% of one core."
}

# Established connections from forwarder NAME's processes to squid, seen from the client side.
upstream_connections() {  # upstream_connections NAME
  local pids
  pids=" $(tree_pids "$(cat "${PIDFILE[$1]}")" | tr '\n' ' ') "
  "${RUN[@]}" ss -tnpH state established "( dport = :${SQUID##*:} )" dst "${SQUID%:*}" |
    awk -v pids="$pids" '{ if (match($0, /pid=[0-9]+/) &&
                               index(pids, " " substr($0, RSTART + 4, RLENGTH - 4) " ")) n++ }
                         END { print n + 0 }'
}

run_path() {
  local names=(quillon tinyproxy privoxy)
  local all=(${BENCH_PATH_FORWARDERS:-quillon tinyproxy privoxy haproxy squid})
  local rtt name round p50 rps errors key mode connected taken clients
  for rtt in $PATH_RTTS; do
    delay_path_start "$WORK/delay_line" "$(awk -v r="$rtt" 'BEGIN { print r / 2 }')" \
      "$WORK/path" || { echo "cannot build the long path (needs root)" >&2; return 1; }
    RUN=(ip netns exec "$PATH_CLIENT_NS")
    echo "== path: round trip $rtt ms ($(uptime | sed 's/.*load/load/'))"
    start_upstream "$PATH_SERVER_IP" "$PATH_CLIENT_IP/32 $PATH_SERVER_IP/32"
    if wants bulk || wants small; then
      start_forwarders $(printf '%s\n' "${names[@]}" "${all[@]}" | awk '!seen[$0]++')
    else
      start_forwarders "${all[@]}"
    fi
    if wants bulk || wants small; then
      for round in $(seq 1 "$PATH_RUNS"); do
        for name in "${names[@]}" direct; do
          key="$rtt/$name"
          if wants bulk; then
            record "$key" tunnel "$(bulk "$name" tunnel "$PATH_BULK_BYTES")"
            record "$key" plain "$(bulk "$name" plain "$PATH_BULK_BYTES")"
          fi
          if wants small; then
            read -r p50 _ rps errors < <(client seq "$(proxy_of "$name")" "$ORIGIN" \
              "$PATH_SMALL_COUNT" "$SMALL_SIZE" ${CLIENT_AUTH[$name]})
            record "$key" p50 "$p50"; record "$key" errors "$errors"
            read -r p50 _ rps errors < <(client seqtunnel "$(proxy_of "$name")" "$ORIGIN" \
              "$PATH_SMALL_COUNT" "$SMALL_SIZE" ${CLIENT_AUTH[$name]})
            record "$key" tp50 "$p50"; record "$key" errors "$errors"
          fi
        done
        echo "   round $round done ($(uptime | sed 's/.*load/load/'))"
      done
    fi
    if wants firstbyte; then
      for round in $(seq 1 "$FB_RUNS"); do
        for name in "${all[@]}" direct; do
          key="$rtt/$name"
          for mode in tunnel plain; do
            read -r p50 _ errors < <(client firstbyte "$(proxy_of "$name")" "$ORIGIN" "$mode" \
              "$FB_COUNT" "$FB_GAP_MS" "$SMALL_SIZE" ${CLIENT_AUTH[$name]})
            record "$key" "fa_$mode" "$p50"; record "$key" fb_errors "$errors"
            read -r p50 _ errors < <(client burst "$(proxy_of "$name")" "$ORIGIN" "$mode" \
              "$BURSTS" "$BURST_SIZE" "$BURST_IDLE_MS" "$SMALL_SIZE" ${CLIENT_AUTH[$name]})
            record "$key" "fb_$mode" "$p50"; record "$key" fb_errors "$errors"
          done
        done
        echo "   first-byte round $round done ($(uptime | sed 's/.*load/load/'))"
      done
    fi
    if wants leftover; then
      sleep "$LEFTOVER_SECONDS"
      for name in "${all[@]}"; do
        record "$rtt/$name" leftover "$(upstream_connections "$name")"
      done
    fi
    stop_scenario
    read -r connected taken clients < <(quillon_spares)
    record "$rtt/quillon" unused "$(awk -v c="$connected" -v t="$taken" -v n="$clients" \
      'BEGIN { if (n > 0) printf "%.1f\n", 100 * (c - t) / n; else print "nan" }')"
    record "$rtt/quillon" spares "$connected/$taken/$clients"
  done
}

print_path() {
  local rtt name key t p p50 tp
  if wants bulk || wants small; then
    echo
    echo "Long path: client and forwarder | delay line | squid (Basic auth) and nginx, medians of" \
      "$PATH_RUNS rounds; bulk $((PATH_BULK_BYTES / MIB)) MiB, $PATH_SMALL_COUNT small requests" \
      "of $SMALL_SIZE bytes on new connections; (x) = forwarder / direct at the same round trip."
    printf '%-6s | %-9s | %-16s | %-16s | %-20s | %-20s | %s\n' RTT forwarder "CONNECT MB/s" \
      "plain MB/s" "c1 plain p50 us" "via CONNECT p50 us" errors
    for rtt in $PATH_RTTS; do
      for name in quillon tinyproxy privoxy direct; do
        key="$rtt/$name"
        t=$(m "$key" tunnel); p=$(m "$key" plain); p50=$(m "$key" p50); tp=$(m "$key" tp50)
        printf '%-6s | %-9s | %8s (%5s) | %8s (%5s) | %12s (%5s) | %12s (%5s) | %s\n' \
          "$rtt ms" "$name" "$t" "$(ratio "$t" "$(m "$rtt/direct" tunnel)")" \
          "$p" "$(ratio "$p" "$(m "$rtt/direct" plain)")" \
          "$p50" "$(ratio "$p50" "$(m "$rtt/direct" p50)")" \
          "$tp" "$(ratio "$tp" "$(m "$rtt/direct" tp50)")" "$(total "$key" errors)"
      done
    done
  fi
  if wants firstbyte || wants leftover; then
    echo
    echo "First answer byte of new connections over the long path, microseconds (median of" \
      "$FB_RUNS rounds' medians), (x) = forwarder / direct: HTTPS = its own CONNECT tunnel, then" \
      "a GET in it; GET = a plain GET. (a) $FB_COUNT connections one at a time ${FB_GAP_MS} ms" \
      "apart; (b) $BURSTS bursts of $BURST_SIZE at once, each after ${BURST_IDLE_MS} ms without" \
      "clients. spares: this proxy's spare connections dialled but never used per 100 clients" \
      "(connected/taken/clients). left: connections to squid ${LEFTOVER_SECONDS} s after the" \
      "last client."
    printf '%-6s | %-9s | %-16s | %-16s | %-16s | %-16s | %-22s | %-4s | %s\n' RTT forwarder \
      "(a) HTTPS" "(a) GET" "(b) HTTPS" "(b) GET" "spares" left errors
    for rtt in $PATH_RTTS; do
      for name in ${BENCH_PATH_FORWARDERS:-quillon tinyproxy privoxy haproxy squid} direct; do
        key="$rtt/$name"
        printf '%-6s | %-9s' "$rtt ms" "$name"
        for metric in fa_tunnel fa_plain fb_tunnel fb_plain; do
          printf ' | %8s (%5s)' "$(m "$key" "$metric")" \
            "$(ratio "$(m "$key" "$metric")" "$(m "$rtt/direct" "$metric")")"
        done
        if [ "$name" = quillon ]; then
          printf ' | %6s (%13s)' "$(m "$key" unused)" "$(printf '%s' "${R[$key,spares]:-}" | tail -n 1)"
        else
          printf ' | %22s' -
        fi
        printf ' | %4s | %s\n' "$(m "$key" leftover)" "$(total "$key" fb_errors)"
      done
    done
  fi
}

# The limit on client connections: this proxy in front of the stand-in upstream, with N idle
# tunnels held.
declare -A CAPROW
run_cap() {
  local n pid port sink before after threads t0 t1 ready base p50 p99 errors
  echo "== cap: this proxy in front of a stand-in upstream ($(uptime | sed 's/.*load/load/'))"
  spawn "$WORK/sink.pid" "$WORK/sink.out" "$WORK/bench_client" sink "$WORK/sink.port"
  for _ in $(seq 1 50); do [ -s "$WORK/sink.port" ] && break; sleep 0.1; done
  sink=127.0.0.1:$(cat "$WORK/sink.port")
  for n in $CAP_TUNNELS; do
    port=$(free_port)
    spawn "$WORK/cap.pid" "$WORK/cap.out" "$QUILLON_PROXY" --listen "$port" --upstream "$sink" \
      --log "$WORK/cap.log" --max-clients $((n + 1000))
    wait_port "$port" "$(cat "$WORK/cap.pid")" 100 || { cat "$WORK/cap.out"; exit 1; }
    pid=$(cat "$WORK/cap.pid")
    read -r base _ _ < <(client handshakes "127.0.0.1:$port" 192.0.2.1:443 200)
    before=$(status_sum "$pid" VmRSS)
    ready=$(hold_idle "127.0.0.1:$port" 192.0.2.1:443 "$n" 0)
    sleep 1
    after=$(status_sum "$pid" VmRSS)
    threads=$(status_sum "$pid" Threads)
    read -r p50 p99 errors < <(client handshakes "127.0.0.1:$port" 192.0.2.1:443 200)
    t0=$(cpu_ticks "$pid")
    sleep "$IDLE_SECONDS"
    t1=$(cpu_ticks "$pid")
    stop_pid "$WORK/idle.pid"
    stop_pid "$WORK/cap.pid"
    CAPROW[$n]=$(awk -v b="$before" -v a="$after" -v r="${ready:-0}" -v th="$threads" \
      -v t0="$t0" -v t1="$t1" -v hz="$HZ" -v s="$IDLE_SECONDS" -v base="$base" -v p50="$p50" \
      -v p99="$p99" -v e="$errors" \
      'BEGIN { printf "%d | %6.1f | %7d | %5.2f | %8d (%5.2f) | %8d | %d", r,
               (r ? (a - b) / r : 0), th, 100 * (t1 - t0) / hz / s, p50,
               (base > 0 ? p50 / base : 0), p99, e }')
    echo "   $n tunnels done"
  done
  stop_pid "$WORK/sink.pid"
}

print_cap() {
  local n
  echo
  echo "Client connections held (idle CONNECT tunnels to a stand-in upstream) and what they cost:"\
    "RSS growth per tunnel, threads, CPU in % of one core over ${IDLE_SECONDS} s, and 200 new"\
    "CONNECT hand-shakes while they are held ((x) = against none held)."
  printf '%-7s | %-6s | %-6s | %-7s | %-5s | %-16s | %-8s | %s\n' held opened "KiB" threads \
    "CPU%" "CONNECT p50 us" "p99 us" errors
  for n in $CAP_TUNNELS; do
    printf '%-7s | %s\n' "$n" "${CAPROW[$n]:-}"
  done
}

make_origin_files
for scenario in $SCENARIOS; do
  case $scenario in
    loopback) run_loopback ;;
    path) run_path ;;
    cap) run_cap ;;
    *) echo "unknown scenario $scenario" >&2; exit 2 ;;
  esac
done
echo
echo "== results"
for scenario in $SCENARIOS; do
  case $scenario in
    loopback) print_loopback $LOOPBACK_FORWARDERS direct ;;
    path) print_path ;;
    cap) print_cap ;;
  esac
done
