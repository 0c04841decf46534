# Helpers shared by scripts/test and scripts/run. Source it; it changes nothing by itself.

QUILLON_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages the build, the tests and the demonstration need.
QUILLON_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-utils imagemagick nsis
  squid apache2-utils curl python3 procps iproute2
)

# Installs, without questions, every listed package that is not installed yet.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing missing packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq || return 1
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
}

# Starts a throw-away Wine prefix with a persistent wineserver. The services that Wine starts
# on first use are started here, outside any test's output pipe, so that CTest does not wait
# for them. wine_stop ends the server and removes the prefix.
wine_start() {
  export WINEDEBUG=-all
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/quillon-wine.XXXXXX)
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # Its own session keeps a Ctrl-C at the terminal from ending the server under a running program.
  (setsid wineserver -p >/dev/null 2>&1 </dev/null &)
  timeout 300 wine wineboot -i >/dev/null 2>&1 </dev/null
}

wine_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  unset WINEPREFIX
}

# Starts Xvfb on a free display when there is no display, for the window tests.
xvfb_start() {
  [ -n "${DISPLAY:-}" ] && return 0
  local n
  for n in $(seq 91 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
      QUILLON_XVFB_PID=$!
      export DISPLAY=":$n"
      local i
      for i in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && return 0
        sleep 0.1
      done
      return 0
    fi
  done
}

xvfb_stop() {
  [ -n "${QUILLON_XVFB_PID:-}" ] || return 0
  kill "$QUILLON_XVFB_PID" 2>/dev/null || true
  wait "$QUILLON_XVFB_PID" 2>/dev/null || true
  unset QUILLON_XVFB_PID DISPLAY
}
