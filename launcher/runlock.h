/* The run lock: one launcher at a time on the whole machine. */
#ifndef LAUNCHER_RUNLOCK_H
#define LAUNCHER_RUNLOCK_H

#include <windows.h>

/* Takes the machine-wide run lock, a named mutex that this process holds until it ends,
** however it ends. Returns 1 when it is taken; 0 when another launcher holds it, or it is
** denied, or its name is held by an object of another kind, or it cannot be made at all: a
** run without it could race another launcher, so none goes on. */
int TakeRunLock(void);

#endif
