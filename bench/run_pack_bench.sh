#!/bin/bash
# run_pack_bench.sh -- package size of tarnvel-pack (default and max level) against zip -9 and 7z -mx=9.
#
# Usage: bench/run_pack_bench.sh [WORK_DIR]
#   WORK_DIR  holds corpus/ (made by make_corpus.sh when missing) and the archives
#             (default /tmp/pack-corpus)
#   PACK      the tool (default dist/tarnvel-pack); STUB the stub (default dist/tarnvel-sfx.exe)
# Sizes are ratios to `zip -9 -r` of the same folder; the tool's packages include the stub
# and the 12-byte trailer, the zips do not, so the ratios slightly favour the zips.
# Seconds are wall-clock for one run on this machine and only indicative.
set -euo pipefail
export LC_ALL=C TZ=UTC
HERE=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/pack-corpus}
PACK=${PACK:-$HERE/dist/tarnvel-pack}
STUB=${STUB:-$HERE/dist/tarnvel-sfx.exe}
MAKE_CORPUS=${MAKE_CORPUS:-$HERE/../shared/bench/make_corpus.sh}
[ -f "$MAKE_CORPUS" ] || MAKE_CORPUS=/work/shared/bench/make_corpus.sh
CORPUS=$WORK/corpus
[ -d "$CORPUS" ] || bash "$MAKE_CORPUS" "$CORPUS" >"$WORK/make_corpus.log"

timed() {  # timed NAME COMMAND...: runs it, records seconds
  local start end
  start=$(date +%s.%N)
  "${@:2}" >/dev/null
  end=$(date +%s.%N)
  seconds[$1]=$(echo "$end - $start" | bc)
}
declare -A seconds
rm -f "$WORK"/bench-*.zip "$WORK"/bench-*.exe
timed zip9 bash -c "cd '$CORPUS' && zip -q -9 -r '$WORK/bench-zip9.zip' ."
timed 7z9 bash -c "cd '$CORPUS' && 7z a -tzip -mx=9 -bd -bso0 -bsp0 '$WORK/bench-7z9.zip' ."
timed default "$PACK" build --stub "$STUB" --out "$WORK/bench-default.exe" "$CORPUS"
timed max "$PACK" build --stub "$STUB" --out "$WORK/bench-max.exe" --level 12 "$CORPUS"

base=$(stat -c %s "$WORK/bench-zip9.zip")
echo "corpus: $(find "$CORPUS" -type f | wc -l) files, $(du -sb "$CORPUS" | cut -f1) bytes"
printf '%-34s %12s %8s %8s\n' archive bytes "vs zip9" seconds
row() { printf '%-34s %12d %8.4f %8.1f\n' "$1" "$2" "$(echo "$2 / $base" | bc -l)" "$3"; }
row "zip -9 -r" "$base" "${seconds[zip9]}"
row "7z a -tzip -mx=9" "$(stat -c %s "$WORK/bench-7z9.zip")" "${seconds[7z9]}"
row "tarnvel-pack (default level)" "$(stat -c %s "$WORK/bench-default.exe")" "${seconds[default]}"
row "tarnvel-pack --level 12" "$(stat -c %s "$WORK/bench-max.exe")" "${seconds[max]}"
"$PACK" check "$WORK/bench-max.exe" | tail -2
