#!/usr/bin/env bash
# A long path: the upstream proxy sits 100 ms (round trip) away, behind the delay line.
# - An 8 MiB download through a CONNECT tunnel of the proxy runner must finish within three
#   times the time the same download takes when the client asks the upstream directly. A proxy
#   that caps its sockets' buffers caps the TCP window, and with it every download at buffer /
#   round trip, far below the direct path.
# - Once a client has come, the first answer byte of a new connection through the runner
#   arrives sooner than direct: the runner keeps spare upstream connections, so a plain GET
#   pays one round trip instead of two, and a GET in a new tunnel two instead of three. Checked
#   as the medians of five new connections each way, at least 40 ms apart.
#
#   long_path_test.sh DELAY_LINE RUNNER
#
# The client, curl, and the runner live in one network namespace, the upstream in another: the
# local origin, which answers CONNECT itself and then serves the tunnelled request. Needs root,
# network namespaces and TUN; exits 77 (skipped) with the reason where they are missing.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/fixtures/lib.sh"
source "$HERE/fixtures/delay_path.sh"

[ $# -eq 2 ] || { echo "usage: long_path_test.sh DELAY_LINE RUNNER" >&2; exit 2; }
DELAY_LINE=$1
RUNNER=$2
ONE_WAY_MS=50
SIZE=$((8 * 1024 * 1024))
SKIP=77
PROXY_PORT=20888  # the client namespace is new: nothing else listens there

WORK=$(mktemp -d /tmp/quillon-long-path.XXXXXX)
cleanup() {
  stop_pid "$WORK/runner.pid"
  stop_pid "$WORK/upstream.pid"
  delay_path_stop
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

delay_path_start "$DELAY_LINE" "$ONE_WAY_MS" "$WORK/path"
case $? in
  0) ;;
  2) echo "SKIPPED: cannot build the long path here (needs root, network namespaces and TUN)"
     exit $SKIP ;;
  *) echo "FAIL: the long path did not come up"; exit 1 ;;
esac

spawn "$WORK/upstream.pid" "$WORK/upstream.out" ip netns exec "$PATH_SERVER_NS" \
  python3 "$HERE/fixtures/origin.py" serve "$WORK/upstream.port" "$PATH_SERVER_IP"
for _ in $(seq 1 100); do
  [ -s "$WORK/upstream.port" ] && break
  sleep 0.1
done
UPSTREAM_PORT=$(cat "$WORK/upstream.port" 2>/dev/null)
[ -n "$UPSTREAM_PORT" ] || { cat "$WORK/upstream.out"; echo "FAIL: the upstream did not start"; exit 1; }

spawn "$WORK/runner.pid" "$WORK/runner.log" ip netns exec "$PATH_CLIENT_NS" "$RUNNER" \
  --listen "$PROXY_PORT" --upstream "$PATH_SERVER_IP:$UPSTREAM_PORT" --user quillon \
  --password long-path
ns_wait_port "$PATH_CLIENT_NS" 127.0.0.1 "$PROXY_PORT" 100 ||
  { cat "$WORK/runner.log"; echo "FAIL: the runner does not listen"; exit 1; }

# fetch PROXY MAX_SECONDS: one download through a tunnel; prints "bytes seconds".
fetch() {
  in_client curl -s --noproxy '' --max-time "$2" -x "$1" --proxytunnel -o /dev/null \
    -w '%{size_download} %{time_total}\n' "http://$PATH_SERVER_IP:$UPSTREAM_PORT/bytes/$SIZE"
}

read -r direct_bytes direct_seconds < <(fetch "http://$PATH_SERVER_IP:$UPSTREAM_PORT" 30)
if [ "$direct_bytes" != "$SIZE" ]; then
  echo "FAIL: the direct download over the path got ${direct_bytes:-no} bytes of $SIZE"
  exit 1
fi
limit=$(awk -v d="$direct_seconds" 'BEGIN { printf "%.2f", 3 * d }')
# Past three times the direct time the download has failed; a little more time than that
# lets the log say how far it got.
read -r proxy_bytes proxy_seconds < <(fetch "http://127.0.0.1:$PROXY_PORT" \
  "$(awk -v l="$limit" 'BEGIN { printf "%.2f", l + 1 }')")
echo "direct: $direct_bytes bytes in $direct_seconds s; through the runner:" \
  "$proxy_bytes bytes in $proxy_seconds s (limit $limit s, round trip $((2 * ONE_WAY_MS)) ms)"
if [ "$proxy_bytes" != "$SIZE" ] ||
    ! awk -v p="$proxy_seconds" -v l="$limit" 'BEGIN { exit !(p <= l) }'; then
  echo "FAIL: the download through the runner is more than three times slower than direct"
  exit 1
fi
echo "ok:   8 MiB through the runner over a 100 ms round trip within three times the direct time"

# first_byte PROXY TUNNEL: the median over five new connections, 0.3 s apart, of the time to
# the first byte of the answer to a small GET, in seconds; TUNNEL is "--proxytunnel" or "".
first_byte() {
  local i
  for i in 1 2 3 4 5; do
    in_client curl -s --noproxy '' --max-time 10 -x "$1" $2 -o /dev/null \
      -w '%{time_starttransfer}\n' "http://$PATH_SERVER_IP:$UPSTREAM_PORT/bytes/1024"
    sleep 0.3
  done | sort -g | sed -n 3p
}
failures=0
for tunnel in "" --proxytunnel; do
  what=${tunnel:+"in its own tunnel"}
  what=${what:-"as a plain request"}
  # A first client calls for the spares.
  first_byte "http://127.0.0.1:$PROXY_PORT" "$tunnel" >/dev/null
  proxied=$(first_byte "http://127.0.0.1:$PROXY_PORT" "$tunnel")
  direct=$(first_byte "http://$PATH_SERVER_IP:$UPSTREAM_PORT" "$tunnel")
  echo "first byte of a new connection $what: direct ${direct:-?} s, through the runner" \
    "${proxied:-?} s"
  if [ -z "$proxied" ] || [ -z "$direct" ] ||
      ! awk -v p="$proxied" -v d="$direct" 'BEGIN { exit !(p + 0.040 <= d) }'; then
    echo "FAIL: a new connection $what is not answered sooner through the runner than direct"
    failures=$((failures + 1))
  else
    echo "ok:   a new connection $what is answered sooner through the runner than direct"
  fi
done
[ "$failures" -eq 0 ] || exit 1
