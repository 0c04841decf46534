#!/usr/bin/env bash
# End-to-end checks of the Windows installer under Wine: silent install, the installed program,
# uninstall after a killed connected run, upgrade over a running connected program, and the
# refusals. Everything happens in the throw-away prefix: Program Files, HKLM, the Start menu, the
# user's network journal.
#
#   installer_e2e.sh CASE STATEDIR LAYOUT VERSION INSTALLER VARIANTS
#
# CASE: install | kill-uninstall | upgrade | refusals. LAYOUT: the install layout (dist) the
# installer was built from; VERSION: the product version; INSTALLER: the product installer;
# VARIANTS: the folder of the test builds (previous.exe: an older version of a slightly different
# layout; quick-close.exe: a 3 s close wait; no-rights.exe: sees a standard account). Needs
# WINEPREFIX with a running wineserver and DISPLAY. Exits 0 when every check passed.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
source "$ROOT/scripts/lib/program.sh"
source "$ROOT/tests/integration/fixtures/lib.sh"

[ $# -eq 6 ] || { echo "usage: installer_e2e.sh CASE STATEDIR LAYOUT VERSION INSTALLER VARIANTS" >&2; exit 2; }
CASE=$1 STATEDIR=$2 LAYOUT=$3 VERSION=$4 INSTALLER=$5 VARIANTS=$6
[ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set" >&2; exit 2; }
[ -f "$INSTALLER" ] || { echo "no installer at $INSTALLER (is Debian's nsis installed?)" >&2; exit 1; }
# Shortcuts would otherwise also become menu entries of the Linux desktop.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-};winemenubuilder.exe=d"

INSTALL_WIN='C:\Program Files\Quillon'
INSTALL_DIR="$WINEPREFIX/drive_c/Program Files/Quillon"
SHORTCUT="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quillon.lnk"
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon'
WORK=$(mktemp -d /tmp/quillon-installer.XXXXXX)
STARTED=0
failures=0

# The prefix holds one installation at a time: whatever a failed run left goes first and last.
remove_installation() {
  rm -rf "$INSTALL_DIR" "$SHORTCUT"
  timeout 30 wine reg delete "$UNINSTALL_KEY" /f </dev/null >/dev/null 2>&1 || true
}

cleanup() {
  if [ "$STARTED" -eq 1 ]; then
    kill -CONT "$QUILLON_PROGRAM_PID" 2>/dev/null
    (timeout 30 wine taskkill /IM quillon.exe </dev/null >/dev/null 2>&1)
    program_wait_exit 15
  fi
  [ -n "${JOURNAL:-}" ] && rm -f "$JOURNAL" "$JOURNAL.rejected"
  if [ "$failures" -ne 0 ] && [ -s "$WORK/setup.out" ]; then
    echo "--- the last setup's output"
    cat "$WORK/setup.out"
  fi
  remove_installation
  rm -rf "$WORK"
}
trap cleanup EXIT

# setup INSTALLER [ARGUMENTS...]: runs an installer and prints its exit code.
setup() {
  timeout 120 wine "$@" </dev/null >"$WORK/setup.out" 2>&1
  echo $?
}

# uninstall: the uninstaller from a copy outside the folder with _?=, which makes it run in place
# of the copy NSIS would start, so that its exit code is this process's. _?= must come last and
# unquoted, so the line goes through cmd rather than Wine's argument quoting. Prints the exit code.
uninstall() {
  cp "$INSTALL_DIR/uninstall.exe" "$WORK/uninstall.exe" || { echo missing; return; }
  # Wine's drive Z: is the Linux root.
  timeout 120 wine cmd /c "Z:${WORK//\//\\}\\uninstall.exe /S _?=$INSTALL_WIN" \
    </dev/null >"$WORK/setup.out" 2>&1
  echo $?
}

# The value of NAME in the uninstall entry, as reg prints it (DWORDs as 0x...).
entry_value() {
  timeout 30 wine reg query "$UNINSTALL_KEY" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}
entry_count() {
  timeout 30 wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
    </dev/null 2>/dev/null | tr -d '\r' | grep -ci '\\Uninstall\\Quillon$'
}

# Relative paths of every file and folder under DIR, sorted.
listing() { (cd "$1" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort); }

# True when the installation holds exactly LAYOUT's files, byte for byte, and the uninstaller.
holds_layout() {  # holds_layout LAYOUT
  [ "$(listing "$INSTALL_DIR" | grep -v -x -e uninstall.exe -e quillon_app.log)" = "$(listing "$1")" ] ||
    return 1
  local file
  while IFS= read -r file; do
    cmp -s "$1/$file" "$INSTALL_DIR/$file" || return 1
  done < <(cd "$1" && find . -type f)
}

nothing_installed() {
  [ ! -e "$INSTALL_DIR" ] && [ ! -e "$SHORTCUT" ] && [ "$(entry_count)" -eq 0 ]
}

# Starts the installed quillon.exe with its UI link file (and a copy of the driver) in WORK, so
# that nothing but the program itself writes into the installation.
start_installed() {
  cp "$INSTALL_DIR/quillon-driver.exe" "$WORK/" || return 1
  QUILLON_PROGRAM_EXE="$INSTALL_WIN\\quillon.exe" program_start "$WORK"
  local started=$?
  STARTED=1
  return $started
}

# Every case starts without an installation and without a network journal.
begin() {
  remove_installation
  JOURNAL=$(journal_path) || { fail "the prefix's local application data folder is found"; exit 1; }
  rm -f "$JOURNAL" "$JOURNAL.rejected"
}

# install_and_connect INSTALLER: installs silently, starts the installed program and connects it
# with a DNS server, so that the prefix's proxy and DNS settings are changed and journaled.
install_and_connect() {
  local code
  code=$(setup "$1" /S)
  check "$(basename "$1") installs silently (got $code)" [ "$code" = 0 ]
  start_installed || { fail "the installed program opens its UI link"; exit 1; }
  check "the installed program connects" connect_with_dns
  check "while connected the journal holds the proxy settings" grep -q '^proxy-flags [0-9]' "$JOURNAL"
}

connect_with_dns() {
  source "$STATEDIR/services.env" || return 1
  local reply
  reply=$(program_call "$WORK" com.quillon.app/vpn startVpn \
    "$(start_vpn_arguments 127.0.0.1 "$SQUID_PORT" "$PROXY_USER" "$PROXY_PASSWORD" "installer" 127.0.0.1)")
  [ "$reply" = '{"result":"success","value":true}' ]
}

case_install() {
  begin
  check "the installer is named with the product version ($(basename "$INSTALLER"))" \
    [ "$(basename "$INSTALLER")" = "Quillon-Setup-$VERSION.exe" ]
  local code
  code=$(setup "$INSTALLER" /S)
  check "a silent install exits 0 (got $code)" [ "$code" = 0 ]
  check "every file of the layout is in place, and nothing else but the uninstaller" \
    holds_layout "$LAYOUT"
  check "with the uninstaller" [ -s "$INSTALL_DIR/uninstall.exe" ]
  check "the Start-menu shortcut points at the program" \
    grep -qa 'quillon\.exe' "$SHORTCUT"

  local kib expected
  kib=$(((($(find "$LAYOUT" -type f -printf '%s+') 0) + 1023) / 1024))
  expected=(
    "DisplayName|Quillon"
    "DisplayVersion|$VERSION"
    "Publisher|Quillon"
    "DisplayIcon|$INSTALL_WIN\\quillon.exe,0"
    "InstallLocation|$INSTALL_WIN"
    "UninstallString|\"$INSTALL_WIN\\uninstall.exe\""
    "QuietUninstallString|\"$INSTALL_WIN\\uninstall.exe\" /S"
    "NoModify|0x1"
  )
  local row name want got entry
  entry=$(timeout 30 wine reg query "$UNINSTALL_KEY" </dev/null 2>/dev/null | tr -d '\r')
  for row in "${expected[@]}" "EstimatedSize|$(printf '0x%x' "$kib")"; do
    name=${row%%|*} want=${row#*|}
    got=$(sed -n "s/^ *$name *REG_[A-Z_]* *//p" <<<"$entry")
    check "the uninstall entry's $name is $want (got $got)" [ "$got" = "$want" ]
  done

  code=$( (cd "$WORK" && timeout 60 wine "$INSTALL_WIN\\quillon.exe" --restore-network \
    </dev/null >/dev/null 2>&1); echo $?)
  check "the installed program runs: --restore-network exits 0 (got $code)" [ "$code" = 0 ]
  check "and finds nothing to put back (its log does not say it found settings)" \
    log_lacks "发现未恢复的系统网络设置，正在恢复"
}

case_kill_uninstall() {
  begin
  install_and_connect "$INSTALLER"
  (timeout 30 wine taskkill /F /IM quillon.exe </dev/null >/dev/null 2>&1)
  program_wait_exit 30
  STARTED=0
  check "the journal survived the kill" [ -s "$JOURNAL" ]

  local code
  code=$(uninstall)
  check "the silent uninstall exits 0 (got $code)" [ "$code" = 0 ]
  check "it put the settings back first: the journal is gone" [ ! -e "$JOURNAL" ]
  check "nothing of the installation is left (folder, shortcut, entry)" nothing_installed
}

case_upgrade() {
  begin
  install_and_connect "$VARIANTS/previous.exe"
  check "the previous version's files are in place" holds_layout "$VARIANTS/previous-layout"
  local previous_version
  previous_version=$(entry_value DisplayVersion)
  check "its entry has a lower version ($previous_version)" \
    [ "$previous_version" != "$VERSION" -a -n "$previous_version" ]

  local code
  code=$(setup "$INSTALLER" /S)
  check "the upgrade over the running program exits 0 (got $code)" [ "$code" = 0 ]
  program_wait_exit 30
  STARTED=0
  check "the installer closed the program, which exited with 0 (got $QUILLON_PROGRAM_EXIT)" \
    [ "$QUILLON_PROGRAM_EXIT" = 0 ]
  check "which put the network back as it closed" [ ! -e "$JOURNAL" ]
  check "the installation now holds the new files only" holds_layout "$LAYOUT"
  check "and the program's log, which it keeps" [ -s "$INSTALL_DIR/quillon_app.log" ]
  check "one uninstall entry ($(entry_count))" [ "$(entry_count)" -eq 1 ]
  check "with the new version" [ "$(entry_value DisplayVersion)" = "$VERSION" ]

  # The uninstall command as Apps & features runs it: NSIS's copy finishes in the background.
  local command program
  command=$(entry_value QuietUninstallString)
  program=${command#\"} program=${program%%\"*}
  check "the quiet uninstall command ($command) starts" \
    quietly timeout 60 wine "$program" ${command##*\" }
  local i
  for i in $(seq 1 300); do
    nothing_installed && break
    sleep 0.2
  done
  check "after it nothing of the installation is left, the log included" nothing_installed
}

case_refusals() {
  begin
  local code
  code=$(setup "$VARIANTS/no-rights.exe" /S)
  check "without administrator rights setup exits 3 (got $code)" [ "$code" = 3 ]
  check "and says why" grep -q 'needs administrator rights' "$WORK/setup.out"
  check "and installs nothing" nothing_installed

  # A file where a folder should be: the target cannot be created.
  local blocker="$WINEPREFIX/drive_c/quillon-blocker"
  : >"$blocker"
  code=$(setup "$INSTALLER" /S '/D=C:\quillon-blocker\Quillon')
  rm -f "$blocker"
  check "a folder that cannot be written makes setup exit 4 (got $code)" [ "$code" = 4 ]
  check "and says which" grep -q 'quillon-blocker' "$WORK/setup.out"
  check "and installs nothing" nothing_installed

  code=$(setup "$VARIANTS/quick-close.exe" /S)
  check "an install with a 3 s close wait exits 0 (got $code)" [ "$code" = 0 ]
  start_installed || { fail "the installed program opens its UI link"; exit 1; }
  # A program that does not close: stopped, it handles no message.
  kill -STOP "$QUILLON_PROGRAM_PID"
  local before
  before=$(cd "$INSTALL_DIR" && find . -printf '%p %s %T@\n' | LC_ALL=C sort)
  code=$(setup "$VARIANTS/quick-close.exe" /S)
  check "setup over a program that does not close exits 5 (got $code)" [ "$code" = 5 ]
  check "and says so" grep -q 'did not close' "$WORK/setup.out"
  code=$(uninstall)
  check "so does the uninstaller (got $code)" [ "$code" = 5 ]
  check "which says so too" grep -q 'did not close' "$WORK/setup.out"
  check "and neither changed a file" \
    [ "$(cd "$INSTALL_DIR" && find . -printf '%p %s %T@\n' | LC_ALL=C sort)" = "$before" ]
  check "nor the entry" [ "$(entry_value DisplayVersion)" = "$VERSION" ]
  # Running again, it handles the close requests queued meanwhile.
  kill -CONT "$QUILLON_PROGRAM_PID"
  program_wait_exit 30
  STARTED=0
  check "the program then exits with 0 (got $QUILLON_PROGRAM_EXIT)" [ "$QUILLON_PROGRAM_EXIT" = 0 ]

  # A journal --restore-network refuses: the uninstall goes on, says so and exits 6.
  mkdir -p "$(dirname "$JOURNAL")"
  printf 'quillon network journal 1\ndns 6 6.6.6.6 eth0" & calc & "\n' >"$JOURNAL"
  code=$(uninstall)
  check "an uninstall that cannot put the network back exits 6 (got $code)" [ "$code" = 6 ]
  check "and says so" grep -q 'network settings could not be put back' "$WORK/setup.out"
  check "the journal stays in the user's profile" [ -s "$JOURNAL" -o -s "$JOURNAL.rejected" ]
  check "everything else is removed" nothing_installed
}

log_lacks() {  # log_lacks TEXT: the installed program's log exists and has no line TEXT
  [ -s "$INSTALL_DIR/quillon_app.log" ] &&
    ! sed 's/\r$//' "$INSTALL_DIR/quillon_app.log" | grep -q -x -F -- "$1"
}
quietly() { "$@" </dev/null >/dev/null 2>&1; }

case "$CASE" in
  install) case_install ;;
  kill-uninstall) case_kill_uninstall ;;
  upgrade) case_upgrade ;;
  refusals) case_refusals ;;
  *) echo "unknown case $CASE" >&2; exit 2 ;;
esac
[ "$failures" -eq 0 ]
