/* Where the launcher's process finds DLLs. It is elevated and usually runs from a download
** folder that the user, or anything the user downloaded, can write to: a DLL planted there
** must never be loaded into it. */
#ifndef PLATFORM_SYSTEMLIB_H
#define PLATFORM_SYSTEMLIB_H

#include <windows.h>

/* Takes the launcher's folder and the current folder out of the DLL search of every later
** load: SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) where the system has it
** (Windows 8, and 7 and Vista with their loader update), else SetDllDirectoryA("") (XP SP1
** on: takes out the current folder only). NT 4 and the consumer family have neither; there the
** full paths of LoadSystemLibrary are all the defence. Called first thing in the process. */
void RestrictDllSearch(void);

/* Loads name, a file name such as "user32.dll", from the system directory by its full path.
** Returns NULL when the path does not fit or the library cannot be loaded; the caller frees
** what it gets with FreeLibrary. */
HMODULE LoadSystemLibrary(const char *name);

/* kernel32's handle: it is mapped into every process, so asking for it searches no folder and
** takes no reference to give back. NULL only where the system cannot tell. */
HMODULE Kernel32(void);

#endif
