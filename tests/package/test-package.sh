#!/usr/bin/env bash
# The Debian package on this machine, as a site uses it: build it from BUILD_DIR, install
# it, check the program folder, let two operators of the group upgrade DovaDu.exe in turn
# through the installed launcher (under Xvfb with a window manager, keys sent as a person
# types them), check that someone outside the group cannot write there, remove the
# package and check that the site's files stay. Leaves the machine as it found it.
#   tests/package/test-package.sh BUILD_DIR
set -uo pipefail
build=$(cd "${1:?usage: test-package.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
source "$src/tests/package/check.sh"
dir=/opt/vesk
group=vesk

if [ "$(id -u)" != 0 ]; then
  echo "package: skipped: installing a package and adding users needs root"
  echo "0 passed, 0 failed, 1 skipped"
  exit 0
fi
if dpkg-query -W -f='${Status}' vesk 2>/dev/null | grep -q "install ok installed"; then
  echo "package: skipped: a vesk package is installed on this machine; it is not replaced by a test"
  echo "0 passed, 0 failed, 1 skipped"
  exit 0
fi

work=$(mktemp -d /tmp/vesk-package.XXXXXX)
chmod 755 "$work"
pids=()
had_group=$(getent group "$group" >/dev/null && echo yes || echo no)
had_dir=$([ -e "$dir" ] && echo yes || echo no)
users=(vesk-test-op1 vesk-test-op2 vesk-test-outsider)
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  dpkg -P vesk >/dev/null 2>&1
  [ "$had_dir" = no ] && rm -rf "$dir"
  for u in "${users[@]}"; do userdel "$u" 2>/dev/null; done
  [ "$had_group" = no ] && groupdel "$group" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== building the package"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; echo "0 passed, 1 failed"; exit 1; }
deb=$(ls "$build"/vesk_*_*.deb | head -1)
echo "== Debian's checker on $(basename "$deb")"
lintian_clean() { # no error or warning that no override explains
  local out
  out=$(lintian --fail-on error,warning "$deb" 2>/dev/null) || { printf '%s\n' "$out"; return 1; }
  ! printf '%s\n' "$out" | grep -q '^[EW]: '
}
check "lintian reports no error and no warning" lintian_clean
echo "== installing $(basename "$deb")"
check "the package installs" dpkg -i "$deb"
check "the program folder belongs to the group, group-writable, setgid" \
  test "$(stat -c '%G %a' "$dir")" = "$group 2775"
check "the launcher and its remote-access library are in the program folder" \
  test -x "$dir/Vesk" -a -f "$dir/librasapi32.so"
check "vesk-publish is on the PATH" test "$(command -v vesk-publish)" = /usr/bin/vesk-publish
check "man vesk-publish and man vesk-ras work" bash -c \
  'man -P cat vesk-publish 2>/dev/null | grep -q -- --sign && man -P cat vesk-ras 2>/dev/null | grep -q hangup'
check "the licence and the changelog are where Debian keeps them" \
  test -f /usr/share/doc/vesk/copyright -a -f /usr/share/doc/vesk/changelog.gz
check "the menu entry is valid" desktop-file-validate /usr/share/applications/vesk.desktop
check "the icon is where the theme finds it" test -f /usr/share/icons/hicolor/48x48/apps/vesk.png
check "nothing of the demo is installed" bash -c '! dpkg -L vesk | grep -q -e demo -e dovadu -e dbserver'

for u in "${users[@]}"; do
  useradd -M -N -d "$work/$u" -s /bin/sh "$u"
  mkdir -p "$work/$u/config" "$work/$u/run"
  chown -R "$u" "$work/$u"
  chmod 700 "$work/$u/run"
done
usermod -aG "$group" vesk-test-op1
usermod -aG "$group" vesk-test-op2
as() { # as USER COMMAND...: a login of that user, with its own settings
  local u=$1
  shift
  runuser -u "$u" -- env HOME="$work/$u" XDG_CONFIG_HOME="$work/$u/config" XDG_RUNTIME_DIR="$work/$u/run" "$@"
}

check "an operator of the group can create a file in the program folder" \
  as vesk-test-op1 sh -c "echo a > $dir/probe && echo b > $dir/probe.new && mv $dir/probe.new $dir/probe"
check "a file created there belongs to the group" test "$(stat -c %G "$dir/probe" 2>/dev/null)" = "$group"
check "another operator can replace it" as vesk-test-op2 sh -c "echo c > $dir/probe.new && mv $dir/probe.new $dir/probe"
check "someone outside the group cannot write there" as vesk-test-outsider sh -c "! (echo x > $dir/outsider) 2>/dev/null"
rm -f "$dir/probe"

echo "== two operators upgrade DovaDu.exe through the installed launcher"
# The package was built with the demo's site defaults: the stand-in on 127.0.0.1,14333.
mkdir -p "$work/data"
"$build/bin/vesk-dbserver" --port 14333 --data "$work/data" --database VeskDB --database Voruvidi \
  --login 'VeskLogin:Vesk#2010pw' --script "$src/demo/demo.sql" --exit-with-parent >"$work/port" 2>"$work/server.log" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
Xvfb :93 -screen 0 1024x768x24 -nolisten tcp -ac >/dev/null 2>&1 &
pids+=($!)
sleep 1
DISPLAY=:93 openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1

# wait_window NAME: until a window of that name is mapped (a search can fail while
# windows come and go, so it is asked again).
wait_window() {
  for _ in $(seq 60); do
    DISPLAY=:93 xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  return 1
}

# login_and_upgrade USER VERSION: publishes a main program that records its arguments,
# starts the installed launcher as USER, presses Enter at the login and at the notice.
login_and_upgrade() {
  local u=$1 version=$2
  printf '#!/bin/sh\necho "$(id -un) $*" > %s/started\n' "$work" >"$work/main-$version.sh"
  rm -f "$work/started"
  chmod 777 "$work"
  VESK_PUBLISH_PASSWORD='Vesk#2010pw' vesk-publish --server 127.0.0.1,14333 --version "$version" \
    "$work/main-$version.sh" >/dev/null || return 1
  DISPLAY=:93 as "$u" "$dir/Vesk" >"$work/vesk-$u.log" 2>&1 &
  local launcher=$!
  wait_window 'Orvan' || return 1
  sleep 0.5
  DISPLAY=:93 xdotool key Return
  wait_window '提示' || return 1
  sleep 0.3
  DISPLAY=:93 xdotool key Return
  for _ in $(seq 100); do [ -s "$work/started" ] && break; sleep 0.2; done
  wait "$launcher"
}
check "operator 1 logs in and the launcher installs version 5" login_and_upgrade vesk-test-op1 5
check "the main program was started as operator 1 with its name and handle" \
  test "$(cat "$work/started" 2>/dev/null)" = "vesk-test-op1 张三:0"
check "Version.txt says 5" test "$(tr -d '\r\n' <"$dir/Version.txt" 2>/dev/null)" = 5
check "the rebuilt program belongs to the group, which may replace it" \
  test "$(stat -c '%G %A' "$dir/DovaDu.exe" 2>/dev/null)" = "$group -rwxrwxr-x"
check "operator 2 upgrades the program operator 1 installed to version 6" login_and_upgrade vesk-test-op2 6
check "the main program was started as operator 2" test "$(cat "$work/started" 2>/dev/null)" = "vesk-test-op2 张三:0"
check "Version.txt says 6" test "$(tr -d '\r\n' <"$dir/Version.txt" 2>/dev/null)" = 6
check "DovaDu.exe is operator 2's now" test "$(stat -c %U "$dir/DovaDu.exe" 2>/dev/null)" = vesk-test-op2

echo "== upgrading the package over itself"
check "the package installs again over the installed one" dpkg -i "$deb"
check "the site's DovaDu.exe and Version.txt are untouched" \
  test "$(stat -c %U "$dir/DovaDu.exe" 2>/dev/null)" = vesk-test-op2 -a "$(tr -d '\r\n' <"$dir/Version.txt")" = 6
check "the program folder is still the group's" test "$(stat -c '%G %a' "$dir")" = "$group 2775"

echo "== removing the package"
check "the package is removed" dpkg -r vesk
check "the launcher is gone" test ! -e "$dir/Vesk"
check "DovaDu.exe and Version.txt stay: they are the site's" test -f "$dir/DovaDu.exe" -a -f "$dir/Version.txt"
check "the operators' settings stay" test -f "$work/vesk-test-op1/config/registry/HKEY_CURRENT_USER.reg"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
