#!/usr/bin/env bash
# Installs, builds and runs every test. Each test starts and stops its own stand-in server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2
