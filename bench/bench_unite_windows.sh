#!/usr/bin/env bash
# bench_unite of both builds in the same run: the Linux one, then the Windows one under
# Wine (tests/windows/wine-run.sh: a fresh prefix and a display of its own), both against
# the host's stand-in on loopback. Prints each one's reassembly against its own floor side
# by side at 0, 5 and 20 ms, and the Windows/Linux ratio of those ratios (target <= 1.3).
#   bash bench/bench_unite_windows.sh LINUX_BUILD WINDOWS_BUILD
# WINDOWS_BUILD is one made with -DVESK_HOST_TOOLS=LINUX_BUILD/bin.
set -euo pipefail
linux=$(cd "${1:?LINUX_BUILD}" && pwd)
windows=$(cd "${2:?WINDOWS_BUILD}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
[ -x "$linux/bench/bench_unite" ] || { echo "no $linux/bench/bench_unite" >&2; exit 1; }
[ -f "$windows/bench/bench_unite.exe" ] || { echo "no $windows/bench/bench_unite.exe" >&2; exit 1; }
"$linux/bench/bench_unite" >"$out/linux.txt"
bash "$here/tests/windows/wine-run.sh" "$windows/bin" "$windows/bench/bench_unite.exe" | tr -d '\r' >"$out/windows.txt"
echo "== Linux"; cat "$out/linux.txt"
echo "== Windows under Wine"; cat "$out/windows.txt"
echo
printf '%-6s %12s %12s %16s %16s %14s\n' delay "Linux s" "Windows s" "Linux / floor" "Windows / floor" "Windows/Linux"
# A row: delay "ms" reassembly "s" trips stream "s" floor "s" ratio [target]
rows() { awk '$2 == "ms" && $1 ~ /^[0-9]+$/ { print $1, $3, $10 }' "$1"; }
join <(rows "$out/linux.txt") <(rows "$out/windows.txt") |
  awk '{ printf "%3d ms %11.3f %12.3f %16.3f %16.3f %14.3f\n", $1, $2, $4, $3, $5, $5 / $3 }'
echo "target: Windows/Linux <= 1.3 at each delay"
