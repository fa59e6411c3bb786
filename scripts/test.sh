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
ctest --preset win32 -j"$(nproc)"
