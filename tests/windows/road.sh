#!/usr/bin/env bash
# The Windows launcher's road under Wine, through its windows as an operator goes it:
# Vesk.exe in a program folder of its own, a fresh prefix, Xvfb with openbox, the host's
# stand-in server and publisher, xdotool for the mouse and keys, vesk-test-typetext.exe for
# Chinese as an input method commits it. One scenario a run:
#   road     two logins of 张三: the first rebuilds DovaDu.exe from the chunks, the second
#            upgrades it by a patch; the key of the main program deleted, the window's
#            settings read back from the registry
#   vpn      the VPN page's button through a recording rasapi32.dll (the handle reaches
#            the main program), then through Wine's own rasapi32
#   running  an upgrade while the old DovaDu.exe runs
#   stop     the stop button in the middle of a large download
# Environment (set by CTest): VESK_BIN (Vesk.exe and its libraries), VESK_HOST_TOOLS (a
# Linux build's bin), VESK_TEST_BIN (the test programs), VESK_RASRECORDER, and the build's
# site defaults VESK_SITE_* (the operator 张三 unless the site named another).
set -euo pipefail
scenario=$1
bin=$VESK_BIN host=$VESK_HOST_TOOLS tests=$VESK_TEST_BIN
operator=$VESK_SITE_OPERATOR db_password=$VESK_SITE_DB_PASSWORD
wine=${WINE:-/usr/lib/wine/wine64}
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
wineserver=$(dirname "$(readlink -f "$wine")")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-road.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
finish() {
  "$wineserver" -k 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
fail() {
  echo "FAIL ($scenario): $*" >&2
  # What was on the screen then.
  for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    echo "  window: $(xdotool getwindowname "$w" 2>/dev/null)" >&2
  done
  [ -n "${VESK_ROAD_SCREENSHOT:-}" ] && import -window root "$VESK_ROAD_SCREENSHOT" 2>/dev/null || true
  exit 1
}
ok() { echo "PASS ($scenario): $*"; }
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

# A display of its own with a window manager, as an operator's desktop has.
Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x1024x24 5>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$work/display")
openbox >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done
"$wine" wineboot -i >/dev/null 2>&1 || fail "the prefix could not be made"

sql_text() { printf "'%s'" "${1//\'/\'\'}"; }
# The stand-in with the site's login and the launcher's default password; the default
# operator with his default password.
start_server() {
  cat >"$work/schema.sql" <<SQL
USE VeskDB
CREATE TABLE aUser (UserID varchar(50) NOT NULL PRIMARY KEY, PassWord varchar(50) NULL, Memo nvarchar(100) NULL);
CREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL);
CREATE TABLE CopyRight (Idcol varchar(10) NOT NULL, ExEPic image NULL);
INSERT INTO aUser (UserID, PassWord) VALUES ($(sql_text "$operator"), $(sql_text "$VESK_SITE_OPERATOR_PASSWORD"));
SQL
  mkdir -p "$work/data"
  "$host/vesk-dbserver" --port 0 --data "$work/data" --database VeskDB --database Voruvidi \
    --login "VeskLogin:$db_password" --script "$work/schema.sql" --log-requests "$work/requests.log" "$@" \
    >"$work/server.port" 2>"$work/server.err" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/server.port" ] && break; sleep 0.05; done
  port=$(head -n1 "$work/server.port")
  [ -n "$port" ] || fail "the stand-in did not start: $(cat "$work/server.err")"
  # Where the operator's workstation has been pointed at the site's server.
  "$wine" reg add 'HKCU\Software\Vesk\TLoginForm' /v ServerName_Text /d "127.0.0.1,$port" /f >/dev/null 2>&1
}
publish() { # FILE VERSION [ARGS...]
  local file=$1 version=$2
  shift 2
  VESK_PUBLISH_PASSWORD=$db_password "$host/vesk-publish" --server "127.0.0.1,$port" --version "$version" \
    "$@" "$file" >"$work/publish.out" 2>&1 || fail "publishing $file failed: $(cat "$work/publish.out")"
}

