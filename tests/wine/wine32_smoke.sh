#!/usr/bin/env bash
# wine32_smoke.sh -- the shipping PE32 stub itself, once, under 32-bit Wine.
# These kernels refuse 32-bit ELF programs, so the 32-bit Wine loader runs under qemu-i386
# through binfmt_misc (root only). It extracts a package and opens its setup.exe. Where the
# emulation cannot be set up it prints a loud SKIP banner and exits 0.
set -euo pipefail
cd "$(dirname "$0")/../.."

skip() {
    echo "################################################################"
    echo "SKIP: the shipping PE32 stub was NOT run under 32-bit Wine: $1"
    echo "################################################################"
    exit 0
}

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/qemu-i386" ]; then
    if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/bin/qemu-i386 ] || [ ! -x /usr/lib/wine/wine ]; then
        skip "32-bit Wine needs root, qemu-user and wine32:i386"
    fi
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    # i386 ELF executables and shared objects go to qemu-i386, with the credentials of the file.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:POCF' \
        >"$binfmt/register" 2>/dev/null || true
    [ -e "$binfmt/qemu-i386" ] || skip "binfmt_misc cannot be set up here"
fi
# Emulated, every byte costs: a small first entry keeps the run to a few minutes.
WINE64=/usr/bin/wine WINE_ARTIFACTS=${WINE_ARTIFACTS:-$PWD/build/wine-artifacts/wine32} BIG_MB=2 WINE_WAIT=300 \
    bash tests/wine/extract_under_wine.sh dist/tarnvel-sfx.exe build-i686/test-programs/marker-setup.exe
