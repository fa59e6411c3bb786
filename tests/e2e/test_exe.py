"""launcher.exe read back: how Windows loads it (imports, flags, relocations, manifest),
reproducible and small."""
import os
import re
import subprocess
from pathlib import Path


def test_launcher_exe_loads_as_meant(request):
    exe = request.config.getoption("--launcher")
    data, headers = Path(exe).read_bytes(), subprocess.run(  # times in UTC
        ["i686-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True, check=True,
        env=dict(os.environ, TZ="UTC")).stdout
    assert "(PE32)" in headers and "(Windows GUI)" in headers
    # Everything else (user32, psapi) is loaded from the system directory when needed.
    assert sorted(map(str.lower, re.findall(r"DLL Name: (\S+)", headers))) == [
        "advapi32.dll", "kernel32.dll", "msvcrt.dll"]
    for flag in "DYNAMIC_BASE", "NX_COMPAT", "NO_SEH", "TERMINAL_SERVICE_AWARE":
        assert re.search(rf"^DllCharacteristics.*\n(\t+\w+\n)*\t+{flag}\n", headers, re.M), flag
    # Kept, so that the image can move where DYNAMIC_BASE puts it.
    assert "relocations stripped" not in headers
    assert re.search(r"^Entry 5 [0-9a-f]+ 0*[1-9a-f]\w* Base Relocation", headers, re.M)
    assert "Time/Date\t\tThu Jan  1 00:00:00 1970" in headers, "a link time: builds would differ"
    # The loader finds the import tables only through these two entries.
    for entry, name in ("1", "Import Directory"), ("c", "Import Address Table Directory"):
        assert re.search(rf"^Entry {entry} 0*[1-9a-f]\w* 0*[1-9a-f]\w* {name}", headers, re.M), name
    assert len(data) <= 32768
    # A second manifest would be the toolchain's default one, linked in as well.
    assert len(re.findall(rb"<assembly\s", data)) == 1, "one manifest"
    assert re.search(rb'<requestedExecutionLevel\s+level="requireAdministrator"', data)
