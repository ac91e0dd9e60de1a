#!/usr/bin/env bash
# A Linux tool of the host, for a test under Wine (see host-run.cpp): runs it with its
# output in files of the folder given and its status in "status" when it ends; a file
# "stop" in that folder ends it. Arguments that are Windows paths become the Unix paths
# of the same files. Usage: host-tool.sh FOLDER TOOL [ARGS...]
set -u
unix_path() {
  local p=${1//\\//}
  local drive=${p:0:1}
  local root
  root=$(readlink -f "${WINEPREFIX:-$HOME/.wine}/dosdevices/${drive,,}:")
  [ "$root" = / ] && root=
  printf '%s%s' "$root" "${p:2}"
}
dir=$(unix_path "$1")
tool=$2
shift 2
args=()
for a in "$@"; do
  case $a in
    [A-Za-z]:[\\/]*) a=$(unix_path "$a") ;;
  esac
  args+=("$a")
done
"$tool" "${args[@]}" >"$dir/out" 2>"$dir/err" </dev/null &
pid=$!
# What is still running when the test ends, the test's wine-run.sh ends.
echo "$pid" >>"${WINEPREFIX:-$HOME/.wine}/host-tools.pids"
while kill -0 "$pid" 2>/dev/null; do
  [ -e "$dir/stop" ] && kill "$pid" 2>/dev/null
  sleep 0.02
done
wait "$pid"
echo $? >"$dir/status.tmp" && mv "$dir/status.tmp" "$dir/status"
