/* The launcher's own path and the TEMP folder in a form the ANSI calls can open. */
#ifndef PLATFORM_ANSIPATH_H
#define PLATFORM_ANSIPATH_H

#include <windows.h>

/* The launcher's module path, with GetModuleFileNameA's contract: the length on success, 0 on
** failure, size when the path was cut short. On the NT family a path that the ANSI code page
** cannot spell exactly comes back in its short (8.3) form, when that form can be spelled, and
** is a failure otherwise. */
DWORD GetLauncherPath(char *path, DWORD size);

/* The value of TEMP, with GetEnvironmentVariableA's contract: the length on success, 0 when it
** is unset, the size needed (terminator included) when it does not fit. On the NT family a
** folder that the ANSI code page cannot spell exactly comes back in its short form, or not at
** all, as above. */
DWORD GetTempFolder(char *value, DWORD size);

/* The path that wide names, in a form the ANSI calls can open: its exact ANSI spelling, or
** else its short (8.3) form where the code page can spell that. Returns the length written to
** path (of size bytes), or 0 when neither exists or fits, or on the consumer family. */
DWORD AnsiPathOf(const WCHAR *wide, char *path, DWORD size);

/* 1 when a file or folder exists at the wide path, 0 when nothing does, -1 when that cannot
** be told. */
int WidePathExists(const WCHAR *wide);

#endif
