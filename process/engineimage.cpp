#include "engineimage.h"

#include <string.h>

#include "../launcher/newfile.h"

#define IMAGE_FILE_MACHINE_AMD64_ 0x8664
#define IMAGE_FILE_MACHINE_ARM64_ 0xAA64

/* The file is read in blocks of this size; the first holds the headers of any real program. */
#define ENGINE_BLOCK_SIZE 65536
static BYTE engine_block[ENGINE_BLOCK_SIZE];

static DWORD Le32(const BYTE *p)
{
    return p[0] | (DWORD)p[1] << 8 | (DWORD)p[2] << 16 | (DWORD)p[3] << 24;
}

/* 1 when the n bytes at the file's start are a PE header that names a 64-bit machine. A
** header that lies beyond them names none: the engine then counts as a 32-bit program. */
static int NamesA64BitMachine(const BYTE *start, DWORD n)
{
    DWORD pe;
    unsigned machine;

    if (n < 0x40 || start[0] != 'M' || start[1] != 'Z')
        return 0;
    pe = Le32(start + 0x3C);
    if (pe > n - 6 || memcmp(start + pe, "PE\0\0", 4) != 0)
        return 0;
    machine = start[pe + 4] | (unsigned)start[pe + 5] << 8;
    return machine == IMAGE_FILE_MACHINE_AMD64_ || machine == IMAGE_FILE_MACHINE_ARM64_;
}

HANDLE OpenEngineImage(const char *engine_path, int *is64)
{
    HANDLE file = OpenInFolderToRead(engine_path);
    DWORD got = 0;

    *is64 = 0;
    if (file == INVALID_HANDLE_VALUE)
        return file;
    if (!ReadFile(file, engine_block, sizeof engine_block, &got, NULL)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    *is64 = NamesA64BitMachine(engine_block, got);
    return file;
}
