#!/usr/bin/env bash
# Builds BUILD_DIR/Vesk-<version>-x64.msi from the programs in BUILD_DIR/bin: the launcher
# with exactly the DLLs and Qt plugins it loads, and vesk-publish as a feature installed only
# on request. wixl builds the package from Vesk.wxs; msibuild then adds what wixl cannot
# write: the program folder's permissions and the Start-menu entry's Chinese name.
#
#   make-msi.sh BUILD_DIR [VERSION]
#
# VERSION (major.minor or major.minor.build) defaults to the CMake project version of
# BUILD_DIR; a higher one makes a package that upgrades the same build's.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 BUILD_DIR [VERSION]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
bin=$build/bin
version=${2:-$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)}

fail() { echo "make-msi: $*" >&2; exit 1; }
# Windows Installer compares three fields: major and minor up to 255, build up to 65535.
[[ $version =~ ^([0-9]+)\.([0-9]+)(\.([0-9]+))?$ ]] || fail "no version: give one, or a BUILD_DIR with CMakeCache.txt (got '$version')"
((BASH_REMATCH[1] <= 255 && BASH_REMATCH[2] <= 255 && ${BASH_REMATCH[4]:-0} <= 65535)) ||
  fail "version $version is out of Windows Installer's range (255.255.65535)"
for tool in wixl msibuild msiinfo icotool x86_64-w64-mingw32-objdump x86_64-w64-mingw32-strip x86_64-w64-mingw32-gcc-posix; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
for exe in Vesk.exe vesk-publish.exe; do
  [ -f "$bin/$exe" ] || fail "$bin/$exe is missing: build with scripts/build-windows.sh first"
done

# The plugins Qt loads into the launcher: the window system, the default style of Windows,
# the ODBC driver of the connections, and JPEG for the login window's pictures. Qt finds
# them in these folders beside the program.
launcher_plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll sqldrivers/qsqlodbc.dll imageformats/qjpeg.dll)
# The publisher is a console program: only the ODBC driver.
publisher_plugins=(sqldrivers/qsqlodbc.dll)

# What a program and its plugins load from the program folder: their imports found in
# BUILD_DIR/bin, followed through those DLLs' own imports. Any other import must be one of
# Windows' own, as mingw-w64 knows them by their import libraries, or an API set; a library
# missing from BUILD_DIR/bin is an error here rather than a launcher that does not start
# (Wine would even lend it its own zlib1.dll).
declare -A in_bin=()
for f in "$bin"/*.dll; do
  name=${f##*/}
  in_bin[${name,,}]=$name
