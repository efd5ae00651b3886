#!/usr/bin/env bash
# gate_under_wine.sh -- a refused disclaimer in a real window: Escape on the box ends the run
# with exit code 0, no progress window, nothing extracted and nothing opened.
# Usage: tests/wine/gate_under_wine.sh [STUB [SETUP_PROGRAM]]
set -euo pipefail
cd "$(dirname "$0")/../.."
STUB=${1:-dist/tarnvel-sfx64.exe}
SETUP_PROGRAM=${2:-build-x86_64/test-programs/marker-setup.exe}
. tests/wine/wine_lib.sh
work=$(mktemp -d /tmp/tarnvel-wine-XXXXXX)
trap 'wine_stop; rm -rf "$work"' EXIT
wine_start "$work"

src="$work/src"
mkdir -p "$src/docs"
seq 1 3000 >"$src/docs/numbers.txt"
cp "$SETUP_PROGRAM" "$src/setup.exe"
python3 tests/wine/make_package.py "$STUB" "$src" "$work/package.exe" \
    --disclaimer "Tarnvel demo licence: press OK to accept."

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
temp=$(wine_temp_dir)
rm -rf "$temp"/*

wine_run "$work/rc" "$work/package.exe"
id=$(wine_wait_window "Setup disclamer" 60) || { echo "FAIL: no box captioned 'Setup disclamer'"; wine_shot gate-missing; exit 1; }
sleep 0.5
wine_shot_window "$id" disclaimer-box
echo "ok: the box captioned 'Setup disclamer' is up (screenshot disclaimer-box.png)"
wine_answer "$id" Escape || fail "the box did not take Escape"
# Until the program has ended, no progress window may appear.
while [ ! -f "$work/rc" ]; do
    xdotool search --onlyvisible --name "^Tarnvel Setup\$" >/dev/null 2>&1 && { fail "a progress window appeared"; break; }
    sleep 0.1
done
code=$(wine_wait_exit "$work/rc" 60)
[ "$code" = 0 ] && echo "ok: exit code 0 after the refusal" || fail "exit code $code"
sleep 2  # a launched program would have written its marker by now
left=$(find "$temp" -mindepth 1 2>/dev/null | head -n 5)
[ -z "$left" ] && echo "ok: nothing extracted, nothing opened" || fail "files in the temp folder: $left"
exit $failures
