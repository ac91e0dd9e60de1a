#!/usr/bin/env bash
# Fails when a file includes a header from a floor above its own folder's.
# Floors: core < platform < db < upgrade < app, and platform < ras < app.
set -u
cd "$(dirname "$0")/.."
declare -A allowed=(
  [core]="core"
  [platform]="core platform"
  [db]="core db"
  [upgrade]="core platform db upgrade"
  [ras]="core platform ras"
  [app]="core platform db upgrade ras app"
)
bad=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    inc=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$hit")
    top=${inc%%/*}
    [ "$top" != "$inc" ] && [ -d "$top" ] || continue
    case " ${allowed[$folder]} " in
      *" $top "*) ;;
      *) echo "$file includes $inc: $folder may include only ${allowed[$folder]}"; bad=1 ;;
    esac
  done < <(grep -rHE '^\s*#\s*include\s+"' "$folder" --include='*.h' --include='*.cpp' --include='*.in')
done
# core is Qt Core only.
if grep -rhE '^\s*#\s*include\s+<Q(Widget|Sql|Gui|Application|Window|Screen)' core; then
  echo "core includes more than Qt Core"; bad=1
fi
[ $bad -eq 0 ] && echo "floors hold"
exit $bad
