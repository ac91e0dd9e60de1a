#!/usr/bin/env bash
# Installs, builds and runs every test: the suite in build/, the Windows build's portable
# tests under Wine in build-windows/, the Debian package built,
# installed, used by two operators and removed, the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/, and each fuzz target for
# a bounded time. Each test starts and stops its own stand-in server. A test runs once:
# a failure, or a sanitizer's finding, fails the run.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
jobs=$(nproc)
failed=()

bash scripts/build.sh || exit 1
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs") || failed+=("suite")

echo "== the Windows build under Wine"
windows_start=$(date +%s)
# The SDK: VESK_WINDOWS_SDK, else the cached one, else the shared tarball beside the
# checkout, else build-windows.sh builds it from Debian's sources.
cached_sdk=$(ls -d "${XDG_CACHE_HOME:-$HOME/.cache}"/vesk/windows-sdk-*/vesk-windows-sdk 2>/dev/null | head -n1)
if [ -z "${VESK_WINDOWS_SDK:-}" ] && [ -z "$cached_sdk" ] && [ -f ../shared/windows-sdk/vesk-windows-sdk-1.tar.xz ]; then
  export VESK_WINDOWS_SDK=$PWD/../shared/windows-sdk/vesk-windows-sdk-1.tar.xz
fi
if bash scripts/build-windows.sh build-windows -DVESK_ODBC_DRIVER=FreeTDS -DVESK_HOST_TOOLS="$PWD/build/bin"; then
  (cd build-windows && ctest --output-on-failure -j"$jobs") || failed+=("windows")
  bash tests/package/test-msi.sh build-windows || failed+=("windows installer")
else
  failed+=("windows build")
fi
echo "== the Windows stage took $(( $(date +%s) - windows_start )) s"

echo "== the Debian package, installed and used on this machine"
bash tests/package/test-package.sh build || failed+=("package")

echo "== the suite under AddressSanitizer and UndefinedBehaviorSanitizer"
if cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_SANITIZE=ON >/dev/null \
   && cmake --build build-asan -j"$jobs"; then
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1 \
     LSAN_OPTIONS=suppressions="$PWD/../tests/lsan.supp":print_suppressions=0 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs") || failed+=("sanitizers")
else
  failed+=("sanitizer build")
fi

echo "== fuzzing, ${VESK_FUZZ_SECONDS:-30} s a target"
bash scripts/run-fuzz.sh "${VESK_FUZZ_SECONDS:-30}" || failed+=("fuzzing")

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all stages passed: suite, Windows under Wine, package, sanitizers, fuzzing"
