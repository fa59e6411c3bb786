"""Reads the built launcher.exe back: its version information, its application manifest, and
the header flags and imports that decide how Windows loads it.

Usage: test_resources.py LAUNCHER_EXE VERSION [OBJDUMP]

VERSION is the project's version as CMake has it. The PE file is parsed here, without the
toolchain's resource tools, so that what windres and the linker made is checked from outside.
With OBJDUMP given, the resource directory found here is also compared with what it reports."""
import re
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

LAUNCHER, VERSION = sys.argv[1], sys.argv[2]
OBJDUMP = sys.argv[3] if len(sys.argv) > 3 else None

RT_VERSION, RT_MANIFEST = 16, 24
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V2 = "urn:schemas-microsoft-com:asm.v2"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}


class Image:
    """A PE32 file: its sections and its resource tree, flattened to (type, name, lang, data)."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, opt_size, self.characteristics = struct.unpack_from("<2xH12xHH", data, pe + 4)
        opt = pe + 24
        if struct.unpack_from("<H", data, opt)[0] != 0x10B:
            raise ValueError("not a PE32 optional header")
        self.dll_characteristics = struct.unpack_from("<H", data, opt + 70)[0]
        count = struct.unpack_from("<I", data, opt + 92)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 96 + 8 * i)
                            for i in range(count)]
        self.rsrc_rva, self.rsrc_size = struct.unpack_from("<II", data, opt + 96 + 8 * 2)
        if count <= 2 or self.rsrc_rva == 0:
            raise ValueError("no resource directory")
        self.sections = []
        for i in range(sections):
            header = opt + opt_size + 40 * i
            name, vsize, rva, rawsize, raw = struct.unpack_from("<8sIIII", data, header)
            self.sections.append((name.rstrip(b"\0").decode(), rva, max(vsize, rawsize), raw))
        self.resources = []
        self._walk(0, [])

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA %#x outside every section" % rva)

    def imported_dlls(self):
        """The DLL names of the import directory, in its order."""
        names = []
        at = self.offset(self.directories[1][0])
        while True:
            name_rva = struct.unpack_from("<12xI", self.data, at)[0]
            if name_rva == 0:
                return names
            start = self.offset(name_rva)
            names.append(self.data[start:self.data.index(b"\0", start)].decode())
            at += 20

    def section_of(self, rva):
        return next(name for name, start, size, _ in self.sections if start <= rva < start + size)

    def _walk(self, directory, path):
        base = self.offset(self.rsrc_rva)
        named, ids = struct.unpack_from("<12xHH", self.data, base + directory)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                name = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            if target & 0x80000000:
                self._walk(target & 0x7FFFFFFF, path + [name])
            else:
                rva, size = struct.unpack_from("<II", self.data, base + target)
                at = self.offset(rva)
                self.resources.append(tuple(path + [name]) + (self.data[at:at + size],))

    def of_type(self, kind):
        return [r for r in self.resources if r[0] == kind]


def version_block(data, at=0):
    """One node of a version resource: (key, value bytes, text flag, children)."""
    length, value_length, text = struct.unpack_from("<HHH", data, at)
    end = at + 6
    while data[end:end + 2] != b"\0\0":
        end += 2
    key = data[at + 6:end].decode("utf-16-le")
    pos = (end + 2 + 3) & ~3
    size = value_length * 2 if text else value_length
    value = data[pos:pos + size]
    pos = (pos + size + 3) & ~3
    children = []
    while pos < at + length:
        child = version_block(data, pos)
        children.append(child[:4])
        pos = (child[4] + 3) & ~3
    return key, value, text, children, at + length


def text(value):
    return value.decode("utf-16-le").rstrip("\0")


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(LAUNCHER, "rb") as f:
            cls.image = Image(f.read())

    def test_one_version_resource_with_fixed_info(self):
        versions = self.image.of_type(RT_VERSION)
        self.assertEqual([(RT_VERSION, 1)], [r[:2] for r in versions])
        key, value, _, _, _ = version_block(versions[0][3])
        self.assertEqual("VS_VERSION_INFO", key)
        fixed = struct.unpack("<13I", value)
        self.assertEqual(0xFEEF04BD, fixed[0])
        parts = [int(p) for p in VERSION.split(".")] + [0, 0, 0]
        packed = (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])
        self.assertEqual(packed, fixed[2:4], "FILEVERSION")
        self.assertEqual(packed, fixed[4:6], "PRODUCTVERSION")
        self.assertEqual(1, fixed[9], "file type: an application")

    def test_version_strings(self):
        _, _, _, children, _ = version_block(self.image.of_type(RT_VERSION)[0][3])
        blocks = {c[0]: c for c in children}
        self.assertEqual({"StringFileInfo", "VarFileInfo"}, set(blocks))
        tables = blocks["StringFileInfo"][3]
        self.assertEqual(1, len(tables))
        table_key, strings = tables[0][0], {s[0]: text(s[1]) for s in tables[0][3]}
        self.assertEqual(VERSION, strings.get("FileVersion"))
        self.assertEqual(VERSION, strings.get("ProductVersion"))
        self.assertEqual("Setup launcher", strings.get("FileDescription"))
        self.assertEqual("Setup launcher", strings.get("ProductName"))
        self.assertEqual("launcher.exe", strings.get("OriginalFilename"))
        self.assertTrue(strings.get("InternalName"))
        self.assertRegex(strings.get("LegalCopyright", ""), r"^Copyright \(C\) \d{4} ")
        # Readers look the strings up by the language and code page that Translation names.
        translation = blocks["VarFileInfo"][3][0]
        self.assertEqual("Translation", translation[0])
        lang, codepage = struct.unpack("<HH", translation[1])
        self.assertEqual("%04x%04x" % (lang, codepage), table_key.lower())

    def test_one_manifest_with_id_1(self):
        # A second one would be the toolchain's default manifest linked in as well.
        self.assertEqual([(RT_MANIFEST, 1)], [r[:2] for r in self.image.of_type(RT_MANIFEST)])

    def test_manifest_requires_administrator(self):
        root = ET.fromstring(self.image.of_type(RT_MANIFEST)[0][3])
        self.assertEqual("{%s}assembly" % ASM_V1, root.tag)
        self.assertEqual("1.0", root.get("manifestVersion"))
        path = "{0}trustInfo/{0}security/{0}requestedPrivileges/{0}requestedExecutionLevel"
        levels = root.findall(path.format("{%s}" % ASM_V2))
        self.assertEqual(1, len(levels))
        self.assertEqual("requireAdministrator", levels[0].get("level"))
        self.assertEqual("false", levels[0].get("uiAccess"))

    def test_manifest_supported_systems(self):
        root = ET.fromstring(self.image.of_type(RT_MANIFEST)[0][3])
        ids = [e.get("Id") for e in root.findall("{0}compatibility/{0}application/{0}supportedOS"
                                                 .format("{%s}" % COMPAT))]
        self.assertEqual(len(ids), len(set(ids)), "each system once")
        self.assertEqual(SUPPORTED_OS, {i.lower() for i in ids})

    def test_manifest_names_no_dependent_assembly(self):
        # The launcher's only window is a message box: it needs no Common Controls.
        root = ET.fromstring(self.image.of_type(RT_MANIFEST)[0][3])
        self.assertEqual([], [e.tag for e in root.iter() if e.tag.endswith("}dependency")])

    @unittest.skipUnless(OBJDUMP, "no objdump given")
    def test_objdump_reports_the_same_resource_directory(self):
        out = subprocess.run([OBJDUMP, "-p", LAUNCHER], capture_output=True, text=True,
                             check=True).stdout
        entry = re.search(r"Entry 2 ([0-9a-f]{8}) ([0-9a-f]{8}) Resource Directory \[(\S+)\]",
                          out)
        self.assertIsNotNone(entry, "objdump shows a resource directory")
        self.assertEqual((self.image.rsrc_rva, self.image.rsrc_size),
                         (int(entry.group(1), 16), int(entry.group(2), 16)))
        self.assertEqual(self.image.section_of(self.image.rsrc_rva), entry.group(3))


DYNAMIC_BASE, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE = 0x40, 0x100, 0x400, 0x8000
RELOCS_STRIPPED = 0x1


class Header(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(LAUNCHER, "rb") as f:
            cls.image = Image(f.read())

    def test_loader_flags(self):
        flags = self.image.dll_characteristics
        for name, bit in (("DYNAMIC_BASE", DYNAMIC_BASE), ("NX_COMPAT", NX_COMPAT),
                          ("NO_SEH", NO_SEH), ("TERMINAL_SERVER_AWARE", TERMINAL_SERVER_AWARE)):
            self.assertTrue(flags & bit, "%s missing from %#x" % (name, flags))

    def test_relocations_kept_so_the_image_can_move(self):
        self.assertFalse(self.image.characteristics & RELOCS_STRIPPED)
        self.assertGreater(self.image.directories[5][1], 0, "base relocation directory")

    def test_imports_only_kernel32_advapi32_msvcrt(self):
        # Everything else (user32, psapi) is loaded from the system directory when needed.
        self.assertEqual(["advapi32.dll", "kernel32.dll", "msvcrt.dll"],
                         sorted(n.lower() for n in self.image.imported_dlls()))

    def test_no_time_stamp(self):
        # A build is reproducible only without the link time in the file header.
        pe = struct.unpack_from("<I", self.image.data, 0x3C)[0]
        self.assertEqual(0, struct.unpack_from("<I", self.image.data, pe + 8)[0])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