# The program folder: Vesk.exe with its libraries and Qt's plugins.
prog=$work/Program
mkdir -p "$prog"
cp "$bin/Vesk.exe" "$bin"/*.dll "$prog/"
for d in platforms styles sqldrivers imageformats; do [ -d "$bin/$d" ] && cp -r "$bin/$d" "$prog/"; done
main=$tests/vesk-test-winmainprogram.exe

# The first visible window whose title is exactly TITLE, waited for up to SECONDS.
window() { # TITLE [SECONDS]
  local id
  for _ in $(seq $((${2:-30} * 10))); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
keys() { # WINDOW KEY...: the window brought to the front, then the keys as typed
  local w=$1
  shift
  xdotool windowactivate --sync "$w" >/dev/null 2>&1 || xdotool windowfocus --sync "$w"
  xdotool key --clearmodifiers --delay 50 "$@"
}
# A click at X Y of the window's client area.
click() { # WINDOW X Y
  xdotool windowactivate --sync "$1" >/dev/null 2>&1 || true
  xdotool mousemove --window "$1" "$2" "$3" click 1
}
readonly kLogin='Orvan企业资源管理系统内外销软件' kNotice='【企业资源管理软件】 提示' kProgress='正在升级...'
# What the notice on screen says, copied by Ctrl+C as from any message box, then closed
# with Enter.
notice() {
  local w
  w=$(window "$kNotice" "${1:-60}") || fail "no notice was shown"
  keys "$w" ctrl+c
  "$wine" "$tests/vesk-test-clipboardtext.exe" "$(winpath "$work/clipboard.txt")" >/dev/null 2>&1 \
    || fail "the notice's text did not reach the clipboard"
  keys "$w" Return
  tr -d '\r' <"$work/clipboard.txt"
}
# Starts Vesk.exe from its folder (working directory elsewhere, as a shortcut does).
start_vesk() {
  (cd "$work" && exec "$wine" "$prog/Vesk.exe") >/dev/null 2>&1 &
  vesk=$!
  pids+=($vesk)
  login_window=$(window "$kLogin" 60) || fail "the login window did not appear"
  # Keys sent before the window has its focus are lost, as they would be on Windows.
  xdotool windowactivate --sync "$login_window" >/dev/null 2>&1 || true
  for _ in $(seq 100); do [ "$(xdotool getwindowfocus 2>/dev/null)" = "$login_window" ] && break; sleep 0.1; done
  sleep 0.5
}
# The launcher's end, waited for up to SECONDS; its exit status.
vesk_end() {
  for _ in $(seq $((${1:-30} * 10))); do kill -0 "$vesk" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$vesk" 2>/dev/null && fail "Vesk.exe did not end"
  wait "$vesk" || return $?
}
# The main program's record of its start: its command line's words after the program.
started() {
  for _ in $(seq 300); do [ -f "$prog/started.txt" ] && break; sleep 0.1; done
  [ -f "$prog/started.txt" ] || fail "DovaDu.exe was not started"
  tr -d '\r' <"$prog/started.txt"
}
settings() { # the registry read back by the Win32 API
  "$wine" "$tests/vesk-test-readsettings.exe" "$(winpath "$work/settings.txt")" 'Software\Vesk\TLoginForm' \
    'Software\Vesk\TLoginForm.ComboBoxCzy_Items' >/dev/null 2>&1 || fail "the settings could not be read back"
  tr -d '\r' <"$work/settings.txt"
}
make_dovadu_key() {
  "$wine" "$main" --make-settings >/dev/null 2>&1 || fail "the main program's key could not be made"
}
# A second release of the main program: the same program with a tail of data, as a
# release that grows; it still runs.
release() { # OUT SEED KIB
  { cat "$main"; head -c $(($3 * 1024)) <(openssl enc -aes-128-ctr -pass "pass:$2" -nosalt </dev/zero 2>/dev/null); } >"$1"
}

case $scenario in
road)
  start_server
  publish "$main" 1 --chunk-size 65536
  make_dovadu_key
  start_vesk
  # The operator's name typed anew into the emptied box, as an input method commits it
  # (xdotool lends each character outside the keyboard's map a spare key code, and Wine 8
  # keeps the first character it saw on that code: 张三 would arrive as 张张).
  click "$login_window" 200 123 # the operator's box
  keys "$login_window" ctrl+a BackSpace
  "$wine" "$tests/vesk-test-typetext.exe" "$operator" >/dev/null 2>&1 || fail "the operator's name could not be typed"
  keys "$login_window" Return
  text=$(notice)
  grep -qx '软件升级成功！' <<<"$text" || fail "the notice said: $text"
  record=$(started)
  grep -qxF "$operator:0" <<<"$record" || fail "DovaDu.exe's command line: $record"
  grep -qx 'settings key absent' <<<"$record" || fail "the main program's key was not deleted: $record"
  vesk_end || fail "Vesk.exe ended with $?"
  cmp -s "$main" "$prog/DovaDu.exe" || fail "the rebuilt DovaDu.exe differs from the published one"
  [ "$(od -An -c "$prog/Version.txt" | tr -s ' ')" = " 1 \r \n" ] || fail "Version.txt: $(od -c "$prog/Version.txt")"
  grep -q 'CopyRight' "$work/requests.log" || fail "no chunk was read"
  ok "the first login rebuilt DovaDu.exe from the chunks and started it with $operator:0"

  s=$(settings)
  for v in '^NormPos=-?[0-9]+,-?[0-9]+,[0-9]+,[0-9]+$' '^ShowCmd=[0-9]+$' "^ComboBoxCzy_Text=$operator\$" '^Count=1$' "^Item0=$operator\$"; do
    grep -Eq "$v" <<<"$s" || fail "the stored settings lack $v: $s"
  done
  ok "the window's settings read back from HKCU\\Software\\Vesk"

  release "$work/v2.exe" two 16
  publish "$work/v2.exe" 2 --chunk-size 65536
  grep -q 'no patch' "$work/publish.out" && fail "the publisher made no patch: $(cat "$work/publish.out")"
  : >"$work/requests.log"
  rm -f "$prog/started.txt"
  make_dovadu_key
  start_vesk
  keys "$login_window" Return # the operator restored from the registry
  text=$(notice)
  grep -qx '软件升级成功！' <<<"$text" || fail "the second notice said: $text"
  record=$(started)
  grep -qxF "$operator:0" <<<"$record" && grep -qx 'settings key absent' <<<"$record" || fail "second start: $record"
  vesk_end || fail "Vesk.exe ended with $?"
  cmp -s "$work/v2.exe" "$prog/DovaDu.exe" || fail "the patched DovaDu.exe differs from the published one"
  grep -q 'BPatchPart' "$work/requests.log" || fail "no patch part was read"
  grep -q 'CopyRight' "$work/requests.log" && fail "chunks were read although a patch led there"
  ok "the second login upgraded by the patch (BPatchPart read, no CopyRight)"
  ;;

vpn)
  start_server
  publish "$main" 1 --chunk-size 65536
  # A click into the operator field (the focus is restored from the last run), then on
  # to the tab strip, the VPN page, and its button by its mnemonic (the database page's
  # button, with the same one, is hidden then).
  to_vpn_button=(Tab Tab Tab Tab Right alt+t)
  cp "$VESK_RASRECORDER" "$prog/rasapi32.dll"
  export VESK_RAS_LOG=$work/ras.log VESK_RAS_HANDLE=3000000042 WINEDLLOVERRIDES="$WINEDLLOVERRIDES;rasapi32=n"
  start_vesk
  click "$login_window" 150 105
  keys "$login_window" "${to_vpn_button[@]}"
  text=$(notice)
  grep -qx 'VPN连接成功' <<<"$text" || fail "the dial's notice said: $text"
  expected=$(cat <<RAS
RasEnumEntriesA reserved=null phonebook=null dwSize=264 cb=26400
RasHangUpA 0
RasDeleteEntryA phonebook=null entry="VUDAZEZ"
RasSetEntryPropertiesA phonebook=null entry="VUDAZEZ" cb=1768 options=0x3940 phone="$VESK_SITE_VPN_HOST" frame=1 framing=0 type="VPN" device="RAS VPN Line 0" deviceInfo=null/0
RasDialA extensions=null phonebook=null entry="VUDAZEZ" phone="" callback="" user="$VESK_SITE_VPN_USER" password="$VESK_SITE_VPN_PASSWORD" domain="" notifierType=0 notifier=null
RAS
)
  [ "$(cat "$work/ras.log")" = "$expected" ] || fail "the service was asked: $(cat "$work/ras.log")"
  ok "the VPN page created VUDAZEZ with the site's host and account and dialled it"
  keys "$login_window" alt+o
  upgraded=$(notice)
  grep -qx '软件升级成功！' <<<"$upgraded" || fail "the login's notice said: $upgraded"
  record=$(started)
  # The handle's top bit set: a negative number, as a 32-bit signed one.
  grep -qxF "$operator:-1294967254" <<<"$record" || fail "DovaDu.exe's command line: $record"
  vesk_end || fail "Vesk.exe ended with $?"
  ok "the dialled handle reached the main program ($operator:-1294967254)"

  # Wine's own remote-access service: it dials nothing.
  rm "$prog/rasapi32.dll"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  start_vesk
  click "$login_window" 150 105
  keys "$login_window" "${to_vpn_button[@]}"
  text=$(notice)
  grep -qx 'VPN连接失败' <<<"$text" || fail "Wine's rasapi32 gave the notice: $text"
  ok "Wine's own rasapi32: VPN连接失败"
  ;;

running)
  start_server
  publish "$main" 1 --chunk-size 65536
  login_upgrades() { # the next login, and what it must leave
    rm -f "$prog/started.txt"
    start_vesk
    keys "$login_window" Return
    text=$(notice)
    grep -qx '软件升级成功！' <<<"$text" || fail "the notice said: $text"
    started >/dev/null
    vesk_end || fail "Vesk.exe ended with $?"
    rm -f "$prog/started.txt"
  }
  login_upgrades
  ls "$prog" >"$work/files.before"
  # The operator's open main program, from the program folder.
  (cd "$prog" && exec "$wine" "$prog/DovaDu.exe" --hold "$(winpath "$work/release")") >/dev/null 2>&1 &
  old=$!
  pids+=($old)
  sleep 2
  kill -0 "$old" 2>/dev/null || fail "the old DovaDu.exe did not stay running"
  release "$work/v2.exe" two 256
  publish "$work/v2.exe" 2 --chunk-size 65536 --no-patch
  login_upgrades
  cmp -s "$work/v2.exe" "$prog/DovaDu.exe" || fail "the new DovaDu.exe is not in place"
  kill -0 "$old" 2>/dev/null || fail "the running DovaDu.exe was ended by the upgrade"
  ok "upgraded while the old DovaDu.exe ran; it runs on (beside it: $(ls "$prog" | grep -vxF -f "$work/files.before" | tr '\n' ' '))"
  touch "$work/release"
  wait "$old" || fail "the old DovaDu.exe ended with $?"
  release "$work/v3.exe" three 256
  publish "$work/v3.exe" 3 --chunk-size 65536 --no-patch
  login_upgrades
  cmp -s "$work/v3.exe" "$prog/DovaDu.exe" || fail "the third DovaDu.exe is not in place"
  left=$(ls "$prog" | grep -vxF -f "$work/files.before" || true)
  [ -z "$left" ] || fail "what was moved aside is still there: $left"
  ok "the next upgrade cleared what was moved aside"
  ;;

stop)
  # 4 MB a second and 20 ms before each answer: a 32 MiB program takes some seconds.
  rate=4000000 chunk=262144
  start_server --delay 20 --rate "$rate"
  publish "$main" 1 --chunk-size 65536
  start_vesk
  keys "$login_window" Return
  notice >/dev/null
  started >/dev/null
  vesk_end || fail "Vesk.exe ended with $?"
  rm -f "$prog/started.txt"
  cp "$prog/DovaDu.exe" "$work/old.exe"
  ls -a "$prog" >"$work/files.before"
  release "$work/big.exe" big $((32 * 1024))
  publish "$work/big.exe" 2 --chunk-size "$chunk" --level 1
  start_vesk
  keys "$login_window" Return
  progress=$(window "$kProgress" 30) || fail "the progress window did not appear"
  sleep 3
  click "$progress" 420 125 # 停止升级
  pressed=$(date +%s.%N)
  for _ in $(seq 3000); do kill -0 "$vesk" 2>/dev/null || break; sleep 0.01; done
  ended=$(date +%s.%N)
  vesk_end 1 || true
  took=$(awk -v a="$pressed" -v b="$ended" 'BEGIN { printf "%.3f", b - a }')
  # As on Linux: a chunk's transfer and 0.3 s; Wine's process end and the key's way in
  # come on top and are measured apart below.
  bound=$(awk -v c="$chunk" -v r="$rate" 'BEGIN { printf "%.3f", c / r + 0.3 }')
  cmp -s "$work/old.exe" "$prog/DovaDu.exe" || fail "the old DovaDu.exe was not kept"
  [ "$(ls -a "$prog")" = "$(cat "$work/files.before")" ] || fail "files left: $(ls -a "$prog" | grep -vxF -f "$work/files.before")"
  [ -f "$prog/started.txt" ] && fail "a program was started after the stop"
  window "$kNotice" 1 >/dev/null && fail "a notice followed the stop"
  echo "stop to the launcher's end: ${took} s (bound ${bound} s)"
  awk -v t="$took" -v b="$bound" 'BEGIN { exit !(t <= b) }' || fail "the launcher took ${took} s to end after the stop"
  ok "the stop kept the old DovaDu.exe, left no file, ended the launcher in ${took} s"
  ;;
*)
  fail "no such scenario"
  ;;
esac
