#!/usr/bin/env bash
# The launcher's bench: size, run time against the least possible launcher, CPU time while the
# engine runs, the wait for an engine's copy on both routes against launchers that poll, the
# cost of the engine check on a 50 MB engine (all under Wine), and the poll cost against the
# number of processes on the host stand-in. Prints one markdown table. See bench/README.md.
#
# Builds what it needs: the win32 preset when launcher.exe or the test engine is missing,
# bench/host into build/bench-host, the minimal launcher, the two pollers and the bench engine
# into build/bench. Makes one Wine prefix in a temporary folder, keeps a persistent wineserver
# on it for the run, and removes both at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$(date +%s)

missing=()
for tool in hyperfine wine wineserver wineboot i686-w64-mingw32-g++ cmake python3 sha256sum; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench: missing ${missing[*]}." >&2
    for tool in "${missing[@]}"; do
        if [ "$tool" = hyperfine ]; then
            echo "bench: hyperfine times the runs; install it: apt-get install hyperfine" >&2
        else
            echo "bench: $tool comes with scripts/install-deps.sh" >&2
        fi
    done
    exit 2
fi

if [ ! -f build/win32/bin/launcher.exe ] || [ ! -f build/win32/bin/bv_setup.exe ]; then
    echo "bench: building the win32 preset" >&2
    cmake --preset win32 >/dev/null
    cmake --build --preset win32 -j"$(nproc)" >/dev/null
fi

echo "bench: building the host poll bench (build/bench-host)" >&2
cmake -S bench/host -B build/bench-host -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-host -j"$(nproc)" >/dev/null

# Size flags like the product's (cmake/win32.cmake), each program with its own entry point and
# kernel32 alone.
echo "bench: building the minimal launcher, the pollers and the bench engine (build/bench)" >&2
mkdir -p build/bench
flags=(-Os -Wall -Wextra -Werror -Wshadow -Wformat=2 -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -ffunction-sections)
link=(-mwindows -nostartfiles -s -static-libgcc -static-libstdc++ -Wl,--gc-sections)
i686-w64-mingw32-g++ "${flags[@]}" -o build/bench/minimal_launcher.exe \
    bench/minimal_launcher.cpp "${link[@]}" -Wl,-e,_MinimalStartup -lkernel32
i686-w64-mingw32-g++ "${flags[@]}" -DPOLL_PSAPI -o build/bench/nt4_poller.exe \
    bench/poller.cpp "${link[@]}" -Wl,-e,_PollerStartup -lkernel32
i686-w64-mingw32-g++ "${flags[@]}" -DPOLL_TOOLHELP -o build/bench/toolhelp_poller.exe \
    bench/poller.cpp "${link[@]}" -Wl,-e,_PollerStartup -lkernel32
# GetSystemTimePreciseAsFileTime is declared from Windows 8 on.
i686-w64-mingw32-g++ "${flags[@]}" -D_WIN32_WINNT=0x0602 -o build/bench/stamp_engine.exe \
    bench/stamp_engine.cpp "${link[@]}" -Wl,-e,_StampEngineStartup -lkernel32

echo "bench: poll cost on the host stand-in" >&2
host_tsv=build/bench/poll_cost.tsv
build/bench-host/poll_cost >"$host_tsv"

prefix=$(mktemp -d /tmp/launcher-bench-XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
}
trap cleanup EXIT

echo "bench: making the Wine prefix $prefix" >&2
wineboot -i >/dev/null 2>&1
wineserver -w
# A persistent server for the prefix: every run then starts against a live server and its
# services, so that the run times are of the programs rather than of Wine's start-up.
wineserver -p
# Wine takes TEMP from the prefix's user environment, not from the Unix one.
wine reg add 'HKCU\Environment' /v TEMP /d 'C:\temp' /f >/dev/null 2>&1

drive_c=$prefix/drive_c
mkdir -p "$drive_c/temp" "$drive_c/benchpkg" "$drive_c/benchstamp" "$drive_c/benchbig"
for pkg in benchpkg benchstamp benchbig; do
    cp build/win32/bin/launcher.exe "$drive_c/$pkg/"
    printf '[TagInfo]\r\nProjectGUID=BENCH-GUID\r\n' >"$drive_c/$pkg/data.tag"
done
# The package of the run time ratio: the test engine, the launcher stamped for it (so that
# its run holds the engine check), the same launcher unstamped, the minimal launcher.
cp build/win32/bin/bv_setup.exe build/bench/minimal_launcher.exe "$drive_c/benchpkg/"
cp build/win32/bin/launcher.exe "$drive_c/benchpkg/unstamped_launcher.exe"
scripts/stamp-engine "$drive_c/benchpkg/launcher.exe" "$drive_c/benchpkg/bv_setup.exe" >/dev/null
# The package of the waits: the bench engine and the two pollers.
cp build/bench/stamp_engine.exe "$drive_c/benchstamp/bv_setup.exe"
cp build/bench/nt4_poller.exe build/bench/toolhelp_poller.exe "$drive_c/benchstamp/"
# The package of the engine check: the test engine padded at its end to 50 MB (bytes after the
# last section, which the loader does not read: still a valid PE), launcher.exe unstamped and
# stamped_launcher.exe stamped for it.
big=$drive_c/benchbig/bv_setup.exe
cp build/win32/bin/bv_setup.exe "$big"
head -c $((50 * 1024 * 1024 - $(stat -c %s "$big"))) /dev/urandom >>"$big"
cp build/win32/bin/launcher.exe "$drive_c/benchbig/stamped_launcher.exe"
scripts/stamp-engine "$drive_c/benchbig/stamped_launcher.exe" "$big" >/dev/null

python3 bench/wine_measure.py --prefix "$prefix" --pkg "$drive_c/benchpkg" \
    --stamp-pkg "$drive_c/benchstamp" --big-pkg "$drive_c/benchbig" \
    --launcher build/win32/bin/launcher.exe \
    --minimal build/bench/minimal_launcher.exe --host-tsv "$host_tsv"
echo
echo "Whole bench: $(($(date +%s) - started)) s, launcher.exe of $(date -r build/win32/bin/launcher.exe '+%F %T')."
