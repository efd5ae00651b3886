#!/usr/bin/env bash
# cancel_under_wine.sh -- Cancel while a failure box is up: the box and the progress window go,
# the walk stops before the next entry, and the setup.exe met before is still opened.
# The box disables its owner for mouse and keys, as on Windows, so the Cancel button's click
# is delivered as the WM_COMMAND the button sends, by tests/programs/post_command.cpp.
# Usage: tests/wine/cancel_under_wine.sh [STUB [TEST_PROGRAMS_DIR]]
set -euo pipefail
cd "$(dirname "$0")/../.."
STUB=${1:-dist/tarnvel-sfx64.exe}
PROGRAMS=${2:-build-x86_64/test-programs}
. tests/wine/wine_lib.sh
work=$(mktemp -d /tmp/tarnvel-wine-XXXXXX)
trap 'wine_stop; rm -rf "$work"' EXIT
wine_start "$work"

# In walk order: a.txt, setup.exe, zz-damaged.txt (its box), then zz/later.txt.
src="$work/src"
mkdir -p "$src/zz"
seq 1 100 >"$src/a.txt"
cp "$PROGRAMS/marker-setup.exe" "$src/setup.exe"
seq 1 5000 >"$src/zz-damaged.txt"
seq 1 200 >"$src/zz/later.txt"
python3 tests/wine/make_package.py "$STUB" "$src" "$work/package.exe" --damage-crc zz-damaged.txt
cp "$PROGRAMS/post-command.exe" "$work/"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
temp=$(wine_temp_dir)

wine_run "$work/rc" "$work/package.exe"
box=$(wine_wait_window "Tarnvel SFX ERROR" 60) || { echo "FAIL: no failure box"; wine_shot cancel-missing; exit 1; }
sleep 0.5
xdotool search --onlyvisible --name "^Tarnvel Setup\$" >/dev/null 2>&1 || fail "no progress window behind the box"
wine_shot cancel-before
sent=0
"$WINE64" "$work/post-command.exe" "Tarnvel Setup" 2 >/dev/null 2>&1 || sent=$?
[ "$sent" = 0 ] || fail "the Cancel command could not be sent ($sent)"
wine_wait_gone "Tarnvel SFX ERROR" 10 && echo "ok: the box closed with its owner" || fail "the box stayed up"
wine_wait_gone "Tarnvel Setup" 10 && echo "ok: the progress window is gone" || fail "the progress window stayed up"
code=$(wine_wait_exit "$work/rc" 60)
[ "$code" = 0 ] && echo "ok: exit code 0 after Cancel" || fail "exit code $code"

cmp -s "$src/a.txt" "$temp/a.txt" && echo "ok: a.txt, before the Cancel, is extracted" || fail "a.txt missing"
[ ! -e "$temp/zz/later.txt" ] && echo "ok: the walk stopped before zz/later.txt" || fail "zz/later.txt was extracted"
if wine_wait_file "$temp/setup-ran.txt" 60; then echo "ok: the setup.exe recorded before the Cancel was opened"
else fail "setup.exe was not opened"; fi
exit $failures
