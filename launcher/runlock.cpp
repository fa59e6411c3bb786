#include "runlock.h"

#include "../process/platform.h"

#define RUN_LOCK_NAME "Brevane.SetupLauncher.RunLock"

int TakeRunLock(void)
{
    const struct PlatformRecord *platform = GetPlatformVersion();
    /* Terminal services give every session names of its own but those under Global\, which
    ** Windows 2000 and later know and NT 4 and the consumer family do not. */
    const char *name =
        platform->nt && platform->major >= 5 ? "Global\\" RUN_LOCK_NAME : RUN_LOCK_NAME;
    HANDLE lock = CreateMutexA(NULL, FALSE, name);

    /* A lock that another user's launcher made may be seen but not opened; an event or other
    ** object of the name, which anyone may make, fails the call too. */
    if (lock == NULL)
        return 0;
    /* The handle stays open on purpose: the lock is freed when the process ends. */
    return GetLastError() != ERROR_ALREADY_EXISTS;
}
