#!/usr/bin/env bash
# pack_under_wine.sh -- a realistic folder through tarnvel-pack and back: build, check, the
# independent readers' tests (unzip -t, 7z t, Python zipfile), tarnvel-pack extract, then the
# package under Wine, plain and signed with a throw-away certificate (osslsigncode verify).
# Every way out must give the same bytes and times; the setup.exe in the folder must be opened.
# Usage: tests/wine/pack_under_wine.sh [STUB [TEST_PROGRAMS_DIR]]
set -euo pipefail
cd "$(dirname "$0")/../.."
STUB=${1:-dist/tarnvel-sfx64.exe}
PROGRAMS=${2:-build-x86_64/test-programs}
PACK=${PACK:-dist/tarnvel-pack}
. tests/wine/wine_lib.sh
work=$(mktemp -d /tmp/tarnvel-wine-XXXXXX)
trap 'wine_stop; rm -rf "$work"' EXIT
wine_start "$work"

failures=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The payload: Windows DLLs, text, a deep folder, an empty file and folder, a read-only file,
# a name beyond ASCII, and the marker setup.exe; every file on its own even-second time.
src="$work/app"
mkdir -p "$src/bin" "$src/doc/deep/er" "$src/plugins/none"
for dll in comctl32.dll shell32.dll msvcrt.dll; do
    cp "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/$dll" "$src/bin/" 2>/dev/null || head -c 400000 /dev/urandom >"$src/bin/$dll"
done
cp -r /usr/share/doc/bash/. "$src/doc/" 2>/dev/null || seq 1 50000 >"$src/doc/numbers.txt"
seq 1 20000 >"$src/doc/deep/er/numbers.txt"
head -c 70000 /dev/urandom >"$src/bin/random.bin"
: >"$src/empty.txt"
printf 'caf\xc3\xa9\r\n' >"$src/doc/"$'R\xc3\xa9sum\xc3\xa9.txt'
printf 'do not touch\r\n' >"$src/readonly.txt"
cp "$PROGRAMS/marker-setup.exe" "$src/setup.exe"
i=0
while read -r f; do
    touch -d "@$((1600000000 + i * 7202))" "$f"
    i=$((i + 1))
done < <(find "$src" -type f | sort)
chmod a-w "$src/readonly.txt"
printf 'Tarnvel test licence.\r\nPress OK to go on.' >"$work/licence.txt"

# Compares every file of the payload with the same name under $1; $2 names the way out.
compare_tree() {
    local dest=$1 what=$2 bad=0 f want got
    while read -r f; do
        if ! cmp -s "$src/$f" "$dest/$f"; then fail "$what: $f differs or is missing"; bad=1; continue; fi
        want=$(stat -c %Y "$src/$f"); got=$(stat -c %Y "$dest/$f")
        [ "$want" = "$got" ] || { fail "$what: $f has time $got, not $want"; bad=1; }
    done < <(cd "$src" && find . -type f | sed 's|^\./||' | sort)
    [ -d "$dest/plugins/none" ] || { fail "$what: the empty folder is missing"; bad=1; }
    # Root may write anything: the mode's owner-write bit is what the attribute became.
    [ $((8#$(stat -c %a "$dest/readonly.txt") & 8#200)) = 0 ] || { fail "$what: readonly.txt is writable"; bad=1; }
    [ $bad = 0 ] && ok "$what: $(cd "$src" && find . -type f | wc -l) files byte-identical with their times"
    return 0
}

"$PACK" build -q --stub "$STUB" -o "$work/pkg.exe" --disclaimer "$work/licence.txt" "$src"
"$PACK" check "$work/pkg.exe" >"$work/check.txt" && ok "check: no box" || { cat "$work/check.txt"; fail "check"; }
unzip -tq "$work/pkg.exe" >/dev/null && ok "unzip -t" || fail "unzip -t"
7z t -bd -bso0 -bsp0 "$work/pkg.exe" && ok "7z t" || fail "7z t"
/usr/bin/python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); sys.exit(z.testzip() is not None)' "$work/pkg.exe" \
    && ok "Python zipfile testzip" || fail "Python zipfile testzip"
"$PACK" extract "$work/pkg.exe" "$work/extracted" >/dev/null && compare_tree "$work/extracted" "tarnvel-pack extract" \
    || fail "tarnvel-pack extract"

# Runs the package under Wine, accepts the disclaimer, and compares what lands in Temp.
run_under_wine() {
    local package=$1 what=$2 temp id code
    temp=$(wine_temp_dir)
    rm -rf "$temp" && mkdir -p "$temp"
    wine_run "$work/rc" "$package"
    id=$(wine_wait_window "Setup disclamer" 60) || { fail "$what: no disclaimer box"; wine_shot "pack-$what-missing"; return; }
    sleep 0.5
    wine_shot "pack-$what-disclaimer"
    wine_answer "$id" Return || fail "$what: the disclaimer box did not take Return"
    code=$(wine_wait_exit "$work/rc" 120)
    [ "$code" = 0 ] || fail "$what: exit code $code"
    xdotool search --onlyvisible --name "^Tarnvel SFX ERROR\$" >/dev/null 2>&1 && { wine_shot "pack-$what-box"; fail "$what: a failure box"; }
    wine_wait_file "$temp/setup-ran.txt" 30 && ok "$what: setup.exe was opened" || fail "$what: setup.exe was not opened"
    compare_tree "$temp" "$what under Wine"
}

run_under_wine "$work/pkg.exe" plain

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tarnvel test signer" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Tarnvel test" \
    -in "$work/pkg.exe" -out "$work/signed.exe" >/dev/null
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe" >/dev/null && ok "osslsigncode verify" || fail "osslsigncode verify"
"$PACK" check "$work/signed.exe" >"$work/check-signed.txt" && ok "check of the signed package: no box" \
    || { cat "$work/check-signed.txt"; fail "check of the signed package"; }
"$PACK" extract "$work/signed.exe" "$work/extracted-signed" >/dev/null \
    && compare_tree "$work/extracted-signed" "tarnvel-pack extract, signed" || fail "tarnvel-pack extract, signed"
run_under_wine "$work/signed.exe" signed

echo "screenshots: $WINE_ARTIFACTS/pack-plain-disclaimer.png, $WINE_ARTIFACTS/pack-signed-disclaimer.png"
exit $failures
