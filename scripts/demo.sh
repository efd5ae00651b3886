#!/usr/bin/env bash
# demo.sh -- the main job: packs samples/demo (with its licence as the disclaimer and a tiny
# setup.exe) behind the stub, checks the package, and runs it under Wine, headless.
# Run scripts/setup.sh first. Screenshots land in build/wine-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
. tests/wine/wine_lib.sh
out=build/demo
package="$out/tarnvel-demo.exe"
setup_program=build-x86_64/test-programs/marker-setup.exe
rm -rf "$out" && mkdir -p "$out/payload"

# The payload: the sample folder and the test setup program, which writes setup-ran.txt
# beside itself when the stub opens it.
cp -r samples/demo/. "$out/payload/"
cp "$setup_program" "$out/payload/setup.exe"
dist/tarnvel-pack build -q --stub dist/tarnvel-sfx64.exe -o "$package" --disclaimer samples/demo-licence.txt "$out/payload"
dist/tarnvel-pack check "$package"

# The prefix stays in build/demo/wine, so the extracted files can be looked at afterwards.
work="$PWD/$out/wine"
trap 'wine_stop' EXIT
wine_start "$work"
temp=$(wine_temp_dir)
wine_run "$work/rc" "$package"
id=$(wine_wait_window "Setup disclamer" 60) || { echo "demo: no disclaimer box appeared"; exit 1; }
sleep 0.5
wine_shot demo-disclaimer
wine_answer "$id" Return
code=$(wine_wait_exit "$work/rc" 60)
echo "demo: disclaimer shown and accepted under Wine; the stub exited with $code"
wine_wait_file "$temp/setup-ran.txt" 30 || { echo "demo: setup.exe was not opened"; exit 1; }
wine_shot demo-after
echo "demo: extracted into $temp (C:\\users\\$(id -un)\\Temp\\ inside Wine):"
(cd "$out/payload" && find . -type f | sed 's|^\./||' | sort) | while read -r f; do
    cmp -s "$out/payload/$f" "$temp/$f" || { echo "demo: $f differs or is missing"; exit 1; }
    echo "  $f ($(stat -c %s "$temp/$f") bytes, identical)"
done
echo "demo: setup.exe was opened and wrote setup-ran.txt: $(head -n 1 "$temp/setup-ran.txt" | tr -d '\r')"
echo "demo: screenshots $WINE_ARTIFACTS/demo-disclaimer.png and $WINE_ARTIFACTS/demo-after.png"
