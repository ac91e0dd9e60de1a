#!/usr/bin/env bash
# Cross-builds Vesk for x86_64 Windows with Debian's mingw-w64 into BUILD_DIR (default
# build-windows/): Vesk.exe and vesk-publish.exe in BUILD_DIR/bin with the libraries they
# need beside them. Extra arguments go to cmake, as for the Linux build
# (-DVESK_SERVER_NAME=..., -DVESK_RELEASE_KEYS=..., -DVESK_ODBC_DRIVER=...).
# The SDK (Qt and the other libraries, cross-built): VESK_WINDOWS_SDK, a folder or the
# tarball, unpacked once into a cache outside the checkout; without it, the cached one or
# scripts/windows-sdk.sh, which builds it from Debian's source packages.
# With -DVESK_HOST_TOOLS=<a Linux build's bin> the tests are built too, to run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-windows
if [ $# -gt 0 ] && [[ $1 != -* ]]; then
  build=$1
  shift
fi
export DEBIAN_FRONTEND=noninteractive

packages=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev qt6-base-dev-tools cmake ninja-build ccache icoutils
          wine64 xvfb xz-utils wixl msitools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get -o DPkg::Lock::Timeout=600 update
  apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
fi

cache=${XDG_CACHE_HOME:-$HOME/.cache}/vesk
sdk_from() { # a folder holding vesk-windows-sdk/ or being it, or the tarball
  local given=$1
  if [ -f "$given" ]; then
    local sha dir
    sha=$(sha256sum "$given" | cut -c1-12)
    dir=$cache/windows-sdk-$sha
    if [ ! -d "$dir/vesk-windows-sdk" ]; then
      mkdir -p "$dir.part"
      tar -xf "$given" -C "$dir.part"
      mv "$dir.part" "$dir"
    fi
    echo "$dir/vesk-windows-sdk"
  elif [ -d "$given/vesk-windows-sdk" ]; then
    echo "$given/vesk-windows-sdk"
  elif [ -f "$given/lib/cmake/Qt6/Qt6Config.cmake" ]; then
    echo "$given"
  else
    local tarball
    tarball=$(ls "$given"/vesk-windows-sdk-*.tar.xz 2>/dev/null | sort | tail -n1)
    [ -n "$tarball" ] || { echo "build-windows: no SDK in $given" >&2; exit 1; }
    sdk_from "$tarball"
  fi
}
if [ -n "${VESK_WINDOWS_SDK:-}" ]; then
  sdk=$(sdk_from "$VESK_WINDOWS_SDK")
else
  sdk=$(ls -d "$cache"/windows-sdk-*/vesk-windows-sdk "$cache"/windows-sdk-built 2>/dev/null | head -n1 || true)
  if [ -z "$sdk" ]; then
    bash scripts/windows-sdk.sh "$cache/windows-sdk-built"
    sdk=$cache/windows-sdk-built
  fi
fi

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$PWD")}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$sdk" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"

if [ -f packaging/windows/make-msi.sh ]; then
  bash packaging/windows/make-msi.sh "$build"
fi
