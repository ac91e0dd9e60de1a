#!/usr/bin/env bash
# Installs, builds and runs every test. Each test starts and stops its own stand-in server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
cd build
# A test that fails is run once more; its first failure stays in the output above.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --repeat until-pass:2
