"""launcher.exe read back, parsed here rather than with the toolchain's tools: how Windows loads
it (imports, flags, relocations, manifest), reproducible and small."""
import re
import struct
from pathlib import Path

DYNAMIC_BASE, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE = 0x40, 0x100, 0x400, 0x8000
RELOCS_STRIPPED = 0x1


def test_launcher_exe_loads_as_meant(request):
    data = Path(request.config.getoption("--launcher")).read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0" and struct.unpack_from("<H", data, pe + 24)[0] == 0x10B
    count, stamp, size, flags = struct.unpack_from("<2xHI8xHH", data, pe + 4)
    dll_flags = struct.unpack_from("<H", data, pe + 24 + 70)[0]
    dirs = [struct.unpack_from("<II", data, pe + 120 + 8 * i) for i in range(16)]
    sections = [struct.unpack_from("<8xIIII", data, pe + 24 + size + 40 * i)
                for i in range(count)]  # virtual size, address, raw size, file offset

    def at(rva):
        return next(raw + rva - start for vsize, start, rawsize, raw in sections
                    if start <= rva < start + max(vsize, rawsize))

    # Everything else (user32, psapi) is loaded from the system directory when needed.
    imports, entry = [], at(dirs[1][0])
    while name := struct.unpack_from("<12xI", data, entry)[0]:
        imports.append(data[at(name):data.index(b"\0", at(name))].lower())
        entry += 20
    assert sorted(imports) == [b"advapi32.dll", b"kernel32.dll", b"msvcrt.dll"]
    for bit in DYNAMIC_BASE, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE:
        assert dll_flags & bit, f"{bit:#x} missing from the DllCharacteristics {dll_flags:#x}"
    # Kept, so that the image can move where DYNAMIC_BASE puts it.
    assert not flags & RELOCS_STRIPPED and dirs[5][1] > 0, "no base relocations"
    assert stamp == 0, "the link time would make each build differ"
    assert len(data) <= 20480
    # A second manifest would be the toolchain's default one, linked in as well.
    assert len(re.findall(rb"<assembly\s", data)) == 1, "one manifest"
    assert re.search(rb'<requestedExecutionLevel\s+level="requireAdministrator"', data)
