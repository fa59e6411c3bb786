"""scripts/stamp-engine on small PE files made here: the engine's SHA-256 lands after the
marker, the checksum is the one Windows computes, and a refused launcher is left as it was."""
import hashlib
import struct
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "stamp-engine"
MARKER = b"BrevaneEngineStamp:SHA-256:v1\0\0\0"
CHECKSUM_AT = 64 + 24 + 64  # e_lfanew is 64 in these files
ENGINE = b"MZ" + bytes(58) + struct.pack("<I", 64) + b"PE\0\0" + b"engine one"
OTHER_ENGINE = ENGINE + b" and two"


def pe(plus=False, directories=16, certificate=(0, 0), markers=1, tail=b"\x90" * 7):
    """A launcher of a few hundred bytes: DOS header, PE signature, COFF header, an optional
    header with a stale checksum and its data directories, then the stamp blocks."""
    fixed = 112 if plus else 96
    optional = bytearray(fixed + 8 * directories)
    struct.pack_into("<H", optional, 0, 0x20B if plus else 0x10B)
    struct.pack_into("<I", optional, 64, 0xDEADBEEF)  # a stale checksum, to be taken as zero
    struct.pack_into("<I", optional, fixed - 4, directories)
    if directories > 4:
        struct.pack_into("<II", optional, fixed + 32, *certificate)
    coff = struct.pack("<HHIIIHH", 0x8664 if plus else 0x14C, 1, 0, 0, 0, len(optional), 0x102)
    dos = b"MZ" + bytes(58) + struct.pack("<I", 64)
    return dos + b"PE\0\0" + coff + bytes(optional) + (MARKER + bytes(32) + tail) * markers


def patched(data, offset, fmt, *values):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, *values)
    return bytes(data)


def checksum(data):
    """The end-around-carry sum in closed form (the sum modulo 0xFFFF, where a non-zero
    multiple folds to 0xFFFF), plus the length."""
    words = data[:CHECKSUM_AT] + bytes(4) + data[CHECKSUM_AT + 4:] + bytes(len(data) % 2)
    total = sum(struct.unpack(f"<{len(words) // 2}H", words))
    return (total and (total - 1) % 0xFFFF + 1) + len(data)


def run(folder, engine, launcher=None, args=("launcher.exe", "bv_setup.exe")):
    if launcher is not None:
        (folder / "launcher.exe").write_bytes(launcher)
    (folder / "bv_setup.exe").write_bytes(engine)
    return subprocess.run([SCRIPT, *args], cwd=folder, capture_output=True, text=True)


ONE, TWO = hashlib.sha256(ENGINE).hexdigest(), hashlib.sha256(OTHER_ENGINE).hexdigest()


@pytest.mark.parametrize("launcher", [
    pe(),  # odd length: the last byte is a word of its own
    pe(tail=b"\x90" * 8),
    pe(plus=True),
    pe(directories=4),  # no certificate entry: unsigned, and nothing read past the directories
], ids=["pe32", "pe32-even-length", "pe32plus", "four-directories"])
def test_stamps_restamps_and_stamps_again_alike(tmp_path, launcher):
    (tmp_path / "launcher.exe").write_bytes(launcher)
    room = launcher.index(MARKER) + 32
    results = []
    for engine, digest, state in [(ENGINE, ONE, "new stamp"),
                                  (ENGINE, ONE, "the launcher already held this stamp"),
                                  (OTHER_ENGINE, TWO, f"replaces the earlier stamp {ONE}"),
                                  (ENGINE, ONE, f"replaces the earlier stamp {TWO}")]:
        result = run(tmp_path, engine)
        assert (result.returncode, result.stderr, result.stdout) == (0, "", "stamped launcher.exe "
                f"with the SHA-256 of bv_setup.exe: {digest} ({state})\n")
        data = (tmp_path / "launcher.exe").read_bytes()
        assert data[room:room + 32].hex() == digest
        assert struct.unpack_from("<I", data, CHECKSUM_AT)[0] == checksum(data)
        rest = slice(None, CHECKSUM_AT), slice(CHECKSUM_AT + 4, room), slice(room + 32, None)
        assert [data[s] for s in rest] == [launcher[s] for s in rest]
        results.append(data)
    assert results[1] == results[0] != results[2] and results[3] == results[0]


@pytest.mark.parametrize("launcher, engine, reason", [
    (pe(certificate=(0x200, 0x80)), ENGINE,
     "launcher.exe is already signed: stamp first, then sign"),
    (pe(plus=True, certificate=(0, 8)), ENGINE, "already signed"),  # a size alone is a table
    (pe(), b"#!/bin/sh\n", "bv_setup.exe is not a PE file (no MZ header)"),
    (pe(), ENGINE[:64], "bv_setup.exe is not a PE file (e_lfanew 0x40 lies outside the file)"),
    (pe(), ENGINE.replace(b"PE", b"NE"), "bv_setup.exe is not a PE file (no PE signature"),
    (pe(markers=0), ENGINE, "launcher.exe holds no stamp marker, where it needs exactly one"),
    (pe(markers=2), ENGINE, "launcher.exe holds the stamp marker 2 times"),
    (pe(markers=0) + MARKER + bytes(31), ENGINE, "ends inside its stamp block"),
    (patched(pe(markers=0), 232, "32s", MARKER), ENGINE, "stamp marker inside its headers"),
    (b"ZM" + pe()[2:], ENGINE, "launcher.exe is not a PE file (no MZ header)"),
    (patched(pe(), 0x3C, "<I", 4096), ENGINE, "(e_lfanew 0x1000 lies outside the file)"),
    (patched(pe(), 88, "<H", 0x107), ENGINE, "optional header of unknown kind (magic 0x107)"),
    (pe()[:150], ENGINE, "cut short inside its optional header"),
    (patched(pe(), 88 + 92, "<I", 17), ENGINE, "no room for its 17 data directories"),
    (patched(pe(), 88 + 92, "<I", 1 << 28), ENGINE, "no room for its 268435456 data"),
], ids=["signed", "signed-size-only", "engine-not-mz", "engine-cut-short", "engine-not-pe",
        "no-marker", "two-markers", "no-room-after-marker", "marker-in-headers", "not-mz",
        "e_lfanew-outside", "unknown-magic", "cut-short", "directories-past-header",
        "directories-past-file"])
def test_refuses_and_leaves_the_launcher_alone(tmp_path, launcher, engine, reason):
    result = run(tmp_path, engine, launcher)
    assert (result.returncode, result.stdout, result.stderr.count("\n")) == (1, "", 1)
    assert result.stderr.startswith("stamp-engine: ") and reason in result.stderr
    assert (tmp_path / "launcher.exe").read_bytes() == launcher


@pytest.mark.parametrize("args, code, reason", [
    (["gone.exe", "bv_setup.exe"], 1, "stamp-engine: cannot read gone.exe: No such file"),
    (["launcher.exe", "gone.exe"], 1, "stamp-engine: cannot read gone.exe: No such file"),
    (["launcher.exe"], 2, "arguments are required: ENGINE.EXE"),
])
def test_missing_files_and_wrong_usage(tmp_path, args, code, reason):
    result = run(tmp_path, ENGINE, pe(), args)
    assert (result.returncode, result.stdout) == (code, "") and reason in result.stderr
    assert (tmp_path / "launcher.exe").read_bytes() == pe()
