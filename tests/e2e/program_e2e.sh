#!/usr/bin/env bash
# End-to-end checks of the real quillon.exe under Wine, driven through the UI link, against the
# local squid of the quillon_upstream fixture.
#
#   program_e2e.sh CASE STATEDIR ARTIFACTDIR FILE...
#
# CASE: connection | close-connected | kill-restore | restore-network | screenshot. FILE...: the
# program's files (quillon.exe,
# the engine and plug-in DLLs, quillon-driver.exe), copied into a scratch folder. Needs
# WINEPREFIX with a running wineserver and DISPLAY. Exits 0 when every check passed; prints
# each failed check.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
source "$ROOT/scripts/lib/program.sh"
source "$ROOT/tests/integration/fixtures/lib.sh"

[ $# -ge 4 ] || { echo "usage: program_e2e.sh CASE STATEDIR ARTIFACTDIR FILE..." >&2; exit 2; }
CASE=$1
STATEDIR=$2
ARTIFACTS=$3
shift 3
[ -f "$STATEDIR/services.env" ] || { echo "no services.env in $STATEDIR (fixture not started)" >&2; exit 1; }
source "$STATEDIR/services.env"

WORK=$(mktemp -d /tmp/quillon-e2e.XXXXXX)
PROGRAM="$WORK/program"
STARTED=0
failures=0

cleanup() {
  if [ "$STARTED" -eq 1 ] && kill -0 "$QUILLON_PROGRAM_PID" 2>/dev/null; then
    program_close "$PROGRAM"
    program_wait_exit 15
  fi
  # The journal lives in the prefix, not in the scratch folder: no case may leave one behind.
  [ -n "${JOURNAL:-}" ] && rm -f "$JOURNAL" "$JOURNAL.rejected"
  if [ "$failures" -ne 0 ] && [ -f "$PROGRAM/quillon_app.log" ]; then
    echo "--- quillon_app.log"
    tail -n 40 "$PROGRAM/quillon_app.log"
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

log_text() { sed 's/\r$//' "$PROGRAM/quillon_app.log"; }
# The number of the first log line that is exactly TEXT (empty when there is none).
log_line_number() { log_text | grep -n -x -F -m 1 -- "$1" | cut -d: -f1; }
ordered() {  # ordered A B [C]: all line numbers known and each before the next
  [ -n "$1" ] && [ -n "$2" ] && [ "$1" -lt "$2" ] && { [ $# -lt 3 ] || ordered "${@:2}"; }
}
# holds EXPRESSION: true when the arithmetic EXPRESSION is not zero. A check whose conditions
# are all one expression fails when any of them does.
holds() { (($1)); }
log_has() { log_text | grep -q -- "$1"; }  # log_has REGEX

start_program() {
  program_prepare "$PROGRAM" "$@" || { fail "the program's files are copied"; exit 1; }
  if ! program_start "$PROGRAM"; then
    fail "quillon.exe opens its UI link"
    exit 1
  fi
  STARTED=1
}

connect() {  # connect [DNS]
  local reply
  reply=$(program_call "$PROGRAM" com.quillon.app/vpn startVpn \
    "$(start_vpn_arguments 127.0.0.1 "$SQUID_PORT" "$PROXY_USER" "$PROXY_PASSWORD" "e2e squid" "${1:-}")")
  check "startVpn answers true (got $reply)" [ "$reply" = '{"result":"success","value":true}' ]
}

close_program() {
  program_close "$PROGRAM"
  program_wait_exit 30
  STARTED=0
  check "quillon.exe exits with 0 after WM_CLOSE (got $QUILLON_PROGRAM_EXIT)" \
    [ "$QUILLON_PROGRAM_EXIT" = 0 ]
}

# curl through the local proxy; prints "STATUS BYTES".
fetch() {  # fetch URL [curl options...]
  local url=$1
  shift
  curl -sS --max-time 15 -o /dev/null -w '%{http_code} %{size_download}' \
    --proxy http://127.0.0.1:20888 "$@" "$url" 2>/dev/null
}

case_connection() {
  start_program "$@"
  connect
  check "the proxy started" grep -qF "代理服务器启动成功在端口: 20888" "$PROGRAM/quillon_app.log"

  local got
  got=$(fetch "http://127.0.0.1:$ORIGIN_PORT/bytes/3000")
  check "plain GET through 127.0.0.1:20888 (got $got)" [ "$got" = "200 3000" ]
  got=$(fetch "http://127.0.0.1:$ORIGIN_PORT/bytes/5000" --proxytunnel)
  check "CONNECT tunnel through 127.0.0.1:20888 (got $got)" [ "$got" = "200 5000" ]
  got=$(curl -sS --max-time 15 -o /dev/null -w '%{http_code}' \
    "http://127.0.0.1:$ORIGIN_PORT/bytes/1" -x http://127.0.0.1:$SQUID_PORT 2>&1)
  check "squid itself wants credentials, so the proxy added them (got $got)" [ "$got" = 407 ]

  # With the tunnels closed, the pushes go on once a second and carry the totals so far.
  local stamps="$WORK/pushes.txt" line
  program_watch "$PROGRAM" com.quillon.app/stats --count 4 --timeout 12 |
    while IFS= read -r line; do echo "$(date +%s%N) $line"; done >"$stamps"
  check "four pushes within 12 s" [ "$(grep -c '"method":"onStatsUpdate"' "$stamps")" -eq 4 ]
  local previous_time="" previous_sent=0 previous_received=0 time sent received gap
  while read -r time line; do
    sent=$(json_number bytesSent "$line")
    received=$(json_number bytesReceived "$line")
    check "a push counts the traffic ($line)" holds "${sent:-0} > 0 && ${received:-0} > 8000"
    check "totals never shrink" \
      holds "${sent:-0} >= $previous_sent && ${received:-0} >= $previous_received"
    if [ -n "$previous_time" ]; then
      gap=$(((time - previous_time) / 1000000))
      check "pushes about a second apart (${gap} ms)" holds "$gap >= 500 && $gap <= 1800"
    fi
    previous_time=$time previous_sent=${sent:-0} previous_received=${received:-0}
  done <"$stamps"

  local reply
  reply=$(program_call "$PROGRAM" com.quillon.app/stats getStats)
  sent=$(json_number bytesSent "$reply")
  received=$(json_number bytesReceived "$reply")
  check "getStats has the totals of the pushes ($reply)" holds \
    "$previous_sent > 0 && ${sent:-0} >= $previous_sent && ${received:-0} >= $previous_received"
  check "getStats counts no open tunnel" grep -qF '"activeConnections":0' <<<"$reply"

  reply=$(program_call "$PROGRAM" com.quillon.app/vpn stopVpn)
  check "stopVpn answers true (got $reply)" [ "$reply" = '{"result":"success","value":true}' ]
  check "the proxy stopped" grep -qF "代理服务器已停止" "$PROGRAM/quillon_app.log"
  got=$(fetch "http://127.0.0.1:$ORIGIN_PORT/bytes/10")
  check "nothing serves 127.0.0.1:20888 after stopVpn (got $got)" [ "${got%% *}" = 000 ]
  close_program
}

case_close_connected() {
  JOURNAL=$(journal_path) || { fail "the prefix's local application data folder is found"; exit 1; }
  start_program "$@"
  # The DNS step runs Wine's own netsh inside the throw-away prefix.
  connect 127.0.0.1
  check "the DNS server was set" grep -qF "系统DNS设置成功: 127.0.0.1" "$PROGRAM/quillon_app.log"
  local got
  got=$(fetch "http://127.0.0.1:$ORIGIN_PORT/bytes/100")
  check "traffic flows before the close (got $got)" [ "$got" = "200 100" ]

  # A watcher that lasts until the program closes the link; a push to a released engine would
  # end the program abnormally rather than reach it.
  program_watch "$PROGRAM" com.quillon.app/stats --timeout 60 >"$WORK/watch.txt" 2>&1 &
  local watcher=$! i
  # The close comes once the first push has reached the watcher (or the watcher has ended).
  for i in $(seq 1 300); do
    grep -q '"method":"onStatsUpdate"' "$WORK/watch.txt" && break
    kill -0 "$watcher" 2>/dev/null || break
    sleep 0.1
  done
  close_program
  local watched=1
  for i in $(seq 1 100); do
    kill -0 "$watcher" 2>/dev/null || break
    sleep 0.1
  done
  wait "$watcher"
  watched=$?
  check "the watcher saw the link close without errors (exit $watched)" [ "$watched" -eq 0 ]
  check "the watcher saw pushes before the close" grep -q '"method":"onStatsUpdate"' "$WORK/watch.txt"
  check "the watcher saw only pushes" [ "$(grep -vc '^{"method":"onStatsUpdate"' "$WORK/watch.txt")" -eq 0 ]

  local proxy_stopped pac_reset dns_reset
  proxy_stopped=$(log_line_number "代理服务器已停止")
  pac_reset=$(log_line_number "成功重置系统PAC设置")
  dns_reset=$(log_text | grep -n -m 1 '^成功重置适配器 .* 的DNS设置$' | cut -d: -f1)
  check "the proxy stops before the PAC is reset (lines $proxy_stopped, $pac_reset)" \
    ordered "$proxy_stopped" "$pac_reset"
  check "the PAC is reset before the DNS (lines $pac_reset, $dns_reset)" ordered "$pac_reset" "$dns_reset"
  got=$(fetch "http://127.0.0.1:$ORIGIN_PORT/bytes/10")
  check "nothing serves 127.0.0.1:20888 after the close (got $got)" [ "${got%% *}" = 000 ]
  check "a clean close leaves no journal" [ ! -e "$JOURNAL" ]
}

# quillon.exe --restore-network in the scratch folder; prints its exit code.
restore_network() {
  (cd "$PROGRAM" && timeout 60 wine quillon.exe --restore-network </dev/null >/dev/null 2>&1)
  echo $?
}

case_kill_restore() {
  JOURNAL=$(journal_path) || { fail "the prefix's local application data folder is found"; exit 1; }
  rm -f "$JOURNAL"
  start_program "$@"
  connect 127.0.0.1
  check "the DNS server was set" grep -qF "系统DNS设置成功: 127.0.0.1" "$PROGRAM/quillon_app.log"
  check "while connected the journal holds the proxy settings" grep -q '^proxy-flags [0-9]' "$JOURNAL"
  check "and the DNS of the changed adapters" grep -q '^dns 6 dhcp ' "$JOURNAL"

  # Killed: nothing is put back, the journal stays.
  (cd "$PROGRAM" && timeout 30 wine taskkill /F /IM quillon.exe </dev/null >/dev/null 2>&1)
  program_wait_exit 30
  STARTED=0
  check "taskkill /F ended the program (exit $QUILLON_PROGRAM_EXIT)" [ "$QUILLON_PROGRAM_EXIT" != 124 ]
  check "the kill put nothing back" [ -z "$(log_line_number "成功重置系统PAC设置")" ]
  check "the journal survived the kill" [ -s "$JOURNAL" ]

  # The next start puts everything back before the window exists, then removes the journal.
  program_start "$PROGRAM" || { fail "quillon.exe starts again"; exit 1; }
  STARTED=1
  local found restored window pac
  found=$(log_line_number "发现未恢复的系统网络设置，正在恢复")
  restored=$(log_line_number "系统网络设置已恢复")
  pac=$(log_text | grep -n -m 1 '^系统代理已恢复为: ' | cut -d: -f1)
  window=$(log_text | grep -n '\] FlutterWindow initialized$' | tail -n 1 | cut -d: -f1)
  check "the restart finds the settings (lines $found, $pac, $restored)" \
    ordered "$found" "$pac" "$restored"
  check "and puts the DNS back" log_has '^适配器 .* 的DNS已恢复为: DHCP$'
  check "before the window is created (line $window)" ordered "$restored" "$window"
  check "the journal is gone" [ ! -e "$JOURNAL" ]
  close_program
}

case_restore_network() {
  JOURNAL=$(journal_path) || { fail "the prefix's local application data folder is found"; exit 1; }
  rm -f "$JOURNAL" "$JOURNAL.rejected"
  program_prepare "$PROGRAM" "$@" || { fail "the program's files are copied"; exit 1; }
  local code
  code=$(restore_network)
  check "without a journal --restore-network exits 0 (got $code)" [ "$code" = 0 ]
  check "and finds nothing to put back" [ -z "$(log_line_number "发现未恢复的系统网络设置，正在恢复")" ]
  check "without starting the UI" [ -z "$(log_text | grep 'FlutterWindow initialized')" ]

  mkdir -p "$(dirname "$JOURNAL")"
  printf 'quillon network journal 1\nproxy-flags 1\nproxy-url \nproxy-server \nproxy-bypass \ndns 6 10.0.0.53,8.8.4.4 eth0\n' >"$JOURNAL"
  code=$(restore_network)
  check "with a journal it exits 0 (got $code)" [ "$code" = 0 ]
  check "after putting the proxy back" [ -n "$(log_line_number "系统代理已恢复为: 直接连接")" ]
  check "and the DNS servers in order" \
    [ -n "$(log_line_number "适配器 eth0 的DNS已恢复为: 10.0.0.53, 8.8.4.4")" ]
  check "then says so" [ -n "$(log_line_number "系统网络设置已恢复")" ]
  check "and removes the journal" [ ! -e "$JOURNAL" ]

  printf 'quillon network journal 1\ndns 6 6.6.6.6 eth0" & calc & "\n' >"$JOURNAL"
  code=$(restore_network)
  check "a hostile journal makes it exit 1 (got $code)" [ "$code" = 1 ]
  check "and is refused" log_has '^系统网络设置恢复记录无效，已移至一旁，不会执行: '
  check "and renamed aside" [ ! -e "$JOURNAL" -a -s "$JOURNAL.rejected" ]
  check "and never executed" [ -z "$(log_line_number "适配器 eth0\" & calc & \" 的DNS已恢复为: 6.6.6.6")" ]
}

case_screenshot() {
  start_program "$@"
  local i shown=""
  for i in $(seq 1 100); do
    shown=$(xwininfo -root -tree 2>/dev/null | grep -F '"Quillon"')
    [ -n "$shown" ] && break
    sleep 0.1
  done
  check "the window \"Quillon\" is on the display" [ -n "$shown" ]
  sleep 1  # the panel's first paint
  mkdir -p "$ARTIFACTS"
  local shot="$ARTIFACTS/quillon-window.png"
  rm -f "$shot"
  check "import takes a screenshot" timeout 30 import -window root "$shot"
  local size
  size=$(identify -format '%w %h' "$shot" 2>/dev/null)
  check "the screenshot is a picture ($size)" [ -n "$size" ]
  # A blank screen compresses to almost nothing; the window and its panel do not.
  check "the screenshot shows more than one colour" \
    [ "$(identify -format '%k' "$shot" 2>/dev/null || echo 0)" -gt 2 ]
  echo "screenshot kept in $shot"
  close_program
}

case "$CASE" in
  connection) case_connection "$@" ;;
  close-connected) case_close_connected "$@" ;;
  kill-restore) case_kill_restore "$@" ;;
  restore-network) case_restore_network "$@" ;;
  screenshot) case_screenshot "$@" ;;
  *) echo "unknown case $CASE" >&2; exit 2 ;;
esac
[ "$failures" -eq 0 ]
