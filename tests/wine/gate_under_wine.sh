#!/usr/bin/env bash
# gate_under_wine.sh -- the stub's disclaimer box in a real window: Return accepts, Escape refuses.
# Usage: tests/wine/gate_under_wine.sh [STUB]   (default dist/tarnvel-sfx64.exe)
set -euo pipefail
cd "$(dirname "$0")/../.."
STUB=${1:-dist/tarnvel-sfx64.exe}
. tests/wine/wine_lib.sh
work=$(mktemp -d /tmp/tarnvel-wine-XXXXXX)
trap 'wine_stop; rm -rf "$work"' EXIT
wine_start "$work"

text='Tarnvel demo licence: press OK to accept.'
cp "$STUB" "$work/package.exe"
python3 tests/wine/append_trailer.py "$work/package.exe" "$text"

failures=0
for answer in Return:1 Escape:2; do
    key=${answer%%:*} want=${answer##*:}
    wine_run "$work/rc" "$work/package.exe"
    if ! id=$(wine_wait_window "Setup disclamer" 60); then
        echo "FAIL: no box captioned 'Setup disclamer' appeared"; wine_shot gate-missing; exit 1
    fi
    sleep 0.5
    [ "$key" = Return ] && wine_shot gate-box
    # A key can reach the box before it takes input: press again while it is still up.
    for _ in 1 2 3 4; do
        wine_press "$id" "$key" 2>/dev/null || true
        got=$(wine_wait_exit "$work/rc" 5)
        [ "$got" = timeout ] || break
    done
    if [ "$got" = "$want" ]; then echo "ok: $key in the box gives $got"
    else echo "FAIL: $key in the box gave $got, expected $want"; failures=$((failures + 1)); fi
done
exit $failures
