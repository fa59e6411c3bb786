/* The run lock: one launcher at a time on the whole machine. */
#ifndef LAUNCHER_RUNLOCK_H
#define LAUNCHER_RUNLOCK_H

#include <windows.h>

#define RUN_LOCK_TAKEN 1 /* this process holds the lock until it ends */
#define RUN_LOCK_HELD 2  /* another launcher holds it */
#define RUN_LOCK_NONE 0  /* the lock could not be made: *error tells why */

/* Takes the machine-wide run lock, a named mutex that this process holds until it ends,
** however it ends. Returns one of the RUN_LOCK_ values; *error gets GetLastError's value. */
int TakeRunLock(DWORD *error);

#endif
