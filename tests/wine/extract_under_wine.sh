#!/usr/bin/env bash
# extract_under_wine.sh -- a whole run in real windows: the disclaimer accepted, the progress
# window up while a large entry decodes, a damaged entry's box over it, every other file
# byte-identical with its time in Wine's temp folder, and the packaged setup.exe opened.
# Usage: tests/wine/extract_under_wine.sh [STUB [SETUP_PROGRAM]]
#   defaults: dist/tarnvel-sfx64.exe, build-x86_64/test-programs/marker-setup.exe
# BIG_MB (default 64) sizes a large entry of zeros that comes first.
set -euo pipefail
cd "$(dirname "$0")/../.."
STUB=${1:-dist/tarnvel-sfx64.exe}
SETUP_PROGRAM=${2:-build-x86_64/test-programs/marker-setup.exe}
BIG_MB=${BIG_MB:-64}
WAIT=${WINE_WAIT:-60}  # seconds for each window to appear; emulated Wine needs more
. tests/wine/wine_lib.sh
work=$(mktemp -d /tmp/tarnvel-wine-XXXXXX)
trap 'wine_stop; rm -rf "$work"' EXIT
wine_start "$work"

# The payload: a large entry first, text, a real Windows DLL, a deep folder, an empty file,
# a damaged entry, and the setup program that writes setup-ran.txt beside itself.
src="$work/src"
mkdir -p "$src/docs/deep/er" "$src/bin"
head -c $((BIG_MB * 1024 * 1024)) /dev/zero >"$src/0-zeros.bin"
seq 1 20000 >"$src/docs/numbers.txt"
printf 'tiny' >"$src/tiny.txt"
: >"$src/docs/deep/er/empty.dat"
cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/comctl32.dll "$src/bin/" 2>/dev/null || head -c 300000 /dev/urandom >"$src/bin/comctl32.dll"
head -c 70000 /dev/urandom >"$src/bin/random.bin"
seq 1 5000 >"$src/damaged.txt"
cp "$SETUP_PROGRAM" "$src/setup.exe"
touch -d '2021-03-04 05:06:08' "$src/docs/numbers.txt"
python3 tests/wine/make_package.py "$STUB" "$src" "$work/package.exe" --damage-crc damaged.txt \
    --disclaimer "Extract the Tarnvel test payload?"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

wine_run "$work/rc" "$work/package.exe"
id=$(wine_wait_window "Setup disclamer" "$WAIT") || { echo "FAIL: no disclaimer box"; wine_shot disclaimer-missing; exit 1; }
sleep 0.5
wine_shot_window "$id" disclaimer-box
wine_answer "$id" Return || fail "the disclaimer box did not take Return"

window=$(wine_wait_window "Tarnvel Setup" "$WAIT") || fail "no progress window"

if box=$(wine_wait_window "Tarnvel SFX ERROR" "$((WAIT * 2))"); then
    sleep 0.5
    wine_shot failure-box
    echo "ok: the damaged entry shows the box captioned 'Tarnvel SFX ERROR' (screenshot failure-box.png)"
    xdotool search --onlyvisible --name "^Tarnvel Setup\$" >/dev/null 2>&1 \
        && echo "ok: the progress window stays up while the box is shown" \
        || fail "the progress window is gone while the box is up"
    # Both are centred: move the box aside for a shot of the progress window alone.
    [ -n "${window:-}" ] && wine_shot_pair "$window" "$box" failure-over-progress
    xdotool windowmove "$box" 10 10 2>/dev/null || true
    sleep 1
    [ -n "${window:-}" ] && wine_shot_window "$window" progress-window
    echo "ok: screenshot of the progress window in progress-window.png"
    wine_answer "$box" Return || fail "the failure box did not close"
else
    fail "no failure box for the damaged entry"; wine_shot failure-missing
fi
code=$(wine_wait_exit "$work/rc" "$((WAIT * 2))")
[ "$code" = 0 ] && echo "ok: exit code 0" || fail "exit code $code"

temp=$(wine_temp_dir)
for f in 0-zeros.bin tiny.txt docs/numbers.txt docs/deep/er/empty.dat bin/comctl32.dll bin/random.bin setup.exe; do
    cmp -s "$src/$f" "$temp/$f" && echo "ok: $f extracted byte-identical" || fail "$f differs or is missing"
done
want=$(date -r "$src/docs/numbers.txt" +%s); got=$(date -r "$temp/docs/numbers.txt" +%s 2>/dev/null || echo 0)
if [ $((want - got)) -le 2 ] && [ $((got - want)) -le 2 ]; then echo "ok: the DOS time reached the file"
else fail "time $got, expected $want"; fi
# A damaged entry keeps the bytes that were written.
cmp -s "$src/damaged.txt" "$temp/damaged.txt" && echo "ok: the damaged entry's bytes are kept" || fail "damaged.txt content"
if wine_wait_file "$temp/setup-ran.txt" "$WAIT"; then
    echo "ok: the extracted setup.exe was opened: $(head -n 1 "$temp/setup-ran.txt" | tr -d '\r')"
else
    fail "setup.exe was not opened (no setup-ran.txt)"
fi
exit $failures
