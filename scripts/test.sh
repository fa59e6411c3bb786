#!/usr/bin/env bash
# Every test of both builds: the host build under the sanitizers, then the real launcher.exe
# under Wine. Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset host
cmake --build --preset host -j"$(nproc)"
ctest --preset host -j"$(nproc)"
build/host/host_tests --gtest_brief=1 # whole, once: no test may lean on another's state
ctest --preset host-sweep -j"$(nproc)"
scripts/fuzz.sh

cmake --preset win32
cmake --build --preset win32 -j"$(nproc)"
# The build is reproducible: launcher.exe built in a second folder has the same bytes.
cmake --preset win32 -B build/win32-repro >/dev/null
cmake --build build/win32-repro -j"$(nproc)" --target launcher
cmp build/win32/bin/launcher.exe build/win32-repro/bin/launcher.exe
# The Wine tests' own faults (a name used but never defined) show before any Wine runs.
/usr/bin/python3 -m pyflakes tests/e2e tests/stamp scripts/stamp-engine
# The packaging step that stamps the engine's hash into launcher.exe.
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/stamp
# Wine runs the 32-bit launcher through its own 32-bit loader, a Linux i386 program: a kernel
# without IA-32 emulation (some virtual machines switch it off) cannot start it at all, and
# an emulator registered for i386 programs makes every Wine start take minutes. There the
# Wine sessions cannot run: they are still collected, every kind, so that a fault in a test
# file shows here, and launcher.exe is still read back.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    ctest --preset win32 -j"$(nproc)"
else
    echo "WINE TESTS NOT RUN: this machine's kernel runs no 32-bit x86 code natively."
    e2e() {
        /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" --launcher build/win32/bin/launcher.exe \
            --engine build/win32/bin/bv_setup.exe --engine64 build/win32/bin/bv_setup64.exe \
            --planted build/win32/bin/planted.dll \
            --prefixes build/win32
    }
    for kind in win32 win64 nt40 win98; do e2e tests/e2e --collect-only -q --kind "$kind"; done
    e2e tests/e2e/test_exe.py
fi
