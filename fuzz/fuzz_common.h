/* What the fuzz targets share: a stand-in machine set up once per process, exact-size heap
** copies of the input so that AddressSanitizer sees every byte read past a terminator, and a
** check that aborts with a message (libFuzzer then saves the input as a crash). */
#ifndef FUZZ_FUZZ_COMMON_H
#define FUZZ_FUZZ_COMMON_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "hostwin.h"

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

/* The simulated machine's sandbox folder, one per process (parallel jobs each get one),
** removed when the process exits normally. */
inline std::string &SandboxPath()
{
    static std::string path;
    return path;
}
inline void RemoveSandbox()
{
    std::error_code ignored;
    std::filesystem::remove_all(SandboxPath(), ignored);
}
inline const std::string &FuzzSandbox(const char *target)
{
    std::string &path = SandboxPath();
    if (path.empty()) {
        path = std::string("/tmp/launcher-fuzz/") + target + "." + std::to_string(getpid());
        atexit(RemoveSandbox);
    }
    return path;
}

/* The input up to its first zero byte, as a NUL-terminated heap block of exactly that size:
** what a Windows call would hand over as a string. Released with free(). */
inline char *HeapString(const uint8_t *data, size_t size)
{
    size_t len = strnlen((const char *)data, size);
    char *s = (char *)malloc(len + 1);
    memcpy(s, data, len);
    s[len] = '\0';
    return s;
}

/* The stand-in's lead-byte rule under the code page in force (0 or 932). */
inline bool Lead(unsigned char c)
{
    return IsDBCSLeadByte(c) != 0;
}

#endif
