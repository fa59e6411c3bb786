#include "systemlib.h"

#include <string.h>

/* Not in the headers of every toolchain that targets NT 4. */
#define SEARCH_SYSTEM32 0x00000800u /* LOAD_LIBRARY_SEARCH_SYSTEM32 */

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD flags);
typedef BOOL(WINAPI *SetDllDirectoryAFn)(LPCSTR path);

HMODULE Kernel32(void)
{
    return GetModuleHandleA("kernel32.dll");
}

/* Both calls are looked up at run time: an import of either would keep the launcher from
** starting on every system that lacks it. */
void RestrictDllSearch(void)
{
    HMODULE kernel32 = Kernel32();
    SetDefaultDllDirectoriesFn set_default_dirs;
    SetDllDirectoryAFn set_dll_dir;

    if (kernel32 == NULL)
        return;
    set_default_dirs =
        (SetDefaultDllDirectoriesFn)(void *)GetProcAddress(kernel32, "SetDefaultDllDirectories");
    if (set_default_dirs != NULL && set_default_dirs(SEARCH_SYSTEM32))
        return;
    set_dll_dir = (SetDllDirectoryAFn)(void *)GetProcAddress(kernel32, "SetDllDirectoryA");
    if (set_dll_dir != NULL)
        set_dll_dir("");
}

HMODULE LoadSystemLibrary(const char *name)
{
    char path[MAX_PATH];
    size_t name_len = strlen(name);
    UINT room;
    UINT len;

    if (name_len + 2 > sizeof path)
        return NULL;
    room = (UINT)(sizeof path - 1 - name_len); /* the directory, and one more for the "\" */
    len = GetSystemDirectoryA(path, room);
    if (len == 0 || len >= room)
        return NULL;
    path[len] = '\\';
    memcpy(path + len + 1, name, name_len + 1);
    return LoadLibraryA(path);
}
