#!/bin/bash
# run_decoder_bench.sh -- deflate decoding throughput and instructions per byte: ours, zlib, libdeflate.
#
# Usage: bench/run_decoder_bench.sh [CORPUS_DIR]     (from the repository root)
#   BUILD=dir      host build to use (default build-deflate; configured if missing)
#   PASSES=n       timed passes, the median is reported (default 5)
#   EVERY=n        callgrind runs on every nth file of the corpus (default 10)
# The corpus is the deterministic installer payload of make_corpus.sh; it is built first
# when CORPUS_DIR does not exist, and never committed.
set -euo pipefail
cd "$(dirname "$0")/.."
CORPUS=${1:-/tmp/bench-corpus/corpus}
BUILD=${BUILD:-build-deflate}
PASSES=${PASSES:-5}
EVERY=${EVERY:-10}
MAKE_CORPUS=${MAKE_CORPUS:-../shared/bench/make_corpus.sh}

[ -d "$CORPUS" ] || "$MAKE_CORPUS" "$CORPUS"
[ -f "$BUILD/build.ninja" ] || cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target decoder_bench >/dev/null
BENCH="$BUILD/bench/decoder_bench"

echo "== throughput: $BENCH --passes $PASSES $CORPUS"
"$BENCH" --passes "$PASSES" "$CORPUS"

if ! command -v valgrind >/dev/null; then
    echo "(valgrind not installed: no instruction counts)"
    exit 0
fi
echo "== instructions per output byte (callgrind, one pass over every ${EVERY}th file)"
for who in ours zlib libdeflate crc; do
    out=$(mktemp)
    valgrind --tool=callgrind --toggle-collect="*pass_${who}*" --callgrind-out-file=/dev/null \
        "$BENCH" --only "$who" --every "$EVERY" "$CORPUS" >"$out" 2>&1
    refs=$(sed -n 's/.*I *refs: *//p' "$out" | tr -d ,)
    bytes=$(sed -n "s/^${who}: [0-9]* files, \([0-9]*\) bytes out.*/\1/p" "$out")
    grep -q "^${who}: .* ok$" "$out" || { echo "$who: wrong result"; cat "$out"; exit 1; }
    awk -v w="$who" -v r="$refs" -v b="$bytes" 'BEGIN { printf "  %-11s %6.2f instructions/byte (%d over %d bytes)\n", w, r / b, r, b }'
    rm -f "$out"
done
echo "  (ours includes the CRC-32 that emit_window computes; crc is that CRC alone)"
