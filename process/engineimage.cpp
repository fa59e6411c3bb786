#include "engineimage.h"

#include <string.h>

#include "../platform/newfile.h"
#include "../platform/version.h"

#define IMAGE_FILE_MACHINE_AMD64_ 0x8664
#define IMAGE_FILE_MACHINE_ARM64_ 0xAA64

/* CryptoAPI's names: the AES provider type, the only one with SHA-256 (XP SP3 on). */
#define PROV_RSA_AES_ 24
#define CRYPT_VERIFYCONTEXT_ 0xF0000000u
#define CALG_SHA_256_ 0x0000800Cu
#define HP_HASHVAL_ 2
#define DIGEST_SIZE 32

typedef BOOL(WINAPI *AcquireContextFn)(ULONG_PTR *prov, LPCSTR container, LPCSTR provider,
                                       DWORD type, DWORD flags);
typedef BOOL(WINAPI *CreateHashFn)(ULONG_PTR prov, unsigned alg, ULONG_PTR key, DWORD flags,
                                   ULONG_PTR *hash);
typedef BOOL(WINAPI *HashDataFn)(ULONG_PTR hash, const BYTE *data, DWORD size, DWORD flags);
typedef BOOL(WINAPI *GetHashParamFn)(ULONG_PTR hash, DWORD param, BYTE *data, DWORD *size,
                                     DWORD flags);
typedef BOOL(WINAPI *DestroyHashFn)(ULONG_PTR hash);
typedef BOOL(WINAPI *ReleaseContextFn)(ULONG_PTR prov, DWORD flags);

volatile struct EngineStamp engine_stamp = {"BrevaneEngineStamp:SHA-256:v1", {0}};

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

static int Stamped(void)
{
    int i;
    for (i = 0; i < DIGEST_SIZE; i++)
        if (engine_stamp.digest[i] != 0)
            return 1;
    return 0;
}

/* advapi32's hash calls, looked up: Windows 95 has no CryptoAPI, and the exe must load there. */
struct HashCalls {
    AcquireContextFn acquire;
    CreateHashFn create;
    HashDataFn hash_data;
    GetHashParamFn get_param;
    DestroyHashFn destroy;
    ReleaseContextFn release;
};

static int FindHashCalls(struct HashCalls *calls)
{
    HMODULE advapi32 = GetModuleHandleA("advapi32.dll");
    if (advapi32 == NULL)
        return 0;
    calls->acquire = (AcquireContextFn)(void *)GetProcAddress(advapi32, "CryptAcquireContextA");
    calls->create = (CreateHashFn)(void *)GetProcAddress(advapi32, "CryptCreateHash");
    calls->hash_data = (HashDataFn)(void *)GetProcAddress(advapi32, "CryptHashData");
    calls->get_param = (GetHashParamFn)(void *)GetProcAddress(advapi32, "CryptGetHashParam");
    calls->destroy = (DestroyHashFn)(void *)GetProcAddress(advapi32, "CryptDestroyHash");
    calls->release = (ReleaseContextFn)(void *)GetProcAddress(advapi32, "CryptReleaseContext");
    return calls->acquire && calls->create && calls->hash_data && calls->get_param &&
           calls->destroy && calls->release;
}

/* Hashes the whole file, whose first n bytes are in engine_block already, and compares the
** digest with the stamp. A system without SHA-256 is one before Vista (NT 4, 9x, 2000, XP
** before SP3), none of which has an elevation boundary to cross; from Vista on every system
** has it, so there a hash that cannot be made is no answer. */
static int CheckStamp(HANDLE file, DWORD n)
{
    const struct PlatformRecord *platform = GetPlatformVersion();
    struct HashCalls calls;
    ULONG_PTR prov = 0, hash = 0;
    BYTE digest[DIGEST_SIZE];
    DWORD size = sizeof digest;
    int verdict = ENGINE_UNHASHED, i;

    if (!FindHashCalls(&calls) ||
        !calls.acquire(&prov, NULL, NULL, PROV_RSA_AES_, CRYPT_VERIFYCONTEXT_))
        return platform->nt && platform->major >= 6 ? ENGINE_UNHASHED : ENGINE_NO_SHA256;
    if (!calls.create(prov, CALG_SHA_256_, 0, 0, &hash)) {
        calls.release(prov, 0);
        return platform->nt && platform->major >= 6 ? ENGINE_UNHASHED : ENGINE_NO_SHA256;
    }
    while (n > 0 && calls.hash_data(hash, engine_block, n, 0)) {
        if (!ReadFile(file, engine_block, sizeof engine_block, &n, NULL)) {
            verdict = ENGINE_UNREAD;
            break;
        }
    }
    if (n == 0 && verdict == ENGINE_UNHASHED &&
        calls.get_param(hash, HP_HASHVAL_, digest, &size, 0) && size == sizeof digest) {
        verdict = ENGINE_VERIFIED;
        for (i = 0; i < DIGEST_SIZE; i++)
            if (digest[i] != engine_stamp.digest[i])
                verdict = ENGINE_CHANGED;
    }
    calls.destroy(hash);
    calls.release(prov, 0);
    return verdict;
}

void OpenEngineImage(const char *engine_path, struct EngineImage *image)
{
    DWORD got = 0;
    int stamped = Stamped();

    image->is64 = 0;
    image->verdict = stamped ? ENGINE_UNREAD : ENGINE_NOT_STAMPED;
    image->file = OpenInFolderToRead(engine_path);
    if (image->file == INVALID_HANDLE_VALUE)
        return;
    if (!ReadFile(image->file, engine_block, sizeof engine_block, &got, NULL)) {
        CloseHandle(image->file);
        image->file = INVALID_HANDLE_VALUE;
        return;
    }
    image->is64 = NamesA64BitMachine(engine_block, got);
    if (stamped)
        image->verdict = CheckStamp(image->file, got);
    if (image->verdict >= ENGINE_CHANGED) {
        CloseHandle(image->file);
        image->file = INVALID_HANDLE_VALUE;
    }
}
