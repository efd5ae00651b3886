#!/usr/bin/env bash
# extract_under_wine.sh -- the stub extracts a package into Wine's temp folder through the
# real Win32 calls: every file byte-identical with its time, one damaged entry in its box.
# Usage: tests/wine/extract_under_wine.sh [STUB]   (default dist/tarnvel-sfx64.exe)
set -euo pipefail
cd "$(dirname "$0")/../.."
STUB=${1:-dist/tarnvel-sfx64.exe}
. tests/wine/wine_lib.sh
work=$(mktemp -d /tmp/tarnvel-wine-XXXXXX)
trap 'wine_stop; rm -rf "$work"' EXIT
wine_start "$work"

# The payload: text, a real Windows DLL, a deep folder, an empty file, a damaged entry.
src="$work/src"
mkdir -p "$src/docs/deep/er" "$src/bin"
seq 1 20000 >"$src/docs/numbers.txt"
printf 'tiny' >"$src/tiny.txt"
: >"$src/docs/deep/er/empty.dat"
cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/comctl32.dll "$src/bin/" 2>/dev/null || head -c 300000 /dev/urandom >"$src/bin/comctl32.dll"
head -c 70000 /dev/urandom >"$src/bin/random.bin"
seq 1 5000 >"$src/damaged.txt"
touch -d '2021-03-04 05:06:08' "$src/docs/numbers.txt"
python3 tests/wine/make_package.py "$STUB" "$src" "$work/package.exe" --damage-crc damaged.txt \
    --disclaimer "Extract the Tarnvel test payload?"

wine_run "$work/rc" "$work/package.exe"
id=$(wine_wait_window "Setup disclamer" 60) || { echo "FAIL: no disclaimer box"; exit 1; }
sleep 0.5
for _ in 1 2 3 4; do
    wine_press "$id" Return 2>/dev/null || true
    sleep 1
    xdotool search --onlyvisible --name "^Setup disclamer\$" >/dev/null 2>&1 || break
done
failures=0
if box=$(wine_wait_window "Tarnvel SFX ERROR" 60); then
    sleep 0.5
    wine_shot failure-box
    echo "ok: the damaged entry shows the failure box"
    for _ in 1 2 3 4; do
        wine_press "$box" Return 2>/dev/null || true
        sleep 1
        xdotool search --onlyvisible --name "^Tarnvel SFX ERROR\$" >/dev/null 2>&1 || break
    done
else
    echo "FAIL: no failure box for the damaged entry"; wine_shot failure-missing; failures=$((failures + 1))
fi
code=$(wine_wait_exit "$work/rc" 60)
[ "$code" = 1 ] || { echo "FAIL: exit code $code"; failures=$((failures + 1)); }

temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
[ -d "$temp" ] || temp=$(dirname "$(find "$WINEPREFIX/drive_c/users" -path '*/Temp/tiny.txt' | head -n 1)")
for f in tiny.txt docs/numbers.txt docs/deep/er/empty.dat bin/comctl32.dll bin/random.bin; do
    if cmp -s "$src/$f" "$temp/$f"; then echo "ok: $f extracted byte-identical"
    else echo "FAIL: $f differs or is missing"; failures=$((failures + 1)); fi
done
want=$(date -r "$src/docs/numbers.txt" +%s); got=$(date -r "$temp/docs/numbers.txt" +%s 2>/dev/null || echo 0)
if [ $((want - got)) -le 2 ] && [ $((got - want)) -le 2 ]; then echo "ok: the DOS time reached the file"
else echo "FAIL: time $got, expected $want"; failures=$((failures + 1)); fi
# A damaged entry keeps the bytes that were written.
cmp -s "$src/damaged.txt" "$temp/damaged.txt" && echo "ok: the damaged entry's bytes are kept" \
    || { echo "FAIL: damaged.txt content"; failures=$((failures + 1)); }
exit $failures
