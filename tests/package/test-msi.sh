#!/usr/bin/env bash
# The Windows installer under Wine's msiexec, in a Wine prefix of its own: built from
# BUILD_DIR by packaging/windows/make-msi.sh, installed silently, the installed launcher
# started (its window, and the DLLs it loads against those the package holds), upgraded by
# a newer package of the same build, removed; DovaDu.exe and Version.txt, which the launcher
# writes into its folder, outlive both. Then a site's folder given on the command line, kept
# by the upgrade, with the publisher's feature. Wine does not enforce the folder's access
# list, so that is read back from the package.
#   tests/package/test-msi.sh BUILD_DIR
set -uo pipefail
build=$(cd "${1:?usage: test-msi.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
source "$src/tests/package/check.sh"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

give_up() {
  echo "msi: $*"
  echo "msi: $passed passed, $((failed + 1)) failed"
  exit 1
}

work=$(mktemp -d /tmp/vesk-msi.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
pids=()
cleanup() {
  "$wineserver" -k 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  # A display of its own, with a window manager to give the launcher the keyboard.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || give_up "Xvfb did not start"
  DISPLAY=:$(cat "$work/display")
  export DISPLAY
  openbox >/dev/null 2>&1 &
  pids+=($!)
fi

echo "== building the packages"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
if [[ $version =~ ^([0-9]+\.[0-9]+)\.([0-9]+)$ ]]; then
  newer=${BASH_REMATCH[1]}.$((BASH_REMATCH[2] + 1))
else
  newer=$version.1
fi
bash "$src/packaging/windows/make-msi.sh" "$build" "$newer" >"$work/make.log" 2>&1 || { cat "$work/make.log"; give_up "make-msi.sh $newer failed"; }
mv "$build/Vesk-$newer-x64.msi" "$work/"
new_msi=$work/Vesk-$newer-x64.msi
bash "$src/packaging/windows/make-msi.sh" "$build" >"$work/make.log" 2>&1 || { cat "$work/make.log"; give_up "make-msi.sh failed"; }
old_msi=$build/Vesk-$version-x64.msi
echo "  $(basename "$old_msi"): $(stat -c %s "$old_msi") bytes"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
logs=0
msiexec() { # msiexec ARGUMENTS...: silent, logged
  logs=$((logs + 1))
  "$wine" msiexec "$@" /qn /l*v "$(winpath "$work/msiexec-$logs.log")" >/dev/null 2>&1
}
# A table of the package as text (msiinfo ends its lines with CR LF).
table() { msiinfo export "$1" "$2" | tr -d '\r'; }
property() { table "$1" Property | awk -F '\t' -v p="$2" '$1 == p { print $2 }'; }

# What the package puts into the launcher's feature (or into any, with ALL), as paths below
# the program folder, in lower case: each file's folder followed up to INSTALLFOLDER.
package_files() { # package_files MSI FEATURE|ALL
  local t=$work/tables
  mkdir -p "$t"
  for name in File FeatureComponents Component Directory; do table "$1" $name >"$t/$name"; done
  awk -F '\t' -v feature="$2" '
    FNR <= 3 { next }
    FILENAME ~ /FeatureComponents$/ { if (feature == "ALL" || $1 == feature) wanted[$2] = 1; next }
    FILENAME ~ /Component$/ { dir[$1] = $3; next }
    FILENAME ~ /Directory$/ { parent[$1] = $2; name[$1] = $3; sub(/.*\|/, "", name[$1]); next }
    FILENAME ~ /File$/ {
      if (!($2 in wanted)) next
      path = $3; sub(/.*\|/, "", path)
      for (d = dir[$2]; d != "INSTALLFOLDER" && d != ""; d = parent[d]) path = name[d] "/" path
      print tolower(path)
    }' "$t/FeatureComponents" "$t/Component" "$t/Directory" "$t/File" | sort
}

# loaded_from DIR LOG: the DLLs that Wine's loader log shows taken from the program folder
# DIR (a Windows path) or below it, in the form of package_files.
loaded_from() {
  sed -n 's/.*:loaddll:.*Loaded L"\([^"]*\)".*/\1/p' "$2" | sed 's|\\\\|/|g' | tr '[:upper:]' '[:lower:]' |
    awk -v dir="$(printf '%s/' "${1,,}" | tr '\\' /)" 'index($0, dir) == 1 && /\.dll$/ { print substr($0, length(dir) + 1) }' |
    sort -u
}

wait_window() { # wait_window NAME [SECONDS]: until a window of that name is mapped
  for _ in $(seq $((${2:-60} * 2))); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  return 1
}

# run_launcher EXE LOG: starts the launcher with the loader's log, waits for the login
# window, logs in with the site defaults (so that the ODBC driver is loaded: nothing
# answers, and the notice says so), then ends it. Enter is pressed again while no notice
# comes, since a window just mapped may not take keys yet.
run_launcher() {
  local title='Orvan企业资源管理系统内外销软件'
  WINEDEBUG=+loaddll "$wine" "$1" >/dev/null 2>"$2" &
  local launcher=$! shown=0
  if wait_window "$title"; then
    for _ in $(seq 10); do
      # The keyboard's focus set directly: a display given from outside may have no
      # window manager to give it.
      xdotool search --onlyvisible --name "$title" windowfocus --sync %1 >/dev/null 2>&1
      xdotool key Return
      if wait_window '【企业资源管理软件】 提示' 6; then
        shown=1
        break
      fi
    done
  fi
  "$wineserver" -k
  "$wineserver" -w # the next start must not meet this server on its way out
  wait "$launcher" 2>/dev/null
  if [ "$shown" != 1 ]; then
    echo "    the launcher's window or notice did not come; Wine said:"
    grep -v ':loaddll:' "$2" | tail -n 15 | sed 's/^/      /'
    echo "    $(grep -c ':loaddll:' "$2") libraries were loaded"
  fi
  [ "$shown" = 1 ]
}
same_files() { # same_files EXPECTED ACTUAL: prints the difference
  diff <(printf '%s\n' "$1") <(printf '%s\n' "$2") | sed -n 's/^</    missing:/p; s/^>/    extra:  /p'
  [ "$1" = "$2" ]
}

echo "== a fresh Wine prefix"
"$wine" wineboot -i >/dev/null 2>&1 || give_up "the Wine prefix could not be created"
"$wineserver" -w
drive=$WINEPREFIX/drive_c
default_dir='C:\Program Files\Vesk'
installed=$drive/Program\ Files/Vesk

echo "== what the launcher loads, started from the build"
check "the launcher shows its login window and its notice from BUILD_DIR/bin" \
  run_launcher "$build/bin/Vesk.exe" "$work/loaddll-build.log"
needed=$(loaded_from "$(winpath "$build/bin")" "$work/loaddll-build.log")
launcher_files=$(package_files "$old_msi" LauncherFeature | grep -v '^vesk\.exe$')
check "the launcher's feature holds exactly the DLLs and plugins it loads" same_files "$needed" "$launcher_files"
loads_plugins() {
  local p
  for p in platforms/qwindows.dll sqldrivers/qsqlodbc.dll imageformats/qjpeg.dll; do grep -qx "$p" <<<"$needed" || return 1; done
}
check "among them the window system, the ODBC driver and JPEG" loads_plugins

echo "== installing $(basename "$old_msi")"
check "msiexec /i /qn installs it" msiexec /i "$(winpath "$old_msi")"
check "the launcher is in $default_dir" test -f "$installed/Vesk.exe"
check "the publisher is not: its feature is off unless asked for" test ! -e "$installed/vesk-publish.exe"
check "the installed launcher shows its login window and its notice" \
  run_launcher "$default_dir\\Vesk.exe" "$work/loaddll-installed.log"
check "it loads from its folder what it loads from the build, all of it the package's" \
  same_files "$needed" "$(loaded_from "$default_dir" "$work/loaddll-installed.log")"
# Wine's msiexec resolves ProgramMenuFolder to the installing user's menu whatever ALLUSERS
# says; Windows takes the all-users menu for this per-machine package.
menu_entry() {
  local f
  for f in "$drive/ProgramData/Microsoft/Windows/Start Menu/Programs" \
    "$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"; do
    [ -f "$f/Orvan企业资源管理系统内外销软件.lnk" ] && return 0
  done
  return 1
}
check "the Start-menu entry is there, under the menu entry's name" menu_entry
per_machine_entry() { # the programs menu, the launcher, its icon; all users
  [ "$(property "$old_msi" ALLUSERS)" = 1 ] &&
    [ "$(table "$old_msi" Shortcut | awk -F '\t' '$1 == "StartMenuEntry" { print $2, $4, $5, $9 }')" = \
      "ProgramMenuFolder Launcher [#VeskExe] vesk.ico" ]
}
check "the package is per machine, its entry the launcher's in the programs menu, with the icon" per_machine_entry

echo "== the site's files, then a newer package over it"
printf 'MZ the main program\n' >"$installed/DovaDu.exe"
printf '7\r\n' >"$installed/Version.txt"
printf 'the older launcher\n' >"$installed/Vesk.exe"
check "msiexec /i installs $(basename "$new_msi") over it" msiexec /i "$(winpath "$new_msi")"
check "the launcher is replaced" cmp -s "$installed/Vesk.exe" "$build/msi/Vesk.exe"
site_files_kept() { # site_files_kept DIR
  [ "$(cat "$1/DovaDu.exe" 2>/dev/null)" = "MZ the main program" ] && [ "$(cat "$1/Version.txt" 2>/dev/null)" = $'7\r' ]
}
check "DovaDu.exe and Version.txt are kept" site_files_kept "$installed"
listed_at() { # listed_at MSI VERSION: its product code under Uninstall, at that version
  "$wine" reg query "HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\\$(property "$1" ProductCode)" \
    /v DisplayVersion 2>/dev/null | tr -d '\r' | grep -q "REG_SZ *$2\$"
}
replaced() { # replaced NEW_MSI NEW_VERSION OLD_MSI OLD_VERSION
  listed_at "$1" "$2" && ! listed_at "$3" "$4"
}
check "the product is listed at $newer, the older one no longer" replaced "$new_msi" "$newer" "$old_msi" "$version"

echo "== removing it"
check "msiexec /x removes it" msiexec /x "$(winpath "$new_msi")"
check "the launcher and its DLLs are gone" test ! -e "$installed/Vesk.exe" -a ! -e "$installed/Qt6Core.dll" -a ! -e "$installed/platforms"
no_menu_entry() { ! menu_entry; }
check "the Start-menu entry is gone" no_menu_entry
check "DovaDu.exe and Version.txt stay, and so does the folder" site_files_kept "$installed"

echo "== a site's folder, with the publisher"
site_dir='C:\Orvan Client\Vesk'
site=$drive/Orvan\ Client/Vesk
check "INSTALLFOLDER, OPERATORSGROUP and ADDLOCAL given on the command line are taken" \
  msiexec /i "$(winpath "$old_msi")" "INSTALLFOLDER=$site_dir" OPERATORSGROUP=S-1-5-21-1-2-3-1001 ADDLOCAL=ALL
check "the launcher and the publisher are in $site_dir, nothing in the default folder" \
  test -f "$site/Vesk.exe" -a -f "$site/vesk-publish.exe" -a ! -e "$installed/Vesk.exe"
check "the group reaches the installation's server side" \
  grep -aq 'Property(S): OPERATORSGROUP = S-1-5-21-1-2-3-1001' "$work/msiexec-$logs.log"
WINEDEBUG=+loaddll "$wine" "$site_dir\\vesk-publish.exe" --help >/dev/null 2>"$work/loaddll-publisher.log"
publisher=$(loaded_from "$site_dir" "$work/loaddll-publisher.log")
publisher_files=$(package_files "$old_msi" PublisherFeature | grep -v '^vesk-publish\.exe$')
check "vesk-publish loads nothing from its folder that the package lacks" \
  test -z "$(comm -23 <(printf '%s\n' "$publisher") <(package_files "$old_msi" ALL))"
check "the publisher's feature holds only what vesk-publish loads" \
  test -z "$(comm -13 <(printf '%s\n' "$publisher") <(printf '%s\n' "$publisher_files"))"
printf 'MZ the main program\n' >"$site/DovaDu.exe"
printf '7\r\n' >"$site/Version.txt"
# A site's rebuild at the same version, a package with a product code of its own.
mv "$old_msi" "$work/first.msi"
bash "$src/packaging/windows/make-msi.sh" "$build" >"$work/make.log" 2>&1 || { cat "$work/make.log"; give_up "make-msi.sh failed"; }
check "a rebuild of the same version, without INSTALLFOLDER, installs" msiexec /i "$(winpath "$old_msi")"
check "it replaced the installed product instead of going in beside it" \
  replaced "$old_msi" "$version" "$work/first.msi" "$version"
check "the launcher stays where the site put it" test -f "$site/Vesk.exe" -a ! -e "$installed/Vesk.exe"
# Windows keeps the features the older product had (MigrateFeatureStates); Wine's msiexec
# skips that action, so the package is asked instead.
migrates_features() {
  [ "$(table "$old_msi" Upgrade | awk -F '\t' '$7 == "WIX_UPGRADE_DETECTED" { print $5 % 2 }')" = 1 ]
}
check "the upgrade takes over the features installed, the publisher's too" migrates_features
check "DovaDu.exe and Version.txt are kept there" site_files_kept "$site"
check "msiexec /x removes it" msiexec /x "$(winpath "$old_msi")"
check "the launcher and the publisher are gone from there" test ! -e "$site/Vesk.exe" -a ! -e "$site/vesk-publish.exe"
check "DovaDu.exe and Version.txt stay there" site_files_kept "$site"

echo "== the program folder's permissions, as the package sets them"
lock=$(table "$old_msi" MsiLockPermissionsEx | awk -F '\t' 'NR > 3 { print $2, $3, $4 }')
group_modifies() { [[ $lock == "INSTALLFOLDER CreateFolder D:P"*"(A;OICI;0x1301bf;;;[OPERATORSGROUP])"* ]]; }
check "the folder's row: the group of OPERATORSGROUP may modify (0x1301bf), inherited by what lies in it" group_modifies
others_keep() { [[ $lock == *"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"* ]]; }
check "the system and the administrators keep full control, every user reads and runs" others_keep
check "the group is the local Users group by its SID alias unless the site names another" \
  test "$(property "$old_msi" OPERATORSGROUP)" = BU
check "the launcher's component creates the folder the row names" \
  test "$(table "$old_msi" CreateFolder | sed -n 4p)" = "INSTALLFOLDER	Launcher"
check "no LockPermissions table beside it (Windows Installer refuses both)" \
  test -z "$(msiinfo tables "$old_msi" | tr -d '\r' | grep -x LockPermissions)"

echo "msi: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
