#!/usr/bin/env bash
# The main job: builds launcher.exe and shows under Wine what it is for, on the bundled sample
# package with the test engine as bv_setup.exe. Two runs of the same package:
#   1. a first installation: the engine writes the product's setup log and UninstallString;
#   2. the same package again, over that installation: the launcher sets the log and the
#      value aside while the engine runs, and puts them back afterwards.
# The earlier installation's setup log and UninstallString are printed before run 2, as the
# engine sees them during it, and after it. Each run's trace log is printed too.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset win32
cmake --build --preset win32 -j"$(nproc)"

export WINEPREFIX="$PWD/build/sample-prefix" WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WINELOADER
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating a Wine prefix in $WINEPREFIX (once)"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
# Wine takes TEMP from the prefix's user environment, not from the Unix one.
wine reg add 'HKCU\Environment' /v TEMP /d 'C:\temp' /f >/dev/null 2>&1

guid=$(sed -n 's/^ProjectGUID=\([^\r]*\).*/\1/p' sample/data.tag)
key_path="SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{$guid}"
journal_path="SOFTWARE\\Brevane\\Setup Launcher\\{$guid}" # what a run set aside, kept by the launcher
info_win="C:\\Program Files\\Brevane Installation Information\\{$guid}"
info="$WINEPREFIX/drive_c/Program Files/Brevane Installation Information/{$guid}"
uninstall_command="C:\\Program Files\\Brevane\\LaunchSetup \"$info_win\\bv_setup.exe\" /u"
temp="$WINEPREFIX/drive_c/temp"

hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }

# The product as it is now: its setup log and its UninstallString value.
show_installation() {
    if [ -f "$info/setup.zmf" ]; then
        echo "  setup.zmf: \"$(tr -d '\r' <"$info/setup.zmf")\""
    else
        echo "  setup.zmf: absent"
    fi
    local value
    value=$(wine reg query "HKLM\\$key_path" /v UninstallString 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *UninstallString *REG_[A-Z_]* *//p') || true
    echo "  UninstallString: ${value:-absent}"
}

# Runs the launcher with LOG, its engine recording and then doing what the given actions say
# (BV_TEST, see tests/engine/bv_setup.cpp); prints its exit code and trace.
run_launcher() {
    rm -f "$temp/launcher.log" "$temp/engine.txt"
    set +e
    BV_TEST="rec:C:\\temp\\engine.txt;$1" wine 'C:\Sample Package\launcher.exe' LOG /silent
    local code=$?
    set -e
    wineserver -w
    echo "launcher.exe exit code: $code"
    echo "--- its trace log (C:\\temp\\launcher.log) ---"
    tr -d '\r' <"$temp/launcher.log"
    echo "--- what the engine received ---"
    tr -d '\r' <"$temp/engine.txt" | grep -E '^(cmdline|show)='
}

# A fresh start: the sample package, no installation of the product, no logs.
package="$WINEPREFIX/drive_c/Sample Package"
mkdir -p "$package" "$temp"
cp build/win32/bin/launcher.exe build/win32/bin/bv_setup.exe sample/data.tag "$package/"
# As a packager does before signing: the launcher will start only this engine.
scripts/stamp-engine "$package/launcher.exe" "$package/bv_setup.exe"
wine reg delete "HKLM\\$key_path" /f >/dev/null 2>&1 || true
rm -rf "$info"

echo
echo "The product's uninstall key: HKLM\\$key_path"
echo "Its uninstall information folder, which holds its setup log: $info_win"
echo
echo "=== Run 1: a first installation of the sample product ==="
show_installation
# The test engine writes files but makes no folders: the installation's folder is made here.
mkdir -p "$info"
run_launcher "set:$key_path\\UninstallString|1|hex:$(hex "$uninstall_command")00;\
write:$info_win\\setup.zmf|setup log of the first installation"

echo
echo "=== Run 2: the same package again, over that installation ==="
echo "Before run 2:"
show_installation
seen=""
for item in "$info_win\\setup.zmf" "$info_win\\setup.z_f" "$info_win\\uninst.dat" \
    "$key_path\\UninstallString" "$journal_path\\SetupLog" "$journal_path\\UninstallString"; do
    seen+="see:$item;"
done
run_launcher "${seen}write:$info_win\\setup.zmf|the engine's own setup log of run 2"
echo "During run 2, as the engine saw them:"
python3 -c '
import sys
for line in open(sys.argv[1], encoding="latin-1"):
    name, _, seen = line.rstrip("\n").rpartition("=")
    if name in ("cmdline", "show"):
        continue
    label = ("journal\\" if "Setup Launcher" in name else "") + name.rpartition("\\")[2]
    if seen not in ("absent", "nokey"):  # a file is seen as its bytes, a value as type:bytes
        seen = "\"" + bytes.fromhex(seen.rpartition(":")[2]).rstrip(b"\0").decode("latin-1") + "\""
    print(f"  {label}: {seen}")
' "$temp/engine.txt"
echo "After run 2 (the engine's own log deleted, the earlier installation's put back):"
show_installation
