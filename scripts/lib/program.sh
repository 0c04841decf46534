# Helpers that run quillon.exe under Wine from a scratch folder and drive it through the engine
# stand-in's UI link with quillon-driver.exe. Shared by scripts/run and the end-to-end tests.
# Source it; it changes nothing by itself. Needs a WINEPREFIX with a running wineserver
# (wine_start) and a display (xvfb_start).
#
#   program_prepare DIR FILE...    copy the program's files into DIR, add data/flutter_assets
#   program_start DIR [ARG...]     start quillon.exe in DIR with --ui-link=ui-link.port and
#                                  wait for the link; sets QUILLON_PROGRAM_PID. With
#                                  QUILLON_PROGRAM_EXE set, that program (a Windows path) is
#                                  started instead, still in DIR
#   program_call DIR CHANNEL METHOD [ARGS]   one method call; prints the reply line
#   program_watch DIR CHANNEL [OPTIONS...]   the driver's watch; prints one line per call
#   program_close DIR              ask the window to close (WM_CLOSE through taskkill)
#   program_wait_exit SECONDS      wait for the program (in this shell, not a subshell: it
#                                  must be the program's parent); sets QUILLON_PROGRAM_EXIT
#                                  (124: still running after SECONDS, then ended by force)
#   journal_path                   print the network journal's path in the prefix

QUILLON_LINK_FILE=ui-link.port

program_prepare() {
  local dir=$1
  shift
  mkdir -p "$dir/data/flutter_assets" || return 1
  cp "$@" "$dir/" || return 1
}

program_start() {
  local dir=$1
  shift
  rm -f "$dir/$QUILLON_LINK_FILE"
  # In a session of its own, so that a Ctrl-C at the terminal reaches the caller only.
  (cd "$dir" && exec setsid wine "${QUILLON_PROGRAM_EXE:-quillon.exe}" "--ui-link=$QUILLON_LINK_FILE" "$@" \
    >"$dir/wine.out" 2>&1 </dev/null) &
  QUILLON_PROGRAM_PID=$!
  local i
  for i in $(seq 1 300); do
    [ -s "$dir/$QUILLON_LINK_FILE" ] && return 0
    kill -0 "$QUILLON_PROGRAM_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The driver's console output ends its lines with CR LF; the helpers hand out plain lines.
# QUILLON_DRIVER_LIMIT bounds the whole driver run (seconds, default 60).
program_driver() {
  local dir=$1
  shift
  (cd "$dir" && timeout "${QUILLON_DRIVER_LIMIT:-60}" wine quillon-driver.exe --port-file "$QUILLON_LINK_FILE" "$@" \
    </dev/null) | sed -u 's/\r$//'
  return "${PIPESTATUS[0]}"
}

program_call() {
  local dir=$1
  shift
  program_driver "$dir" call "$@"
}

program_watch() {
  local dir=$1
  shift
  program_driver "$dir" watch "$@"
}

program_close() {
  local dir=$1
  (cd "$dir" && timeout 30 wine taskkill /IM quillon.exe </dev/null >/dev/null 2>&1)
}

program_wait_exit() {
  local seconds=$1 i
  for i in $(seq 1 $((seconds * 10))); do
    kill -0 "$QUILLON_PROGRAM_PID" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$QUILLON_PROGRAM_PID" 2>/dev/null; then
    kill "$QUILLON_PROGRAM_PID" 2>/dev/null
    wait "$QUILLON_PROGRAM_PID" 2>/dev/null
    QUILLON_PROGRAM_EXIT=124
    return
  fi
  wait "$QUILLON_PROGRAM_PID"
  QUILLON_PROGRAM_EXIT=$?
}

# The value of KEY in the first {"key":value} pair of a driver line (numbers only).
json_number() {  # json_number KEY LINE
  sed -n "s/.*\"$1\":\(-\{0,1\}[0-9][0-9]*\).*/\1/p" <<<"$2" | head -n 1
}

# The argument text of a "startVpn" call in the driver's value notation.
start_vpn_arguments() {  # start_vpn_arguments HOST PORT USER PASSWORD TITLE [DNS]
  local args="{\"proxyHost\":\"$1\",\"proxyPort\":$2,\"username\":\"$3\",\"password\":\"$4\""
  args+=",\"serverTitle\":\"$5\""
  [ -n "${6:-}" ] && args+=",\"dnsServer\":\"$6\""
  echo "$args}"
}

# The network journal of the prefix's user: %LOCALAPPDATA%\Quillon\network-settings.journal.
journal_path() {
  local local_app_data
  local_app_data=$(timeout 30 wine cmd /c 'echo %LOCALAPPDATA%' </dev/null 2>/dev/null | tr -d '\r')
  [ -n "$local_app_data" ] || return 1
  echo "$(winepath -u "$local_app_data" 2>/dev/null)/Quillon/network-settings.journal"
}
