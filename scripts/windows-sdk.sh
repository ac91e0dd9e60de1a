#!/usr/bin/env bash
# Cross-builds a Windows x86_64 SDK for the launcher from Debian 12's own source packages
# with Debian's mingw-w64 (posix threads): Qt 6.4.2 (Core, Gui, Widgets, Sql + ODBC plugin,
# Test; windows and offscreen platform plugins), liblzma 5.4.1, OpenSSL 3.0, libdeflate 1.14,
# libdivsufsort 2.0.1 (32- and 64-bit). Same versions as the Linux build's Debian packages.
# Qt needs -DFEATURE_tabletevent=OFF: Debian's source drops src/3rdparty/wintab.
# About 25 minutes on 2 cores, Qt most of it; scripts/build-windows.sh runs it when it is
# given no SDK and has none cached.
# Usage (root): bash scripts/windows-sdk.sh PREFIX [SRC_DIR]   (PREFIX appears when complete)
set -euo pipefail
FINAL=${1:?usage: windows-sdk.sh PREFIX [SRC_DIR]}
SRC=${2:-${XDG_CACHE_HOME:-$HOME/.cache}/vesk/windows-sdk-src}
PREFIX=$FINAL.part
JOBS=${JOBS:-$(nproc)}
HERE=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq g++-mingw-w64-x86-64-posix cmake ninja-build qt6-base-dev qt6-base-dev-tools \
  libz-mingw-w64-dev perl make dpkg-dev >/dev/null
# apt-get source needs a deb-src entry beside the deb one, in either style of sources.
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > /etc/apt/sources.list.d/debian-src.sources
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/debian-src.list
  fi
  apt-get update -qq
fi
rm -rf "$PREFIX"; mkdir -p "$SRC" "$PREFIX"; cd "$SRC"
# Each source as Debian serves it, its patches applied (security fixes among them), in a
# folder of its own. The newest version the index names first; a mirror that does not hold it
# yet gives the one before, so a point release needs no change here.
fetch() { # NAME SOURCE [VERSION] -> the unpacked tree
  local d=$SRC/$1 v
  if [ ! -f "$d/.fetched" ]; then
    for v in ${3:-$(apt-cache showsrc "$2" | sed -n 's/^Version: //p' | sort -rVu)}; do
      rm -rf "$d"; mkdir -p "$d"
      if (cd "$d" && apt-get source -qq "$2=$v" >"$d.log" 2>&1); then touch "$d/.fetched"; break; fi
    done
    [ -f "$d/.fetched" ] || { cat "$d.log" >&2; exit 1; }
  fi
  find "$d" -mindepth 1 -maxdepth 1 -type d | head -n1
}
# Qt's host tools (moc, rcc, uic) are the installed qt6-base-dev's; the target Qt must match.
QT_VERSION=$(dpkg-query -W -f='${Version}' qt6-base-dev)
QT=$(fetch qt qt6-base "$QT_VERSION"); XZ=$(fetch xz xz-utils); OPENSSL=$(fetch openssl openssl)
DEFLATE=$(fetch deflate libdeflate); DIVSUFSORT=$(fetch divsufsort libdivsufsort)
TC=$HERE/cmake/mingw-w64-x86_64.cmake
T0=$(date +%s); step() { echo "=== [$(( $(date +%s) - T0 ))s] $*"; }

step "${QT##*/}"
cmake -S "$QT" -B qt-build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TC" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_dbus=OFF -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF \
  -DFEATURE_sql_sqlite=OFF -DFEATURE_sql_odbc=ON -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_network=OFF -DFEATURE_xml=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_tabletevent=OFF >/dev/null
ninja -C qt-build -j"$JOBS" >/dev/null && ninja -C qt-build install >/dev/null

step "${XZ##*/}"
(cd "$XZ" && ./configure --host=x86_64-w64-mingw32 --prefix="$PREFIX" CC=x86_64-w64-mingw32-gcc-posix \
   --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-scripts --disable-doc --disable-nls \
   --enable-shared --disable-static >/dev/null && make -j"$JOBS" >/dev/null && make install >/dev/null)

step "${OPENSSL##*/}"
(cd "$OPENSSL" && CC=gcc-posix ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$PREFIX" \
   --libdir=lib shared no-tests >/dev/null \
   && make -j"$JOBS" build_libs >/dev/null && make install_dev install_runtime_libs >/dev/null)

step "${DEFLATE##*/}"
(cd "$DEFLATE" && make -j"$JOBS" CC=x86_64-w64-mingw32-gcc-posix libdeflate.dll >/dev/null \
   && install -m644 libdeflate.h "$PREFIX/include/" && install -m755 libdeflate.dll "$PREFIX/bin/" \
   && install -m644 libdeflate.lib "$PREFIX/lib/libdeflate.dll.a")

step "${DIVSUFSORT##*/}"
cmake -S "$DIVSUFSORT" -B divsufsort-build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TC" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_DIVSUFSORT64=ON -DBUILD_EXAMPLES=OFF -DBUILD_SHARED_LIBS=ON >/dev/null
ninja -C divsufsort-build install >/dev/null
find "$PREFIX" -name "*.la" -delete
mv "$PREFIX" "$FINAL"
step "done: $FINAL"
