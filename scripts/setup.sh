#!/usr/bin/env bash
# Installs what Vesk needs to build, run and test on Debian 12. Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake
  qt6-base-dev libqt6sql6-odbc          # Qt Widgets, Sql (its ODBC driver), Test; Gui ships the JPEG plugin
  unixodbc unixodbc-dev odbcinst tdsodbc freetds-bin  # the SQL Server client: FreeTDS over unixODBC, and tsql
  libsqlite3-dev zlib1g-dev              # the stand-in's storage; inflating chunks
  fonts-wqy-microhei                     # a CJK font for the Chinese texts
  xvfb xauth x11-utils                   # a virtual display for the demo and screenshots
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The connection strings name the driver FreeTDS: make sure unixODBC knows it.
if ! odbcinst -q -d -n FreeTDS >/dev/null 2>&1; then
  lib=$(find /usr/lib -name libtdsodbc.so -print -quit)
  [ -n "$lib" ] || { echo "setup: libtdsodbc.so not found" >&2; exit 1; }
  printf '[FreeTDS]\nDescription=FreeTDS ODBC driver\nDriver=%s\n' "$lib" > /tmp/vesk-freetds.ini
  odbcinst -i -d -f /tmp/vesk-freetds.ini
  rm -f /tmp/vesk-freetds.ini
fi
