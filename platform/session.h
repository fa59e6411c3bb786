/* Whether anyone can see a box that the launcher shows. */
#ifndef PLATFORM_SESSION_H
#define PLATFORM_SESSION_H

#include <windows.h>

/* 1 unless the process's window station is known not to be interactive (no WSF_VISIBLE), as
** for a deployment tool's run as SYSTEM: a modal box there is never seen nor answered. user32
** is the caller's loaded user32.dll. Platforms without window stations answer 1. */
int BoxesCanBeSeen(HMODULE user32);

#endif
