/* The platform's hashing on the simulated machine, CryptoAPI's AES provider and CNG's
** bcrypt.dll: their SHA-256, computed here as FIPS 180-4 describes it, so that the launcher's
** check is judged against the real digest. */
#include <string.h>

#include "machine.h"

namespace hw
{

static const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

static uint32_t Rotr(uint32_t x, int n)
{
    return x >> n | x << (32 - n);
}

/* One 64-byte block into the state. */
static void Compress(uint32_t h[8], const unsigned char *block)
{
    uint32_t w[64], v[8];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)block[4 * i] << 24 | block[4 * i + 1] << 16 | block[4 * i + 2] << 8 |
               block[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ w[i - 15] >> 3;
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ w[i - 2] >> 10;
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    memcpy(v, h, sizeof v);
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = v[7] + (Rotr(v[4], 6) ^ Rotr(v[4], 11) ^ Rotr(v[4], 25)) +
                      ((v[4] & v[5]) ^ (~v[4] & v[6])) + kRound[i] + w[i];
        uint32_t t2 = (Rotr(v[0], 2) ^ Rotr(v[0], 13) ^ Rotr(v[0], 22)) +
                      ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; i++)
        h[i] += v[i];
}

std::string Sha256(const std::string &bytes)
{
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string padded = bytes + '\x80';
    padded.resize((padded.size() + 8 + 63) / 64 * 64 - 8, '\0');
    for (int i = 7; i >= 0; i--) /* the length in bits, big-endian */
        padded += (char)((uint64_t)bytes.size() * 8 >> (8 * i));
    for (size_t at = 0; at < padded.size(); at += 64)
        Compress(h, (const unsigned char *)padded.data() + at);
    std::string digest;
    for (uint32_t word : h)
        for (int i = 3; i >= 0; i--)
            digest += (char)(word >> (8 * i));
    return digest;
}

/* The provider and hash objects: a hash keeps what it was given, and is digested at the end. */
static BOOL SimCryptAcquireContextA(ULONG_PTR *prov, LPCSTR container, LPCSTR provider, DWORD type,
                                    DWORD flags)
{
    Object o{};
    if (Failing("CryptAcquireContextA") || container || provider || type != 24 ||
        flags != 0xF0000000u)
        return FALSE;
    o.kind = Object::Crypt;
    *prov = NewObject(o);
    return TRUE;
}

static BOOL SimCryptCreateHash(ULONG_PTR prov, unsigned alg, ULONG_PTR key, DWORD flags,
                               ULONG_PTR *hash)
{
    Object o{};
    if (Failing("CryptCreateHash") || !FindObject((void *)prov, Object::Crypt) || alg != 0x800C ||
        key || flags)
        return FALSE;
    o.kind = Object::Crypt;
    o.name = "hash";
    *hash = NewObject(o);
    return TRUE;
}

/* A hash's data and digest, by either family's call. */
static BOOL HashData(const char *call, ULONG_PTR hash, const BYTE *data, DWORD size, DWORD flags)
{
    Object *o = FindObject((void *)hash, Object::Crypt);
    if (Failing(call) || o == nullptr || o->name != "hash" || flags)
        return FALSE;
    o->path.append((const char *)data, size);
    return TRUE;
}

static BOOL Digest(const char *call, ULONG_PTR hash, BYTE *digest, DWORD size, DWORD flags)
{
    Object *o = FindObject((void *)hash, Object::Crypt);
    if (Failing(call) || o == nullptr || o->name != "hash" || flags || size < 32)
        return FALSE;
    memcpy(digest, Sha256(o->path).data(), 32);
    return TRUE;
}

static BOOL SimCryptHashData(ULONG_PTR hash, const BYTE *data, DWORD size, DWORD flags)
{
    return HashData("CryptHashData", hash, data, size, flags);
}

static BOOL SimCryptGetHashParam(ULONG_PTR hash, DWORD param, BYTE *data, DWORD *size, DWORD flags)
{
    if (param != 2 || !Digest("CryptGetHashParam", hash, data, *size, flags))
        return FALSE;
    *size = 32;
    return TRUE;
}

/* Releasing a provider or a hash: only what is there, and by the call of its kind. */
static BOOL Release(const char *call, ULONG_PTR handle, bool is_hash)
{
    Object *o = FindObject((void *)handle, Object::Crypt);
    if (Failing(call) || o == nullptr || (o->name == "hash") != is_hash)
        return FALSE;
    DropObject((void *)handle);
    return TRUE;
}

static BOOL SimCryptDestroyHash(ULONG_PTR hash)
{
    return Release("CryptDestroyHash", hash, true);
}

