#include "runlock.h"

#include "../process/platform.h"

#define RUN_LOCK_NAME "Brevane.SetupLauncher.RunLock"

int TakeRunLock(DWORD *error)
{
    const struct PlatformRecord *platform = GetPlatformVersion();
    /* Terminal services give every session names of its own but those under Global\, which
    ** Windows 2000 and later know and NT 4 and the consumer family do not. */
    const char *name =
        platform->nt && platform->major >= 5 ? "Global\\" RUN_LOCK_NAME : RUN_LOCK_NAME;
    HANDLE lock = CreateMutexA(NULL, FALSE, name);

    *error = GetLastError();
    /* A lock that another user's launcher made may be seen but not opened. */
    if (lock == NULL)
        return *error == ERROR_ACCESS_DENIED ? RUN_LOCK_HELD : RUN_LOCK_NONE;
    /* The handle stays open on purpose: the lock is freed when the process ends. */
    return *error == ERROR_ALREADY_EXISTS ? RUN_LOCK_HELD : RUN_LOCK_TAKEN;
}
