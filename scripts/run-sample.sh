#!/usr/bin/env bash
# The main job: builds launcher.exe and runs it under Wine on the bundled sample package (with
# the test engine as bv_setup.exe), then prints the trace log and the engine's command line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset win32
cmake --build --preset win32 -j"$(nproc)"

export WINEPREFIX="$PWD/build/sample-prefix" WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating a Wine prefix in $WINEPREFIX (once)"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
# Wine takes TEMP from the prefix's user environment, not from the Unix one.
wine reg add 'HKCU\Environment' /v TEMP /d 'C:\temp' /f >/dev/null 2>&1
wineserver -w

package="$WINEPREFIX/drive_c/Sample Package"
mkdir -p "$package" "$WINEPREFIX/drive_c/temp"
cp build/win32/bin/launcher.exe build/win32/bin/bv_setup.exe "$package/"
cp sample/data.tag "$package/"
rm -f "$WINEPREFIX/drive_c/temp/launcher.log" "$WINEPREFIX/drive_c/temp/engine.txt"

set +e
BV_TEST_RECORD='C:\temp\engine.txt' \
    wine 'C:\Sample Package\launcher.exe' LOG /silent
code=$?
set -e
wineserver -w

echo "launcher.exe exit code: $code"
echo "--- trace log (C:\\temp\\launcher.log) ---"
cat "$WINEPREFIX/drive_c/temp/launcher.log" | tr -d '\r'
echo "--- what the engine received ---"
cat "$WINEPREFIX/drive_c/temp/engine.txt" 2>/dev/null | tr -d '\r' || echo "(no record)"