static BOOL SimCryptReleaseContext(ULONG_PTR prov, DWORD)
{
    return Release("CryptReleaseContext", prov, false);
}

/* CNG: an algorithm provider, then a hash in the object memory the caller gives, of the size
** that the provider tells; NTSTATUS answers, negative for a failure. */
static const LONG kFailed = (LONG)0xC0000001; /* STATUS_UNSUCCESSFUL */
static const ULONG kObjectLength = 318;

static bool IsSha256(const WCHAR *id)
{
    return id != nullptr && std::u16string(id) == u"SHA256";
}

static LONG SimBCryptOpenAlgorithmProvider(void **alg, const WCHAR *id, const WCHAR *impl,
                                           ULONG flags)
{
    Object o{};
    if (Failing("BCryptOpenAlgorithmProvider") || !IsSha256(id) || impl || flags)
        return kFailed;
    o.kind = Object::Crypt;
    *alg = (void *)NewObject(o);
    return 0;
}

static LONG SimBCryptGetProperty(void *alg, const WCHAR *name, BYTE *value, ULONG size, ULONG *got,
                                 ULONG flags)
{
    Object *o = FindObject(alg, Object::Crypt);
    if (Failing("BCryptGetProperty") || o == nullptr || o->name == "hash" || name == nullptr ||
        std::u16string(name) != u"ObjectLength" || size < sizeof kObjectLength || flags)
        return kFailed;
    memcpy(value, &kObjectLength, sizeof kObjectLength);
    *got = sizeof kObjectLength;
    return 0;
}

static LONG SimBCryptCreateHash(void *alg, void **hash, BYTE *object, ULONG object_size,
                                BYTE *secret, ULONG secret_size, ULONG flags)
{
    Object *a = FindObject(alg, Object::Crypt), o{};
    if (Failing("BCryptCreateHash") || a == nullptr || a->name == "hash" || object == nullptr ||
        object_size < kObjectLength || secret || secret_size || flags)
        return kFailed;
    o.kind = Object::Crypt;
    o.name = "hash";
    *hash = (void *)NewObject(o);
    return 0;
}

static LONG SimBCryptHashData(void *hash, BYTE *data, ULONG size, ULONG flags)
{
    return HashData("BCryptHashData", (ULONG_PTR)hash, data, size, flags) ? 0 : kFailed;
}

/* CNG writes exactly the digest's size. */
static LONG SimBCryptFinishHash(void *hash, BYTE *digest, ULONG size, ULONG flags)
{
    return size == 32 && Digest("BCryptFinishHash", (ULONG_PTR)hash, digest, size, flags) ? 0
                                                                                          : kFailed;
}

static LONG SimBCryptDestroyHash(void *hash)
{
    return Release("BCryptDestroyHash", (ULONG_PTR)hash, true) ? 0 : kFailed;
}

static LONG SimBCryptCloseAlgorithmProvider(void *alg, ULONG)
{
    return Release("BCryptCloseAlgorithmProvider", (ULONG_PTR)alg, false) ? 0 : kFailed;
}

static const char kBcrypt[] = "C:\\WINDOWS\\system32\\bcrypt.dll";

const Call kCryptoCalls[] = {
    {"BCryptCloseAlgorithmProvider", kBcrypt, Entry(SimBCryptCloseAlgorithmProvider)},
    {"BCryptCreateHash", kBcrypt, Entry(SimBCryptCreateHash)},
    {"BCryptDestroyHash", kBcrypt, Entry(SimBCryptDestroyHash)},
    {"BCryptFinishHash", kBcrypt, Entry(SimBCryptFinishHash)},
    {"BCryptGetProperty", kBcrypt, Entry(SimBCryptGetProperty)},
    {"BCryptHashData", kBcrypt, Entry(SimBCryptHashData)},
    {"BCryptOpenAlgorithmProvider", kBcrypt, Entry(SimBCryptOpenAlgorithmProvider)},
    {"CryptAcquireContextA", kAdvapi32, Entry(SimCryptAcquireContextA)},
    {"CryptCreateHash", kAdvapi32, Entry(SimCryptCreateHash)},
    {"CryptDestroyHash", kAdvapi32, Entry(SimCryptDestroyHash)},
    {"CryptGetHashParam", kAdvapi32, Entry(SimCryptGetHashParam)},
    {"CryptHashData", kAdvapi32, Entry(SimCryptHashData)},
    {"CryptReleaseContext", kAdvapi32, Entry(SimCryptReleaseContext)},
    {nullptr},
};

} // namespace hw
