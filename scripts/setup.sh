#!/usr/bin/env bash
# Installs what Vesk needs to build, run and test on Debian 12. Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake
  qt6-base-dev libqt6sql6-odbc          # Qt Widgets, Sql (its ODBC driver), Test; Gui ships the JPEG plugin
  unixodbc unixodbc-dev odbcinst tdsodbc freetds-bin  # the SQL Server client: FreeTDS over unixODBC, and tsql
  libsqlite3-dev zlib1g-dev              # the stand-in's storage; inflating chunks
  libssl-dev                             # SHA-256 and Ed25519 of published programs (libcrypto); TLS of the stand-in and the encryption check (libssl)
  libdeflate-dev                         # the publisher's tightest zlib-format encoder
  libfontconfig-dev                      # the launcher reads the font configuration while Qt starts
  fonts-arphic-uming fonts-wqy-microhei  # CJK fonts: the Ming face the window is laid out for, a fallback
  xvfb xauth x11-utils openbox           # a virtual display and a window manager: demo, screenshots, placement test
  clang libclang-rt-14-dev               # libFuzzer for the fuzz targets
  dpkg-dev desktop-file-utils xdotool    # the package: its dependencies, its menu entry, typing into it
  lintian help2man man-db                # Debian's checker of the package; manual pages from --help, and man
  network-manager network-manager-openvpn network-manager-pptp  # a real NetworkManager for the VPN tests,
  openvpn dbus iproute2 openssl          # its bus, an OpenVPN server and its certificate, in namespaces; the encryption test's certificates
  wine64 g++-mingw-w64-x86-64-posix     # a Windows main program: Wine starts it; mingw-w64 builds the tests' one
  wixl msitools icoutils                 # the Windows installer: built, finished with its own tables, its icon
  libxcb1-dev                            # a window that starts minimised tells X so; the start benchmark watches the display
  libdivsufsort-dev                      # the publisher's patch: suffix sorting of the old program
  liblzma-dev                            # the patch's streams: LZMA2, in the publisher and the launcher
  libzstd-dev                            # the patch benchmark: zstd's reference mode beside ours
  bsdiff                                 # the patch benchmark's baseline, Debian's bsdiff 4.3
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# A fresh machine often runs its own package updates at first boot: wait for the package
# manager's locks instead of failing at once (dpkg's lock through apt's own timeout; the
# package lists' lock, which that timeout does not cover, by trying again).
apt_get() {
  local log rc
  log=$(mktemp)
  for _ in $(seq 60); do
    apt-get -o DPkg::Lock::Timeout=600 "$@" 2> >(tee "$log" >&2)
    rc=$?
    wait
    if [ $rc -eq 0 ] || ! grep -q -E "Could not get lock|Unable to lock" "$log"; then
      rm -f "$log"
      return $rc
    fi
    echo "setup: the package manager is busy; waiting" >&2
    sleep 10
  done
  rm -f "$log"
  return 1
}

if [ ${#missing[@]} -gt 0 ]; then
  apt_get update
  apt_get install -y --no-install-recommends "${missing[@]}"
fi

# The connection strings name the driver FreeTDS: make sure unixODBC knows it.
if ! odbcinst -q -d -n FreeTDS >/dev/null 2>&1; then
  lib=$(find /usr/lib -name libtdsodbc.so -print -quit)
  [ -n "$lib" ] || { echo "setup: libtdsodbc.so not found" >&2; exit 1; }
  printf '[FreeTDS]\nDescription=FreeTDS ODBC driver\nDriver=%s\n' "$lib" > /tmp/vesk-freetds.ini
  odbcinst -i -d -f /tmp/vesk-freetds.ini
  rm -f /tmp/vesk-freetds.ini
fi
