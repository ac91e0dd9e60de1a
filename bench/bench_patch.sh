#!/usr/bin/env bash
# The patch codec on two real pairs of consecutive releases from the Debian archive (a
# security update of a 66 MiB library and of a 1.7 MB one, rebuilt and relinked by their
# distributor as a site's own release of its main program is). For each pair it prints the
# full download at zlib 9, the patch of Debian's bsdiff 4.3, ours and its ratio to bsdiff,
# zstd 19 with the old program as its reference prefix, the time to make our patch, the
# time to apply it and hash the result, and the peak memory of applying against
# 2 x program + 64 MiB; the time to make our patch beside bsdiff's, each the wall time of
# its own process on the same pair; and the publisher's first look at the pair (the share
# of the new program the old one holds, its time, and whether the patch is then made).
# Last, an unrelated pair (two 32 MiB programs of random bytes) published one after the
# other through vesk-publish and the stand-in, with patches and with --no-patch: the
# ratio of the two times, the fastest of three each (target 1.2 at most).
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
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

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
  start=$(now_ms)
  bsdiff "$old" "$new" "$cache/$name.bsdiff"
  bsdiff_ms=$(( $(now_ms) - start ))
  bsd=$(stat -c %s "$cache/$name.bsdiff")
  start=$(now_ms)
  made=$("$bench" make "$old" "$new" "$cache/$name.patch")
  make_wall_ms=$(( $(now_ms) - start ))
  look=$("$bench" share "$old" "$new")
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
  echo "  time to make, the whole process: ours $make_wall_ms ms, bsdiff 4.3 $bsdiff_ms ms," \
       "$(ratio "$make_wall_ms" "$bsdiff_ms") of bsdiff"
  echo "  first look: the old program holds $(field share_permille "$look") per mille of the new," \
       "found in $(field share_ms "$look") ms; patch made: $(field diffed "$look")"
done

# The unrelated pair through the publisher: the first look must spare it the diff.
bin=$build/bin
work=$(mktemp -d)
server_pid=
cleanup() { [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/data"
"$bin/vesk-dbserver" --port 0 --data "$work/data" --database VeskDB --login VeskLogin:bench > "$work/server.out" &
server_pid=$!
for _ in $(seq 50); do [ -s "$work/server.out" ] && break; sleep 0.1; done
port=$(grep -o '[0-9]\+' "$work/server.out" | head -1)
head -c $((32 << 20)) /dev/urandom > "$work/a.exe"
head -c $((32 << 20)) /dev/urandom > "$work/b.exe"
publish() { VESK_PUBLISH_PASSWORD=bench "$bin/vesk-publish" --server "127.0.0.1,$port" --create "$@" > "$work/last.out"; }
# Three rounds, each time from a publish of a; the fastest of each kind counts, as the
# machine is shared.
plain_ms= patched_ms=
for round in 1 2 3; do
  publish --version 1 --no-patch "$work/a.exe"
  start=$(now_ms); publish --version 2 --no-patch "$work/b.exe"; t=$(( $(now_ms) - start ))
  [ -n "$plain_ms" ] && [ "$plain_ms" -le "$t" ] || plain_ms=$t
  publish --version 1 --no-patch "$work/a.exe"
  start=$(now_ms); publish --version 2 "$work/b.exe"; t=$(( $(now_ms) - start ))
  [ -n "$patched_ms" ] && [ "$patched_ms" -le "$t" ] || patched_ms=$t
done
echo "unrelated pair, 32 MiB of random bytes each: publish with patches $patched_ms ms, with --no-patch" \
     "$plain_ms ms, ratio $(ratio "$patched_ms" "$plain_ms") (target 1.2 at most)"
echo "  $(tail -1 "$work/last.out")"
