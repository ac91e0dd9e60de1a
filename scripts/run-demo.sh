#!/usr/bin/env bash
# Installs, builds, starts the stand-in SQL Server with the demo data on 127.0.0.1:14333,
# and starts the launcher against it. The server stops when the launcher ends.
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
program=build/bin/dovadu-demo
if [ "${VESK_DEMO_WINDOWS:-}" = 1 ]; then
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
cp build/bin/Vesk build/bin/librasapi32.so "$demo/"
echo "starting $demo/Vesk (demo operators: 张三 / 1, admin / Admin2010, 李四 with no password)"
"$demo/Vesk"
