#!/usr/bin/env bash
# test.sh -- every test tier: unit and host end to end, again under ASan and UBSan, the
# real-window runs under Wine, and bounded fuzzing. Run scripts/setup.sh once before.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
failed=()

step() { echo; echo "== $*"; }

step "host build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS" || failed+=("host tests")

step "host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNVEL_SANITIZE=ON -DTARNVEL_BENCH=OFF >/dev/null
cmake --build build-asan -j "$JOBS"
ctest --test-dir build-asan --output-on-failure -j "$JOBS" || failed+=("sanitizer tests")

step "stubs"
for arch in i686 x86_64; do
  cmake -S . -B "build-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >/dev/null
  cmake --build "build-$arch" -j "$JOBS" || failed+=("stub $arch")
done
file dist/tarnvel-sfx.exe | grep -q "PE32 executable (GUI) Intel 80386" || failed+=("stub is not a PE32 GUI program")
# Debian's interpreter: pefile comes from python3-pefile.
/usr/bin/python3 tests/resources/check_resources.py dist/tarnvel-sfx.exe dist/tarnvel-sfx64.exe || failed+=("stub resources")
echo "tarnvel-sfx.exe: $(stat -c %s dist/tarnvel-sfx.exe) bytes"

step "real windows under Wine"
for script in tests/wine/*_under_wine.sh; do
  bash "$script" || failed+=("$script")
done

step "the shipping PE32 stub under 32-bit Wine (slow: emulated)"
if [ "${TARNVEL_WINE32:-1}" != 0 ]; then
  bash tests/wine/wine32_smoke.sh || failed+=("wine32 smoke")
fi

step "bounded fuzzing ($FUZZ_SECONDS s per target)"
bash scripts/fuzz.sh --build-dir build-fuzz "$FUZZ_SECONDS" || failed+=("fuzzing")

echo
if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "all tests passed"
