#!/usr/bin/env bash
# Installs, builds, starts the stand-in SQL Server with the demo data on 127.0.0.1:14333,
# and starts the launcher against it. The server stops when the launcher ends.
# VESK_DEMO_LAUNCHER=windows: the Windows build's Vesk.exe under Wine instead (built into
# build-windows/ if missing, with the SDK from VESK_WINDOWS_SDK, else the cached one, else
# ../shared/windows-sdk/ beside the checkout), upgrading and starting the Windows demo
# main program; its Wine prefix is build/demo-wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
port=14333
data=build/demo-data
rm -rf "$data"
build/bin/vesk-dbserver --port "$port" --data "$data" --database VeskDB --database Voruvidi \
  --login 'VeskLogin:Vesk#2010pw' --script demo/demo.sql > build/demo-server.port &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s build/demo-server.port ] && break; sleep 0.1; done
[ -s build/demo-server.port ] || { echo "the stand-in server did not start" >&2; exit 1; }
echo "stand-in SQL Server listening on 127.0.0.1:$port (login VeskLogin, databases VeskDB and Voruvidi)"
# The demo main client program goes into CopyRight as version 3, in 64 KiB chunks; with
# VESK_DEMO_WINDOWS=1 its Windows counterpart, which the launcher starts through Wine.
launcher=${VESK_DEMO_LAUNCHER:-linux}
program=build/bin/dovadu-demo
if [ "${VESK_DEMO_WINDOWS:-}" = 1 ] || [ "$launcher" = windows ]; then
  program=build/bin/windows-demo-DovaDu.exe
  [ -f "$program" ] || { echo "the Windows demo program needs mingw-w64 (scripts/setup.sh installs it)" >&2; exit 1; }
fi
VESK_PUBLISH_PASSWORD='Vesk#2010pw' build/bin/vesk-publish --server "127.0.0.1,$port" --version 3 \
  --chunk-size 65536 --verify "$program"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  cat >&2 <<MSG
No display: Vesk is a desktop program and needs one to show its login window.
Run it from a desktop session, or give it a virtual display, for example:
    xvfb-run -a -s '-screen 0 1024x768x24' bash scripts/run-demo.sh
MSG
  exit 1
fi
# A fresh program folder each time: no DovaDu.exe, no Version.txt, so the login upgrades.
demo=build/demo-program
rm -rf "$demo"
mkdir -p "$demo"
if [ "$launcher" = windows ]; then
  if [ ! -f build-windows/bin/Vesk.exe ]; then
    cached_sdk=$(ls -d "${XDG_CACHE_HOME:-$HOME/.cache}"/vesk/windows-sdk-*/vesk-windows-sdk 2>/dev/null | head -n1)
    if [ -z "${VESK_WINDOWS_SDK:-}" ] && [ -z "$cached_sdk" ] && [ -f ../shared/windows-sdk/vesk-windows-sdk-1.tar.xz ]; then
      export VESK_WINDOWS_SDK=$PWD/../shared/windows-sdk/vesk-windows-sdk-1.tar.xz
    fi
    bash scripts/build-windows.sh build-windows -DVESK_ODBC_DRIVER=FreeTDS
  fi
  cp build-windows/bin/Vesk.exe build-windows/bin/*.dll "$demo/"
  for d in platforms styles sqldrivers imageformats; do cp -r "build-windows/bin/$d" "$demo/"; done
  wine=${WINE:-/usr/lib/wine/wine64}
  [ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
  export WINEPREFIX=$PWD/build/demo-wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  echo "starting $demo/Vesk.exe under Wine (demo operators: 张三 / 1, admin / Admin2010, 李四 with no password)"
  "$wine" "$demo/Vesk.exe"
  exit
fi
cp build/bin/Vesk build/bin/librasapi32.so "$demo/"
echo "starting $demo/Vesk (demo operators: 张三 / 1, admin / Admin2010, 李四 with no password)"
"$demo/Vesk"
