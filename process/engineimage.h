/* The engine's file, from the launcher's look at it to the start of its process. */
#ifndef PROCESS_ENGINEIMAGE_H
#define PROCESS_ENGINEIMAGE_H

#include <windows.h>

/* The room that scripts/stamp-engine fills after the build, before the launcher is signed: a
** marker it finds the room by, then the SHA-256 of the package's bv_setup.exe; all zero in a
** launcher that was never stamped. */
struct EngineStamp {
    char marker[32];
    unsigned char digest[32];
};
extern volatile struct EngineStamp engine_stamp;

/* What the look at the engine found. From ENGINE_CHANGED on, the package is not as it was
** made, and the engine must not be started. */
enum EngineVerdict {
    ENGINE_NOT_STAMPED, /* the launcher holds no hash to check against */
    ENGINE_NO_SHA256,   /* stamped, on a system before Vista whose CryptoAPI has no SHA-256 */
    ENGINE_VERIFIED,    /* its SHA-256 is the one stamped */
    ENGINE_CHANGED,     /* its SHA-256 is another */
    ENGINE_UNREAD,      /* it could not be opened or read whole */
    ENGINE_UNHASHED     /* its SHA-256 could not be computed where the system has it */
};

struct EngineImage {
    HANDLE file; /* held until the engine's process exists; INVALID_HANDLE_VALUE: not opened */
    int is64;    /* its PE header names a 64-bit machine (x64, ARM64) */
    int verdict; /* an EngineVerdict */
};

/* Opens the engine at engine_path in the launcher's folder (never through a link, nobody let
** write, rename or delete it while it is open), reads its PE header and, in a stamped
** launcher, hashes it whole. The handle is closed again where the verdict is a stop. */
void OpenEngineImage(const char *engine_path, struct EngineImage *image);

#endif
