#!/bin/bash
# run_pack_bench.sh -- package size and time of tarnvel-pack (default level and --best) next to
# zip -9 and 7z -tzip -mx=9, on one payload, in one run, as ratios to zip -9.
#
# Usage: bench/run_pack_bench.sh [WORK_DIR]
#   WORK_DIR  holds corpus/ (made by make_corpus.sh when missing) and the archives
#             (default /tmp/pack-corpus)
#   PACK      the tool (default dist/tarnvel-pack); STUB the stub (default dist/tarnvel-sfx.exe)
# The packages' archive part is compared: the package less the stub and the trailer, which a
# zip does not carry. Times are wall-clock seconds of one run on this machine; zip and 7z
# -tzip -mx=9 compress on one thread, tarnvel-pack on every core.
# Goals: the default level smaller than zip -9 and faster; --best smaller than 7z -mx=9.
set -euo pipefail
export LC_ALL=C TZ=UTC
HERE=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/pack-corpus}
PACK=${PACK:-$HERE/dist/tarnvel-pack}
STUB=${STUB:-$HERE/dist/tarnvel-sfx.exe}
MAKE_CORPUS=${MAKE_CORPUS:-$HERE/../shared/bench/make_corpus.sh}
[ -f "$MAKE_CORPUS" ] || MAKE_CORPUS=/work/shared/bench/make_corpus.sh
CORPUS=$WORK/corpus
mkdir -p "$WORK"
[ -d "$CORPUS" ] || bash "$MAKE_CORPUS" "$CORPUS" >"$WORK/make_corpus.log"

declare -A seconds bytes
timed() {  # timed NAME COMMAND...: runs it, records seconds
    local start end
    start=$(date +%s.%N)
    "${@:2}" >/dev/null
    end=$(date +%s.%N)
    seconds[$1]=$(echo "$end - $start" | bc)
}
rm -f "$WORK"/bench-*.zip "$WORK"/bench-*.exe
timed zip9 bash -c "cd '$CORPUS' && zip -q -9 -r '$WORK/bench-zip9.zip' ."
timed 7z9 bash -c "cd '$CORPUS' && 7z a -tzip -mx=9 -bd -bso0 -bsp0 '$WORK/bench-7z9.zip' ."
timed default "$PACK" build -q --stub "$STUB" -o "$WORK/bench-default.exe" "$CORPUS"
timed best "$PACK" build -q --stub "$STUB" -o "$WORK/bench-best.exe" --best "$CORPUS"

stub=$(stat -c %s "$STUB")
bytes[zip9]=$(stat -c %s "$WORK/bench-zip9.zip")
bytes[7z9]=$(stat -c %s "$WORK/bench-7z9.zip")
bytes[default]=$(( $(stat -c %s "$WORK/bench-default.exe") - stub - 12 ))
bytes[best]=$(( $(stat -c %s "$WORK/bench-best.exe") - stub - 12 ))

echo "corpus: $(find "$CORPUS" -type f | wc -l) files, $(du -sb "$CORPUS" | cut -f1) bytes; $(nproc) cores"
printf '%-34s %12s %9s %8s %9s\n' archive bytes "size/zip9" seconds "time/zip9"
row() {
    printf '%-34s %12d %9.4f %8.1f %9.3f\n' "$1" "${bytes[$2]}" "$(echo "${bytes[$2]} / ${bytes[zip9]}" | bc -l)" \
        "${seconds[$2]}" "$(echo "${seconds[$2]} / ${seconds[zip9]}" | bc -l)"
}
row "zip -9 -r" zip9
row "7z a -tzip -mx=9" 7z9
row "tarnvel-pack build (level 9)" default
row "tarnvel-pack build --best" best

goal() {  # goal TEXT CONDITION
    if [ "$(echo "$2" | bc -l)" = 1 ]; then echo "goal met:    $1"; else echo "goal missed: $1"; fi
}
goal "default level smaller than zip -9" "${bytes[default]} < ${bytes[zip9]}"
goal "default level faster than zip -9" "${seconds[default]} < ${seconds[zip9]}"
goal "--best smaller than 7z -tzip -mx=9" "${bytes[best]} < ${bytes[7z9]}"
"$PACK" check "$WORK/bench-best.exe" | tail -2
