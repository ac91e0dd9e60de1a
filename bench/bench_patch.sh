#!/usr/bin/env bash
# The patch codec on two real pairs of consecutive releases from the Debian archive (a
# security update of a 66 MiB library and of a 1.7 MB one, rebuilt and relinked by their
# distributor as a site's own release of its main program is). For each pair it prints the
# full download at zlib 9, the patch of Debian's bsdiff 4.3, ours and its ratio to bsdiff,
# zstd 19 with the old program as its reference prefix, the time to make our patch, the
# time to apply it and hash the result, and the peak memory of applying against
# 2 x program + 64 MiB.
#   bash bench/bench_patch.sh [BUILD_DIR]
# The packages are fetched once with apt-get download into BUILD_DIR/patch-pairs.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
bench=$build/bench/bench_patch
cache=$build/patch-pairs
mkdir -p "$cache"
command -v bsdiff >/dev/null || { echo "bench_patch: bsdiff is not installed (scripts/setup.sh)"; exit 1; }

# name  package  old version  new version  file inside the package
pairs=(
  "libmergedlo libreoffice-core 4:7.4.7-1+deb12u13 4:7.4.7-1+deb12u14 usr/lib/libreoffice/program/libmergedlo.so"
  "libxml2 libxml2 2.9.14+dfsg-1.3~deb12u4 2.9.14+dfsg-1.3~deb12u6 usr/lib/x86_64-linux-gnu/libxml2.so.2.9.14"
)

field() { sed -nE "s/.*\b$1=([0-9]+).*/\1/p" <<<"$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

unpack() { # package version -> folder
  local dir=$cache/$1_${2//:/%3a}
  if [ ! -d "$dir" ]; then
    [ -f "$cache/$1_${2//:/%3a}_amd64.deb" ] || (cd "$cache" && apt-get download "$1=$2" >/dev/null 2>&1) || return 1
    dpkg-deb -x "$cache/$1_${2//:/%3a}_amd64.deb" "$dir"
  fi
  echo "$dir"
}

printf '%s: %s cores, %s\n' "$(date -u +%F)" "$(nproc)" "$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
for pair in "${pairs[@]}"; do
  read -r name package from to file <<<"$pair"
  if ! old_dir=$(unpack "$package" "$from") || ! new_dir=$(unpack "$package" "$to"); then
    echo "$name: skipped: $package $from or $to is no longer in the archive"
    continue
  fi
  old=$old_dir/$file new=$new_dir/$file
  bytes=$(stat -c %s "$new")
  zlib=$(field zlib9_bytes "$("$bench" zlib "$new")")
  [ -s "$cache/$name.bsdiff" ] || bsdiff "$old" "$new" "$cache/$name.bsdiff"
  bsd=$(stat -c %s "$cache/$name.bsdiff")
  made=$("$bench" make "$old" "$new" "$cache/$name.patch")
  applied=$("$bench" apply "$old" "$cache/$name.patch" "$new")
  zstd=$("$bench" zstd "$old" "$new")
  ours=$(field patch_bytes "$made")
  peak=$(field apply_peak_kib "$applied")
  bound=$(( (2 * bytes + 64 * 1048576) / 1024 ))
  echo "$name: $bytes bytes, zlib 9 $zlib"
  echo "  bsdiff 4.3 $bsd; ours $ours, $(ratio "$ours" "$bsd") of bsdiff (target 0.9)," \
       "$(ratio "$ours" "$zlib") of the full download"
  echo "  zstd 19 reference mode $(field zstd_bytes "$zstd"), $(ratio "$(field zstd_bytes "$zstd")" "$bsd") of bsdiff"
  echo "  make $(field make_ms "$made") ms ($(field progress_calls "$made") progress calls, none for $(field longest_silence_ms "$made") ms at most; peak $(field make_peak_kib "$made") KiB);" \
       "apply and SHA-256 $(field apply_ms "$applied") ms (identical: $(field identical "$applied"))"
  echo "  apply peak $peak KiB, $(ratio "$peak" "$bound") of 2 x program + 64 MiB"
done
