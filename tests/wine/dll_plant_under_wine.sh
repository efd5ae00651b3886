#!/usr/bin/env bash
# dll_plant_under_wine.sh -- a DLL planted in the download folder beside the package is never
# loaded: the stub limits its DLL search to the system folder before anything loads and
# imports only known DLLs. The same plant beside an unhardened program is loaded, which shows
# that the plant would work; Wine is told to prefer native copies of the planted names.
# Usage: tests/wine/dll_plant_under_wine.sh [STUB]   (default dist/tarnvel-sfx64.exe)
# The import check covers STUB and the PE32 stub beside it.
set -euo pipefail
cd "$(dirname "$0")/../.."
STUB=${1:-dist/tarnvel-sfx64.exe}
. tests/wine/wine_lib.sh
work=$(mktemp -d /tmp/tarnvel-wine-XXXXXX)
trap 'wine_stop; [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Known DLLs on every Windows from 7 to 11: the loader takes them from the system folder
# whatever folder the program runs from, so static imports of these cannot be planted.
known="advapi32 clbcatq comdlg32 difxapi gdi32 imagehlp imm32 kernel32 msctf msvcrt normaliz nsi ole32
oleaut32 psapi rpcrt4 sechost setupapi shell32 shlwapi user32 wldap32 ws2_32"
for exe in "$(dirname "$STUB")/tarnvel-sfx.exe" "$STUB"; do
    [ -f "$exe" ] || { fail "$exe is missing"; continue; }
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
    for dll in $imports; do
        if grep -qw "${dll%.dll}" <<<"$known"; then :; else fail "$exe imports $dll, not a known DLL"; fi
    done
    echo "ok: $exe imports only known DLLs:" $imports
done

# The plant, under several names, and the control program; 64-bit like the stub under test.
cc=x86_64-w64-mingw32-gcc
mkdir -p "$work/downloads" "$work/control"
$cc -O2 -s -shared tests/wine/plant/planted_library.c -o "$work/planted.dll"
$cc -O2 -s -mwindows tests/wine/plant/unhardened.c -o "$work/control/unhardened.exe" -lcomctl32 -lshell32
# uxtheme is loaded at run time by the common controls, comctl32 and shell32 by the stub itself.
# Not version.dll: Wine's own user32 imports it, so Wine loads it from beside any program that
# imports user32, before the program's first instruction; Windows' user32 does not import it.
plants="uxtheme comctl32 shell32"
for name in $plants; do cp "$work/planted.dll" "$work/downloads/$name.dll"; done
cp "$work/planted.dll" "$work/control/uxtheme.dll"

mkdir -p "$work/payload"
printf 'planted-library test payload\r\n' >"$work/payload/readme.txt"
python3 tests/wine/make_package.py "$STUB" "$work/payload" "$work/downloads/package.exe"

wine_start "$work"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$(tr ' ' ',' <<<"$plants")=n,b"

# The control: the plant beside an unhardened program is loaded.
( cd "$work/control" && timeout 120 "$WINE64" unhardened.exe >/dev/null 2>&1 ) || true
if [ -f "$work/control/uxtheme.dll.loaded" ]; then echo "ok: the plant is loaded beside an unhardened program"
else fail "the plant was not loaded even beside the unhardened program: the test shows nothing"; fi

# The stub, run from the download folder: extracts its payload, loads no plant.
log="$work/stub-loads.log"
( cd "$work/downloads" && WINEDEBUG=+loaddll timeout 120 "$WINE64" package.exe >"$log" 2>&1 ) || true
temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
[ -f "$temp/readme.txt" ] && echo "ok: the stub ran and extracted its payload" || fail "the stub did not extract its payload"
for name in $plants; do
    [ -f "$work/downloads/$name.dll.loaded" ] && fail "the stub loaded the planted $name.dll"
done
# The names were asked for, and answered from the system folder or its side-by-side store
# (the stub's own lines only).
pid=$(grep -i 'Loaded L".*package\.exe"' "$log" | head -n 1 | cut -d: -f1)
grep "^${pid:-none}:" "$log" >"$log.stub" || true
for name in uxtheme comctl32; do
    line=$(grep -i "Loaded L\".*\\\\$name\\.dll\"" "$log.stub" | head -n 1 || true)
    if [ -z "$line" ]; then fail "the stub never loaded $name.dll: the plant was not put to the test"
    elif grep -qiE 'C:\\\\windows\\\\(system32|winsxs)\\\\' <<<"$line"; then echo "ok: $name.dll came from the system folder"
    else fail "$name.dll came from elsewhere: $line"; fi
done
if grep -i 'Loaded L".*downloads' "$log.stub" | grep -vi 'package\.exe' >/dev/null; then
    fail "a library was loaded from the download folder"
fi
[ "$failures" -eq 0 ] && echo "ok: no planted library was loaded beside the package"
exit $failures
