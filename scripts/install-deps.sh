#!/usr/bin/env bash
# Installs what the builds and tests need on Debian, skipping what is already there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

for pkg in cmake make g++ libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 \
    binutils-mingw-w64-x86-64 wine wine64 python3 \
    python3-pytest python3-pyflakes clang-14 libclang-rt-14-dev hyperfine; do
    have "$pkg" || need+=("$pkg")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need+=(wine32:i386)
elif ! have wine32:i386; then
    need+=(wine32:i386)
fi

if [ ${#need[@]} -gt 0 ]; then
    echo "Installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
fi
