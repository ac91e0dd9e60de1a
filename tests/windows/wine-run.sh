#!/usr/bin/env bash
# CTest's emulator for the Windows tests: runs one test program under Wine in a fresh
# prefix of its own (removed after), quiet, with a display (DISPLAY as given, else an Xvfb
# of its own: Wine needs one even for Qt's offscreen platform), Qt's libraries and plugins
# from the build's bin folder, and ends whatever the test left running.
# Usage: wine-run.sh BIN_DIR PROGRAM.exe [ARGS...]
set -u
bin=$1
shift
wine=${WINE:-/usr/lib/wine/wine64}
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
wineserver=$(dirname "$(readlink -f "$wine")")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
prefix=$(mktemp -d "${TMPDIR:-/tmp}/vesk-wine.XXXXXX")
xvfb=
finish() {
  WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null
  # Linux tools the test had started through tests/windows/host-tool.sh.
  [ -f "$prefix/host-tools.pids" ] && xargs -r kill 2>/dev/null <"$prefix/host-tools.pids"
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$prefix"
}
trap finish EXIT
# No Mono or Gecko: a prefix without them is made in a few seconds and asks nothing.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
winpath() { local p; p=$(readlink -f "$1"); printf 'Z:%s' "${p//\//\\}"; }
export WINEPATH=$(winpath "$bin") QT_PLUGIN_PATH=$(winpath "$bin")
if [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x1024x24 5>"$prefix/display" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 200); do [ -s "$prefix/display" ] && break; sleep 0.05; done
  [ -s "$prefix/display" ] || { echo "wine-run: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=:$(head -n1 "$prefix/display")
fi
# Qt Test's report does not reach a Unix pipe from Wine: it is written to a file and
# printed once the test has ended.
log=$prefix/test.log
# Wine keeps Qt's variables (QT_*) from Windows programs: cmd sets them again inside.
sets=
while IFS= read -r var; do
  sets+="set $var&& "
done < <(env | grep '^QT_')
program=$(winpath "$1")
shift
# (The command line is one argument without quotes: Wine would escape them for cmd.)
"$wine" cmd /c "$sets$program $* -o $(winpath "$prefix")\\test.log,txt"
rc=$?
[ -f "$log" ] && cat "$log"
exit $rc
