#!/bin/bash
# run_extraction_bench.sh -- builds the ~200 MB payload, packs it behind the stub, times extraction vs unzip.
#
# Usage: bench/run_extraction_bench.sh [WORK_DIR] [RUNS]
#   WORK_DIR  corpus, zip and package (default /tmp/tarnvel-extraction-bench; kept between runs)
#   RUNS      timed runs of each extractor (default 5); the report gives medians
#   OUT_ROOT  where both extract (default /dev/shm/tarnvel-extraction-bench, a tmpfs)
#   BUILD_DIR host build with the benchmark (default build-archive)
#
# Payload recipe (deterministic): the shared 144 MB corpus (make_corpus.sh, default settings)
# as app/, plus a second copy of its 64-bit PE folder seven folders deep
# (app/plugins/vendor/runtime/x64/release/bin64), about 200 MB in all. Zipped with
# `zip -9 -r`, put behind the shipped stub, rebased with `zip -A`, given a 12-byte trailer.
set -euo pipefail
export LC_ALL=C TZ=UTC
HERE=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/tarnvel-extraction-bench}
RUNS=${2:-5}
OUT_ROOT=${OUT_ROOT:-/dev/shm/tarnvel-extraction-bench}
BUILD_DIR=${BUILD_DIR:-$HERE/build-archive}
STUB=${STUB:-$HERE/dist/tarnvel-sfx.exe}
MAKE_CORPUS=${MAKE_CORPUS:-$HERE/../shared/bench/make_corpus.sh}
[ -f "$MAKE_CORPUS" ] || MAKE_CORPUS=/work/shared/bench/make_corpus.sh

mkdir -p "$WORK"
PAYLOAD=$WORK/payload
if [ ! -f "$WORK/payload.done" ]; then
  rm -rf "$PAYLOAD"
  MANIFEST=$WORK/corpus.manifest bash "$MAKE_CORPUS" "$PAYLOAD/app" > "$WORK/make_corpus.log"
  DEEP=$PAYLOAD/app/plugins/vendor/runtime/x64/release
  mkdir -p "$DEEP"
  cp -a "$PAYLOAD/app/bin64" "$DEEP/bin64"
  find "$PAYLOAD" -exec touch -h -d '2024-01-01 00:00:00 UTC' {} +
  rm -f "$WORK/payload.zip" "$WORK/package.exe"
  touch "$WORK/payload.done"
fi
grep -E '^manifest:' "$WORK/make_corpus.log" || true

if [ ! -f "$WORK/package.exe" ]; then
  rm -f "$WORK/payload.zip"
  (cd "$PAYLOAD" && zip -q -9 -r "$WORK/payload.zip" .)
  cat "$STUB" "$WORK/payload.zip" > "$WORK/package.tmp"
  zip -A -q "$WORK/package.tmp"
  printf 'SFX\001\000\000\000\000\000\000\000\000' >> "$WORK/package.tmp"
  mv "$WORK/package.tmp" "$WORK/package.exe"
fi
echo "payload: $(du -sb "$PAYLOAD" | cut -f1) bytes in $(find "$PAYLOAD" -type f | wc -l) files;" \
     "zip: $(stat -c %s "$WORK/payload.zip") bytes, $(unzip -Z -1 "$WORK/payload.zip" | wc -l) entries"

cmake --build "$BUILD_DIR" --target extraction_bench -j2 > /dev/null
echo "$(uname -srm); $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); out: $(df -T "$(dirname "$OUT_ROOT")" | awk 'NR==2{print $2}')"
"$BUILD_DIR/bench/extraction_bench" "$WORK/package.exe" "$OUT_ROOT" "$RUNS"
rm -rf "$OUT_ROOT"
