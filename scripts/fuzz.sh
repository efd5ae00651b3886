#!/usr/bin/env bash
# fuzz.sh -- builds the libFuzzer targets and runs each one for a given time, one after the
# other; prints executions, coverage and crashes per target. Exit status 1 after any crash.
# Usage: scripts/fuzz.sh [--build-dir DIR] SECONDS [TARGET...]
#   TARGET: deflate, gate, archive (or deflate_fuzz ...); default every tests/fuzz/*_fuzz.cpp.
#   DIR: the clang build (default build-fuzz-run). Its corpus/<target> keeps what a run found
#   for the next one; the seeds and regressions of tests/fuzz are added before every run, and
#   crash, leak, timeout and out-of-memory inputs land in artifacts/<target>/.
#   FUZZ_ARGS: further libFuzzer options for every target, e.g. FUZZ_ARGS=-jobs=1.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-fuzz-run
if [ "${1:-}" = --build-dir ]; then build=$2; shift 2; fi
if ! [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
seconds=$1; shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi
for i in "${!targets[@]}"; do targets[$i]=${targets[$i]%_fuzz}_fuzz; done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ -DTARNVEL_FUZZ=ON \
  -DTARNVEL_TESTS=OFF -DTARNVEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "${targets[@]}"

# The whole-run and gate targets write a file per input: a memory-backed folder keeps that cheap.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

printf '\n%-14s %8s %12s %9s %7s %7s %9s %8s\n' target seconds executions exec/s cov ft corpus crashes
crashed=0
for name in "${targets[@]}"; do
  short=${name%_fuzz}
  corpus="$build/corpus/$short"
  artifacts="$build/artifacts/$short"
  log="$build/$name.log"
  mkdir -p "$corpus" "$artifacts"
  for kept in tests/fuzz/corpus/$short tests/fuzz/regressions/$short; do
    [ -d "$kept" ] && cp -n "$kept"/* "$corpus"/ 2>/dev/null || true
  done
  dict=()
  [ -f "tests/fuzz/$short.dict" ] && dict=(-dict="tests/fuzz/$short.dict")
  before=$(find "$artifacts" -type f | wc -l)
  start=$(date +%s)
  status=0
  # shellcheck disable=SC2086
  "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" ${FUZZ_ARGS:-} "$corpus" \
    >"$log" 2>&1 || status=$?
  elapsed=$(( $(date +%s) - start ))
  crashes=$(( $(find "$artifacts" -type f | wc -l) - before ))
  [ "$status" -ne 0 ] && [ "$crashes" -eq 0 ] && crashes=1
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$executions" ] || executions=$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#')
  last=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$log" | tail -n 1 || true)
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$last")
  corp=$(sed -nE 's/.*corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$last")
  rate=$(( ${executions:-0} / (elapsed > 0 ? elapsed : 1) ))
  printf '%-14s %8s %12s %9s %7s %7s %9s %8s\n' "$short" "$elapsed" "${executions:-?}" "$rate" \
    "${cov:-?}" "${ft:-?}" "${corp:-?}" "$crashes"
  if [ "$crashes" -gt 0 ]; then
    crashed=1
    grep -E '^(==|SUMMARY|[a-z_]+_fuzz: )|Test unit written' "$log" | head -n 20 | sed 's/^/    /'
  fi
  grep -E '^zlib refused, ours decoded' "$log" | sed 's/^/    /' || true
done
exit $crashed
