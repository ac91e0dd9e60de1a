#!/usr/bin/env bash
# The reassembly over a link of VPN size: the stand-in in one network namespace, the
# launcher's reassembly in another, joined by a veth pair whose server side is limited with
# TBF, the stand-in adding 20 ms before each answer for the round trip. For 10 and 2 Mbit/s
# it prints the reassembly's time, its floor (the stored bytes at the link's rate, the
# login and one delay a request), their ratio, the peak memory, and the time from a stop
# to the end of the download; then the stored bytes of the publisher's encoder over zlib's
# level 9, and the time of a default publish of a 64 MiB program. Then the patch road on the
# release pairs that bench/bench_patch.sh fetched: from the connection's open to the end
# of the reassembly (the success notice follows), by patch and in full, against
# 1.10 x (patch bytes / bandwidth) + 1 s, with the peak memory against 2 x program + 64 MiB,
# and the time of publishing the large release with its patch.
#   bash bench/bench_link.sh [BUILD_DIR]     (as root: it makes and removes the namespaces)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
if [ "$(id -u)" -ne 0 ] || ! ip netns list >/dev/null 2>&1; then
  echo "bench_link: skipped: making network namespaces needs root"
  exit 0
fi
bin=$build/bin
client=$build/bench/bench_link_client
work=$(mktemp -d)
srv=vesk-bench-srv-$$ cli=vesk-bench-cli-$$
login=VeskLogin password='bench-pw'
cleanup() {
  [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  ip netns del "$srv" 2>/dev/null || true
  ip netns del "$cli" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# Addresses of the documentation range, which exist only inside these two namespaces.
ip netns add "$srv"
ip netns add "$cli"
ip link add vb-srv-$$ netns "$srv" type veth peer name vb-cli-$$ netns "$cli"
ip -n "$srv" addr add 192.0.2.1/30 dev vb-srv-$$
ip -n "$cli" addr add 192.0.2.2/30 dev vb-cli-$$
for ns in "$srv" "$cli"; do ip -n "$ns" link set lo up; done
ip -n "$srv" link set vb-srv-$$ up
ip -n "$cli" link set vb-cli-$$ up

mkdir -p "$work/data"
printf 'USE VeskDB\nCREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL);\nCREATE TABLE CopyRight (Idcol varchar(10) NOT NULL, ExEPic image NULL);\n' > "$work/schema.sql"
ip netns exec "$srv" "$bin/vesk-dbserver" --address 192.0.2.1 --port 14333 --data "$work/data" --database VeskDB \
  --login "$login:$password" --script "$work/schema.sql" --delay 20 > "$work/server.out" &
server_pid=$!
for _ in $(seq 50); do [ -s "$work/server.out" ] && break; sleep 0.1; done
server=192.0.2.1,14333

# An 8 MiB program of random bytes, 32 chunks: what a VPN carries cannot shrink it.
head -c $((8 * 1024 * 1024)) /dev/urandom > "$work/DovaDu.exe"
export VESK_PUBLISH_PASSWORD=$password VESK_BENCH_LOGIN=$login VESK_BENCH_PASSWORD=$password
ip netns exec "$cli" "$bin/vesk-publish" --server "$server" --version 2 "$work/DovaDu.exe" > /dev/null
stored=$(ip netns exec "$cli" "$bin/vesk-publish" --server "$server" --show | sed -n 's/^stored size: *\([0-9]*\) bytes.*/\1/p')

printf '%-9s %11s %9s %8s %7s %9s %12s\n' link reassembly floor ratio requests "peak MiB" "stop to end"
for mbit in 10 2; do
  ip netns exec "$srv" tc qdisc replace dev vb-srv-$$ root tbf rate ${mbit}mbit burst 32kb latency 400ms
  rm -f "$work/out/DovaDu.exe"; mkdir -p "$work/out"
  read -r _ seconds _ requests _ peak _ login_s _ < <(ip netns exec "$cli" env XDG_RUNTIME_DIR="$work" "$client" "$server" "$work/out")
  cmp -s "$work/DovaDu.exe" "$work/out/DovaDu.exe" || { echo "bench_link: the rebuilt program differs"; exit 1; }
  # The stored bytes at the link's rate, the login, and one delay for each request and
  # for the two reads of BVersion.
  floor=$(awk -v b="$stored" -v m="$mbit" -v l="$login_s" -v r="$requests" 'BEGIN { printf "%.3f", b * 8 / (m * 1e6) + l + (r + 2) * 0.020 }')
  ratio=$(awk -v s="$seconds" -v f="$floor" 'BEGIN { printf "%.3f", s / f }')
  stops=""
  for at in 2 4; do
    rm -f "$work/out/DovaDu.exe"
    read -r _ took _ _ < <(ip netns exec "$cli" env XDG_RUNTIME_DIR="$work" "$client" "$server" "$work/out" --stop "$at")
    stops="$stops ${took}s@${at}s"
  done
  chunk_s=$(awk -v m="$mbit" 'BEGIN { printf "%.2f", 262144 * 8 / (m * 1e6) + 0.3 }')
  printf '%-9s %10ss %8ss %8s %7s %9s %s (target <= %ss)\n' "${mbit} Mbit/s" "$seconds" "$floor" "$ratio" \
    "$requests" "$peak" "$stops" "$chunk_s"
done
echo "target: reassembly at most 1.10 x its floor"

# The encoder: the publisher's default against zlib's level 9, on this program and on a real one.
encoded() { # program level... -> stored bytes
  local file=$1; shift
  ip netns exec "$cli" "$bin/vesk-publish" --server "$server" --version 3 "$@" "$file" > /dev/null
  ip netns exec "$cli" "$bin/vesk-publish" --server "$server" --show | sed -n 's/^stored size: *\([0-9]*\) bytes.*/\1/p'
}
ip netns exec "$srv" tc qdisc del dev vb-srv-$$ root
for program in "$work/DovaDu.exe" /usr/lib/x86_64-linux-gnu/libQt6Widgets.so.6; do
  [ -f "$program" ] || continue
  tight=$(encoded "$program") zlib9=$(encoded "$program" --level 9)
  awk -v t="$tight" -v z="$zlib9" -v p="$(basename "$program")" \
    'BEGIN { printf "stored bytes, default encoder / zlib level 9: %.4f on %s (%d / %d)\n", t / z, p, t, z }'
done
head -c $((64 * 1024 * 1024)) /usr/lib/x86_64-linux-gnu/libQt6Widgets.so.6 > "$work/big" 2>/dev/null || true
while [ "$(stat -c %s "$work/big")" -lt $((64 * 1024 * 1024)) ]; do cat /usr/lib/x86_64-linux-gnu/libQt6*.so.6 >> "$work/big"; done
truncate -s $((64 * 1024 * 1024)) "$work/big"
start=$(date +%s.%N)
ip netns exec "$cli" "$bin/vesk-publish" --server "$server" --version 4 "$work/big" > /dev/null
awk -v s="$start" -v e="$(date +%s.%N)" -v c="$(nproc)" \
  'BEGIN { printf "a default publish of a 64 MiB program (Qt libraries) over the unlimited link: %.1f s on %d cores\n", e - s, c }'

# The patch road, on the release pairs that bench/bench_patch.sh fetched into the build.
cache=$build/patch-pairs
pairs=(
  "libmergedlo libreoffice-core_4%3a7.4.7-1+deb12u13 libreoffice-core_4%3a7.4.7-1+deb12u14 usr/lib/libreoffice/program/libmergedlo.so"
  "libxml2 libxml2_2.9.14+dfsg-1.3~deb12u4 libxml2_2.9.14+dfsg-1.3~deb12u6 usr/lib/x86_64-linux-gnu/libxml2.so.2.9.14"
)
printf '\n%-12s %-9s %12s %12s %8s %11s %9s %8s\n' pair link "by patch" target ratio "in full" "peak MiB" "of bound"
version=10
for pair in "${pairs[@]}"; do
  read -r name from to file <<<"$pair"
  old=$cache/$from/$file new=$cache/$to/$file
  if [ ! -f "$old" ] || [ ! -f "$new" ]; then
    echo "$name: skipped: run bash bench/bench_patch.sh $build first, which fetches the pair"
    continue
  fi
  ip netns exec "$srv" tc qdisc del dev vb-srv-$$ root 2>/dev/null || true
  ip netns exec "$cli" "$bin/vesk-publish" --server "$server" --version $((version++)) --no-patch "$old" > /dev/null
  start=$(date +%s.%N)
  ip netns exec "$cli" "$bin/vesk-publish" --server "$server" --version $((version++)) "$new" > "$work/publish.out"
  publish_s=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
  bytes=$(stat -c %s "$new")
  bound=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", (2 * b + 64 * 1048576) / 1048576 }')
  for mbit in 10 2; do
    ip netns exec "$srv" tc qdisc replace dev vb-srv-$$ root tbf rate ${mbit}mbit burst 32kb latency 400ms
    mkdir -p "$work/out"; cp "$old" "$work/out/DovaDu.exe"
    read -r _ seconds _ _ _ peak _ login_s _ patch_bytes _ patches < <(ip netns exec "$cli" env XDG_RUNTIME_DIR="$work" "$client" "$server" "$work/out")
    cmp -s "$new" "$work/out/DovaDu.exe" || { echo "bench_link: the patched program differs"; exit 1; }
    [ "$patches" -ge 1 ] || { echo "bench_link: $name was not upgraded by patch"; exit 1; }
    cp "$old" "$work/out/DovaDu.exe"
    read -r _ full_s _ _ _ _ _ full_login _ < <(ip netns exec "$cli" env XDG_RUNTIME_DIR="$work" "$client" "$server" "$work/out" --full)
    cmp -s "$new" "$work/out/DovaDu.exe" || { echo "bench_link: the rebuilt program differs"; exit 1; }
    awk -v n="$name" -v m="$mbit" -v s="$seconds" -v l="$login_s" -v p="$patch_bytes" -v f="$full_s" -v fl="$full_login" \
        -v k="$peak" -v b="$bound" 'BEGIN { t = 1.10 * p * 8 / (m * 1e6) + 1; e = s + l;
          printf "%-12s %-9s %11.2fs %11.2fs %8.3f %10.2fs %9.1f %8.3f\n", n, m " Mbit/s", e, t, e / t, f + fl, k, k / b }'
  done
  echo "  $name: $bytes bytes, patch $patch_bytes bytes; publishing it with its patch took ${publish_s} s on $(nproc) cores"
done
echo "targets: by patch at most the target (ratio <= 1); peak at most 2 x program + 64 MiB (of bound <= 1)"
