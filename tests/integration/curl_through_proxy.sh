#!/usr/bin/env bash
# End-to-end: curl as the client, the proxy runner (quillon-proxy) in the middle, squid with
# Basic authentication as the upstream, and the local origin behind it, all on loopback. The
# services come from the fixture (services.sh start); this script starts and stops the runner
# itself, so the same script checks the native build and, through Wine, the Windows build.
#
#   curl_through_proxy.sh STATEDIR RUNNER [EMULATOR...]
#
# Exits 0 when every check passed; prints each failed check.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/fixtures/lib.sh"

[ $# -ge 2 ] || { echo "usage: curl_through_proxy.sh STATEDIR RUNNER [EMULATOR...]" >&2; exit 2; }
STATEDIR=$1
RUNNER=$2
shift 2
EMULATOR=("$@")
[ -f "$STATEDIR/services.env" ] || { echo "no services.env in $STATEDIR (fixture not started)" >&2; exit 1; }
source "$STATEDIR/services.env"

WORK=$(mktemp -d /tmp/quillon-curl-e2e.XXXXXX)
failures=0

cleanup() {
  local pidfile
  for pidfile in "$WORK"/runner-*.pid; do
    [ -f "$pidfile" ] && stop_pid "$pidfile" KILL
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

log_has() { grep -qF -- "$2" "$WORK/runner-$1.log"; }
# session_logged NAME TEXT: some client's line (after its "[会话-N] " prefix) is exactly TEXT.
# The readiness probe is the runner's first client, so numbers are not fixed.
session_logged() { sed 's/\r$//' "$WORK/runner-$1.log" | grep -q "^\[会话-[0-9]*\] $2\$"; }

# start_runner NAME UPSTREAM [PASSWORD_OPTIONS...]: starts one runner on a free port towards
# UPSTREAM (HOST:PORT); sets PROXY_PORT. The environment variable QUILLON_PROXY_PASSWORD is
# passed on when set.
start_runner() {
  local name=$1 upstream=$2
  shift 2
  PROXY_PORT=$(free_port)
  spawn "$WORK/runner-$name.pid" "$WORK/runner-$name.log" "${EMULATOR[@]}" "$RUNNER" \
    --listen "$PROXY_PORT" --upstream "$upstream" --user "$PROXY_USER" "$@"
  # Under Wine the first start of a process can take several seconds.
  if ! wait_port "$PROXY_PORT" "$(cat "$WORK/runner-$name.pid")" 600; then
    cat "$WORK/runner-$name.log"
    fail "runner $name listens on $PROXY_PORT"
    return 1
  fi
}

# stop_runner NAME: SIGINT, then checks the clean exit (code 0 and the last log line).
stop_runner() {
  local name=$1 pid code i
  pid=$(cat "$WORK/runner-$name.pid")
  kill -INT "$pid" 2>/dev/null
  for i in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    fail "runner $name stops on SIGINT"
    stop_pid "$WORK/runner-$name.pid" KILL
    return
  fi
  wait "$pid"
  code=$?
  rm -f "$WORK/runner-$name.pid"
  check "runner $name exits with 0 (got $code)" [ "$code" -eq 0 ]
  check "runner $name logs its stop" log_has "$name" "代理服务器已停止"
}

curl_proxy() {  # curl through the runner started last
  curl -sS --max-time 30 --noproxy '' -x "http://127.0.0.1:$PROXY_PORT" "$@"
}

# squid_logged TEXT...: every text occurs in one line of squid's access log. Squid writes a
# line when the transaction ends (a CONNECT line only once the tunnel has closed), so the line
# is waited for, up to 10 s.
squid_logged() {
  local i line text found
  for i in $(seq 1 100); do
    found=1
    line=$(grep -F -- "$1" "$SQUID_ACCESS_LOG" | tail -n 1)
    for text in "${@:2}"; do
      [[ "$line" == *"$text"* ]] || found=0
    done
    [ -n "$line" ] && [ "$found" = 1 ] && return 0
    sleep 0.1
  done
  return 1
}

origin="http://127.0.0.1:$ORIGIN_PORT"
python3 "$HERE/fixtures/origin.py" pattern 3000000 >"$WORK/expected-3m"
python3 "$HERE/fixtures/origin.py" pattern 200000 >"$WORK/expected-200k"
head -c 300000 /dev/urandom >"$WORK/post-body"

# --- the right credentials, from a file (its first line; a CR LF line end is not part of it),
# and the upstream given by name: every connection looks up "localhost", which the hosts file
# answers, so no query leaves the machine.
printf '%s\r\nsecond line\n' "$PROXY_PASSWORD" >"$WORK/password"
if start_runner good "localhost:$SQUID_PORT" --password-file "$WORK/password"; then
  # A CONNECT tunnel to the origin: curl speaks HTTP inside it.
  code=$(curl_proxy -p -o "$WORK/tunnel-body" -w '%{http_connect} %{http_code}' "$origin/bytes/3000000")
  check "CONNECT tunnel: codes 200 200 (got $code)" [ "$code" = "200 200" ]
  check "CONNECT tunnel: body intact" cmp -s "$WORK/tunnel-body" "$WORK/expected-3m"
  check "CONNECT tunnel: squid saw an authenticated CONNECT" \
    squid_logged "CONNECT 127.0.0.1:$ORIGIN_PORT" "TCP_TUNNEL/200" " $PROXY_USER "
  check "CONNECT tunnel: established line" log_has good "CONNECT请求成功，隧道已建立"
  check "upstream by name: connected to localhost" \
    session_logged good "正在连接到目标代理: localhost:$SQUID_PORT"

  # A plain GET in absolute form, rewritten with the proxy's credentials.
  code=$(curl_proxy -o "$WORK/get-body" -w '%{http_code}' "$origin/bytes/200000")
  check "plain GET: code 200 (got $code)" [ "$code" = "200" ]
  check "plain GET: body intact" cmp -s "$WORK/get-body" "$WORK/expected-200k"
  check "plain GET: squid saw it authenticated" \
    squid_logged "GET $origin/bytes/200000" "TCP_MISS/200" " $PROXY_USER "

  # A POST whose body needs many reads; the origin echoes it.
  code=$(curl_proxy -o "$WORK/post-echo" -w '%{http_code}' --data-binary @"$WORK/post-body" \
    -H 'Content-Type: application/octet-stream' "$origin/echo")
  check "POST: code 200 (got $code)" [ "$code" = "200" ]
  check "POST: echoed body intact" cmp -s "$WORK/post-echo" "$WORK/post-body"

  # The same body sent chunked: squid takes the chunked upload through the proxy intact.
  code=$(curl_proxy -o "$WORK/chunked-echo" -w '%{http_code}' --data-binary @"$WORK/post-body" \
    -H 'Transfer-Encoding: chunked' -H 'Content-Type: application/octet-stream' "$origin/echo")
  check "chunked POST: code 200 (got $code)" [ "$code" = "200" ]
  check "chunked POST: echoed body intact" cmp -s "$WORK/chunked-echo" "$WORK/post-body"

  # Two requests on one kept-alive connection, curl sending wrong credentials of its own: each
  # request is rewritten (curl's header dropped, the proxy's added), so both pass.
  codes=$(curl_proxy --proxy-user "$PROXY_USER:not-the-password" \
    -o /dev/null -w '%{num_connects} %{http_code}\n' "$origin/bytes/100" \
    -o /dev/null -w '%{num_connects} %{http_code}\n' "$origin/bytes/101" | tr '\n' ' ')
  check "keep-alive: both requests on one connection pass (got $codes)" \
    [ "$codes" = "1 200 0 200 " ]
  check "keep-alive: squid saw the second request authenticated" \
    squid_logged "GET $origin/bytes/101" "TCP_MISS/200" " $PROXY_USER "

  # An offer to upgrade to HTTP/2 that squid declines (it answers 200): the connection goes on
  # request by request, so the second request is rewritten with the credentials too.
  codes=$(curl_proxy --http2 -o /dev/null -w '%{num_connects} %{http_code}\n' "$origin/bytes/102" \
    -o /dev/null -w '%{num_connects} %{http_code}\n' "$origin/bytes/103" | tr '\n' ' ')
  check "declined upgrade: both requests pass on one connection (got $codes)" \
    [ "$codes" = "1 200 0 200 " ]

  # HTTP/1.0 requests without keep-alive: each answer ends with the connection, as the client
  # reads it.
  completed=$(timeout 120 ab -s 20 -n 20 -X "127.0.0.1:$PROXY_PORT" "$origin/bytes/104" 2>/dev/null |
    awk '/^Complete requests:/ { print $3 }')
  check "HTTP/1.0 client: 20 of 20 requests complete (got ${completed:-none})" \
    [ "${completed:-0}" = 20 ]

  # An ftp:// target goes upstream as it is: squid answers it (503: nothing listens there).
  ftp_port=$(free_port)
  code=$(curl_proxy -o /dev/null -w '%{http_code}' "ftp://127.0.0.1:$ftp_port/file.txt" 2>/dev/null)
  check "ftp target: squid's own answer reaches the client (got $code)" [ "$code" = 503 ]
  check "ftp target: squid saw it" squid_logged "ftp://127.0.0.1:$ftp_port/file.txt" " $PROXY_USER "

  stop_runner good
fi

# --- a wrong password, from the environment ----------------------------------------------
if QUILLON_PROXY_PASSWORD="wrong-$PROXY_PASSWORD" start_runner badpass "127.0.0.1:$SQUID_PORT"; then
  check "wrong password: a password was read from the environment" log_has badpass "密码: 已提供"
  started=$(date +%s)
  code=$(curl_proxy -p -o /dev/null -w '%{http_connect}' "$origin/bytes/10" 2>/dev/null)
  curl_exit=$?
  elapsed=$(($(date +%s) - started))
  check "wrong password: curl fails (exit $curl_exit)" [ "$curl_exit" -ne 0 ]
  check "wrong password: the client gets no answer, only the close (got $code)" [ "$code" = "000" ]
  check "wrong password: closed promptly (${elapsed}s)" [ "$elapsed" -lt 15 ]
  check "wrong password: squid refused the CONNECT" \
    squid_logged "CONNECT 127.0.0.1:$ORIGIN_PORT" "TCP_DENIED/407"
  check "wrong password: refusal logged" session_logged badpass "目标代理拒绝了CONNECT请求，响应码不是200"
  stop_runner badpass
fi

# --- the upstream is down ----------------------------------------------------------------
down_port=$(free_port)
if start_runner down "127.0.0.1:$down_port" --password "$PROXY_PASSWORD"; then
  code=$(curl_proxy -p -o /dev/null -w '%{http_connect}' "$origin/bytes/10" 2>/dev/null)
  curl_exit=$?
  check "upstream down: curl fails (exit $curl_exit, code $code)" [ "$curl_exit" -ne 0 ]
  check "upstream down: refusal logged with 10061" \
    session_logged down "连接到目标代理失败: 错误码=10061 (连接被拒绝)"
  stop_runner down
fi

# --- refused before listening: conflicting or unreadable passwords, a forwarding loop -----
# refused NAME EXIT TEXT ARGS...: the runner exits with EXIT at once, its output holding TEXT
# (2 for arguments it refuses itself, 1 for a configuration the proxy refuses to start with).
refused() {
  local name=$1 expected=$2 text=$3 code
  shift 3
  QUILLON_PROXY_PASSWORD=from-the-environment timeout 120 "${EMULATOR[@]}" "$RUNNER" "$@" \
    </dev/null >"$WORK/refused-$name.log" 2>&1
  code=$?
  check "refused $name: exit code $expected (got $code)" [ "$code" -eq "$expected" ]
  check "refused $name: says why" grep -qF -- "$text" "$WORK/refused-$name.log"
}
loop_port=$(free_port)
refused two-passwords 2 "--password and --password-file cannot be used together" \
  --listen "$loop_port" --upstream "127.0.0.1:$SQUID_PORT" --password x --password-file "$WORK/password"
refused missing-file 2 "cannot read the password file $WORK/missing" \
  --listen "$loop_port" --upstream "127.0.0.1:$SQUID_PORT" --password-file "$WORK/missing"
refused loop 1 "目标代理是本地代理自己的监听地址，已拒绝: localhost:$loop_port" \
  --listen "$loop_port" --upstream "localhost:$loop_port"

if [ "$failures" -ne 0 ]; then
  for log in "$WORK"/runner-*.log "$WORK"/refused-*.log; do
    echo "--- $(basename "$log")"
    tail -n 60 "$log"
  done
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