done
mingw_lib=$(dirname "$(x86_64-w64-mingw32-gcc-posix -print-file-name=libkernel32.a)")
closure() { # closure FILE...: sets files to FILE... and what they load from the folder
  local -A seen=()
  local queue=("$@") file name
  files=()
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    [ -z "${seen[$file]:-}" ] || continue
    seen[$file]=1
    files+=("$file")
    while read -r name; do
      if [ -n "${in_bin[${name,,}]:-}" ]; then
        queue+=("${in_bin[${name,,}]}")
      elif [[ ${name,,} != api-ms-win-* ]] && [ ! -e "$mingw_lib/lib$(basename "${name,,}" .dll).a" ]; then
        fail "$file needs $name, which is not in $bin"
      fi
    done < <(x86_64-w64-mingw32-objdump -p "$bin/$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
  done
}
for p in "${launcher_plugins[@]}" "${publisher_plugins[@]}"; do
  [ -f "$bin/$p" ] || fail "$bin/$p is missing: the launcher loads it"
done
closure Vesk.exe "${launcher_plugins[@]}"
launcher_files=("${files[@]:1}")
declare -A in_launcher=()
for f in "${launcher_files[@]}"; do in_launcher[$f]=1; done
closure vesk-publish.exe "${publisher_plugins[@]}"
publisher_files=()
for f in "${files[@]:1}"; do
  if [ -z "${in_launcher[$f]:-}" ]; then publisher_files+=("$f"); fi
done

# The package is built from a folder of its own, with the files stripped as the Debian
# package's are (wixl takes sources relative to where it runs). A stripped file carries its
# original's time as its PE time stamp, so that the same build gives the same files.
stage=$build/msi
rm -rf "$stage"
mkdir -p "$stage"
for f in Vesk.exe vesk-publish.exe "${launcher_files[@]}" "${publisher_files[@]}"; do
  mkdir -p "$stage/$(dirname "$f")"
  SOURCE_DATE_EPOCH=$(stat -c %Y "$bin/$f") x86_64-w64-mingw32-strip --strip-unneeded -o "$stage/$f" "$bin/$f"
done
icotool -c -o "$stage/vesk.ico" "$source_dir"/app/icons/vesk-{16,24,32,48,64,128,256}.png

# libraries.wxs: one component per file, in the folder the file lies in below the program
# folder, grouped by the feature that needs it.
xml_escape() { local s=${1//&/&amp;}; s=${s//</&lt;}; s=${s//>/&gt;}; printf '%s' "${s//\"/&quot;}"; }
ident() { local s=${1//[^A-Za-z0-9]/_}; printf 'f_%s' "$s"; }
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>'
  echo '  <DirectoryRef Id="INSTALLFOLDER">'
  mapfile -t folders < <(printf '%s\n' "${launcher_files[@]}" "${publisher_files[@]}" | xargs -rn1 dirname | sort -u)
  for d in "${folders[@]}"; do
    [ "$d" = . ] || echo "    <Directory Id=\"d_${d//[^A-Za-z0-9]/_}\" Name=\"$(xml_escape "$d")\">"
    for f in "${launcher_files[@]}" "${publisher_files[@]}"; do
      [ "$(dirname "$f")" = "$d" ] || continue
      echo "      <Component Id=\"$(ident "$f")\" Guid=\"*\" Win64=\"yes\"><File Id=\"$(ident "$f")\" Source=\"$(xml_escape "$f")\" KeyPath=\"yes\"/></Component>"
    done
    [ "$d" = . ] || echo '    </Directory>'
  done
  echo '  </DirectoryRef>'
  echo '  <ComponentGroup Id="LauncherLibraries">'
  for f in "${launcher_files[@]}"; do echo "    <ComponentRef Id=\"$(ident "$f")\"/>"; done
  echo '  </ComponentGroup>'
  echo '  <ComponentGroup Id="PublisherLibraries">'
  for f in "${publisher_files[@]}"; do echo "    <ComponentRef Id=\"$(ident "$f")\"/>"; done
  echo '  </ComponentGroup>'
  echo '</Fragment></Wix>'
} > "$stage/libraries.wxs"

# Finished beside the files and moved into place whole: a failure leaves no package, neither
# one that lacks its own tables nor the previous build's.
output=$build/Vesk-$version-x64.msi
rm -f "$output"
msi=$stage/Vesk.msi
(cd "$stage" && wixl -a x64 -D Version="$version" -o "$msi" "$here/Vesk.wxs" libraries.wxs)

tables=$stage/tables
mkdir -p "$tables"
# set_field TABLE KEYCOL KEY COL VALUE: TABLE.idt for msibuild, the package's TABLE with
# column COL set to VALUE in the rows whose column KEYCOL holds KEY.
set_field() {
  msiinfo export "$msi" "$1" | tr -d '\r' |
    awk -F '\t' -v OFS='\t' -v k="$2" -v key="$3" -v c="$4" -v value="$5" \
      'NR > 3 && $k == key { $c = value; found = 1 } { printf "%s\r\n", $0 } END { exit !found }' \
      >"$tables/$1.idt" || fail "the package has no $1 row $3"
}

# wixl's string pool loses (or crashes on) Chinese text, so the entry's name goes in
# afterwards, with the database's code page set first: GBK, which Windows Installer reads
# on every Windows. The name is the desktop menu entry's.
name=$(sed -n 's/^Name=//p' "$source_dir/app/vesk.desktop.in")
[ -n "$name" ] || fail "no Name= in app/vesk.desktop.in"
printf '\r\n\r\n936\t_ForceCodepage\r\n' > "$tables/_ForceCodepage.idt"
set_field Shortcut 1 StartMenuEntry 3 "ORVAN~1|$name"

# A package rebuilt at the same version (another site option) replaces the installed one
# too, instead of going in beside it: the upgrade's range takes in its own version (513:
# migrate the features, the maximum included), which wixl has no attribute for. Windows
# Installer never finds the product code it is installing.
set_field Upgrade 7 WIX_UPGRADE_DETECTED 5 513

# The operators replace DovaDu.exe in the program folder, as the Debian package's group
# does: the folder's access list, inherited by what lies in it, gives the group of
# OPERATORSGROUP the right to modify (read 0x120089, write 0x120116, execute 0x1200a0 and
# delete 0x10000: 0x1301bf); the system and the administrators keep full control, every
# user reads and runs. An SDDL access list names groups by SID, so the default, BU (the
# local Users group), holds on a Windows in any language, where the group's name differs.
printf '%s\r\n' \
  $'MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition' \
  $'s72\ts72\ts32\ts0\tS255' \
  $'MsiLockPermissionsEx\tMsiLockPermissionsEx' \
  $'ProgramFolder\tINSTALLFOLDER\tCreateFolder\tD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1301bf;;;[OPERATORSGROUP])\t' \
  > "$tables/MsiLockPermissionsEx.idt"

msibuild "$msi" -i "$tables/_ForceCodepage.idt" -i "$tables/Shortcut.idt" -i "$tables/Upgrade.idt" \
  -i "$tables/MsiLockPermissionsEx.idt"
# A per-machine install passes only secure public properties on to its server side.
secure=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F '\t' '$1 == "SecureCustomProperties" { print $2 }')
msibuild "$msi" -q "UPDATE Property SET Value = 'INSTALLFOLDER;OPERATORSGROUP${secure:+;$secure}' WHERE Property = 'SecureCustomProperties'"
mv -f "$msi" "$output"
echo "make-msi: $output ($(stat -c %s "$output") bytes)"
