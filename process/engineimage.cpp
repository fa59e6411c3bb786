#include "engineimage.h"

#include <string.h>

#include "../platform/newfile.h"
#include "../platform/systemlib.h"
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

/* CNG's calls in bcrypt.dll, the platform's SHA-256 from Vista on. CryptoAPI's provider,
** before Vista the only one, maps crypt32.dll and through it user32.dll as well. */
typedef LONG(WINAPI *OpenAlgorithmFn)(void **alg, const WCHAR *id, const WCHAR *impl, ULONG flags);
typedef LONG(WINAPI *GetPropertyFn)(void *object, const WCHAR *name, BYTE *value, ULONG size,
                                    ULONG *got, ULONG flags);
typedef LONG(WINAPI *CngCreateHashFn)(void *alg, void **hash, BYTE *object, ULONG object_size,
                                      BYTE *secret, ULONG secret_size, ULONG flags);
typedef LONG(WINAPI *CngHashDataFn)(void *hash, BYTE *data, ULONG size, ULONG flags);
typedef LONG(WINAPI *FinishHashFn)(void *hash, BYTE *digest, ULONG size, ULONG flags);
typedef LONG(WINAPI *CngDestroyHashFn)(void *hash);
typedef LONG(WINAPI *CloseAlgorithmFn)(void *alg, ULONG flags);

/* The hash object that CNG works in; Vista wants it from the caller. */
static BYTE hash_object[1024];

/* One SHA-256 in the making, by CNG (cng set) or by CryptoAPI's calls in advapi32, looked
** up: Windows 95 has no CryptoAPI, and the exe must load there. */
struct Sha256 {
    int cng;
    HMODULE bcrypt;
    void *alg, *hash;
    CngHashDataFn cng_hash_data;
    FinishHashFn finish;
    CngDestroyHashFn cng_destroy;
    CloseAlgorithmFn close_alg;
    ULONG_PTR prov, chash;
    HashDataFn hash_data;
    GetHashParamFn get_param;
    DestroyHashFn destroy;
    ReleaseContextFn release;
};

static FARPROC Entry(HMODULE module, const char *name)
{
    return module == NULL ? NULL : GetProcAddress(module, name);
}

/* 1 with the hash begun; 0 where the system has no SHA-256 (CryptoAPI before Vista without
** its AES provider), -1 where it cannot be begun. What was begun is released by EndSha256. */
static int BeginSha256(struct Sha256 *h)
{
    static const WCHAR sha256[] = {'S', 'H', 'A', '2', '5', '6', 0};
    static const WCHAR object_length[] = {'O', 'b', 'j', 'e', 'c', 't', 'L',
                                          'e', 'n', 'g', 't', 'h', 0};
    const struct PlatformRecord *platform = GetPlatformVersion();
    HMODULE advapi32;
    OpenAlgorithmFn open_alg;
    GetPropertyFn get_property;
    CngCreateHashFn cng_create;
    AcquireContextFn acquire;
    CreateHashFn create;
    ULONG size = 0, got = 0;

    memset(h, 0, sizeof *h);
    h->cng = platform->nt && platform->major >= 6;
    if (h->cng) {
        h->bcrypt = LoadSystemLibrary("bcrypt.dll");
        open_alg = (OpenAlgorithmFn)(void *)Entry(h->bcrypt, "BCryptOpenAlgorithmProvider");
        get_property = (GetPropertyFn)(void *)Entry(h->bcrypt, "BCryptGetProperty");
        cng_create = (CngCreateHashFn)(void *)Entry(h->bcrypt, "BCryptCreateHash");
        h->cng_hash_data = (CngHashDataFn)(void *)Entry(h->bcrypt, "BCryptHashData");
        h->finish = (FinishHashFn)(void *)Entry(h->bcrypt, "BCryptFinishHash");
        h->cng_destroy = (CngDestroyHashFn)(void *)Entry(h->bcrypt, "BCryptDestroyHash");
        h->close_alg = (CloseAlgorithmFn)(void *)Entry(h->bcrypt, "BCryptCloseAlgorithmProvider");
        if (!open_alg || !get_property || !cng_create || !h->cng_hash_data || !h->finish ||
            !h->cng_destroy || !h->close_alg || open_alg(&h->alg, sha256, NULL, 0) < 0)
            return -1;
        if (get_property(h->alg, object_length, (BYTE *)&size, sizeof size, &got, 0) < 0 ||
            got != sizeof size || size > sizeof hash_object ||
            cng_create(h->alg, &h->hash, hash_object, size, NULL, 0, 0) < 0)
            return -1;
        return 1;
    }
    advapi32 = GetModuleHandleA("advapi32.dll");
    acquire = (AcquireContextFn)(void *)Entry(advapi32, "CryptAcquireContextA");
    create = (CreateHashFn)(void *)Entry(advapi32, "CryptCreateHash");
    h->hash_data = (HashDataFn)(void *)Entry(advapi32, "CryptHashData");
    h->get_param = (GetHashParamFn)(void *)Entry(advapi32, "CryptGetHashParam");
    h->destroy = (DestroyHashFn)(void *)Entry(advapi32, "CryptDestroyHash");
    h->release = (ReleaseContextFn)(void *)Entry(advapi32, "CryptReleaseContext");
    if (!acquire || !create || !h->hash_data || !h->get_param || !h->destroy || !h->release ||
        !acquire(&h->prov, NULL, NULL, PROV_RSA_AES_, CRYPT_VERIFYCONTEXT_))
        return 0;
    return create(h->prov, CALG_SHA_256_, 0, 0, &h->chash) ? 1 : 0;
}

