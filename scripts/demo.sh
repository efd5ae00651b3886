#!/usr/bin/env bash
# demo.sh -- the main job: packs samples/demo behind the stub and runs it under Wine, headless.
# Run scripts/setup.sh first. The screenshot lands in build/wine-artifacts/demo.png.
set -euo pipefail
cd "$(dirname "$0")/.."
. tests/wine/wine_lib.sh
out=build/demo
mkdir -p "$out"
package="$out/tarnvel-demo.exe"

# The package: the folder packed behind the stub with a disclaimer, then the stub's own
# walk run on this machine over it before Wine sees it.
dist/tarnvel-pack build --stub dist/tarnvel-sfx64.exe -o "$package" --disclaimer samples/demo-licence.txt samples/demo
dist/tarnvel-pack check "$package"
echo "demo: built $package ($(stat -c %s "$package") bytes)"

work=$(mktemp -d /tmp/tarnvel-demo-XXXXXX)
trap 'wine_stop; rm -rf "$work"' EXIT
wine_start "$work"
wine_run "$work/rc" "$package"
id=$(wine_wait_window "Setup disclamer" 60) || { echo "demo: no disclaimer box appeared"; exit 1; }
sleep 0.5
wine_shot demo
for _ in 1 2 3 4; do
  wine_press "$id" Return 2>/dev/null || true
  code=$(wine_wait_exit "$work/rc" 5)
  [ "$code" = timeout ] || break
done
echo "demo: disclaimer shown and accepted under Wine (exit code $code); screenshot $WINE_ARTIFACTS/demo.png"
[ "$code" = 1 ]
temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
(cd samples/demo && find . -type f | sort) | while read -r f; do
  cmp "samples/demo/$f" "$temp/$f"
  echo "demo: extracted $f"
done