static int AddToSha256(struct Sha256 *h, BYTE *data, DWORD n)
{
    return h->cng ? h->cng_hash_data(h->hash, data, n, 0) >= 0 : h->hash_data(h->chash, data, n, 0);
}

/* Writes the digest when digest is not NULL (1 when it was), and releases what was begun. */
static int EndSha256(struct Sha256 *h, BYTE *digest)
{
    DWORD size = DIGEST_SIZE;
    int done = 0;

    if (h->cng) {
        if (h->hash != NULL) {
            done = digest != NULL && h->finish(h->hash, digest, DIGEST_SIZE, 0) >= 0;
            h->cng_destroy(h->hash);
        }
        if (h->alg != NULL)
            h->close_alg(h->alg, 0);
        if (h->bcrypt != NULL)
            FreeLibrary(h->bcrypt);
        return done;
    }
    if (h->chash != 0) {
        done = digest != NULL && h->get_param(h->chash, HP_HASHVAL_, digest, &size, 0) &&
               size == DIGEST_SIZE;
        h->destroy(h->chash);
    }
    if (h->prov != 0)
        h->release(h->prov, 0);
    return done;
}

/* Hashes the whole file, whose first n bytes are in engine_block already, and compares the
** digest with the stamp. A system without SHA-256 is one before Vista (NT 4, 9x, 2000, XP
** before SP3), none of which has an elevation boundary to cross; from Vista on every system
** has it, so there a hash that cannot be made is no answer. */
static int CheckStamp(HANDLE file, DWORD n)
{
    struct Sha256 h;
    BYTE digest[DIGEST_SIZE];
    int verdict = ENGINE_UNHASHED, begun = BeginSha256(&h), i;

    if (begun <= 0) {
        EndSha256(&h, NULL);
        return begun == 0 ? ENGINE_NO_SHA256 : ENGINE_UNHASHED;
    }
    while (n > 0 && AddToSha256(&h, engine_block, n)) {
        if (!ReadFile(file, engine_block, sizeof engine_block, &n, NULL)) {
            verdict = ENGINE_UNREAD;
            break;
        }
    }
    if (EndSha256(&h, n == 0 && verdict == ENGINE_UNHASHED ? digest : NULL)) {
        verdict = ENGINE_VERIFIED;
        for (i = 0; i < DIGEST_SIZE; i++)
            if (digest[i] != engine_stamp.digest[i])
                verdict = ENGINE_CHANGED;
    }
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
