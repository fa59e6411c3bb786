/* Paths the ANSI calls can open. The launcher works with ANSI paths throughout, but a folder
** name outside the ANSI code page (a Cyrillic folder on a Western system, a user profile named
** in another script) comes back from the ANSI calls with question marks or best-fit
** look-alikes: a path that names nothing. On the NT family the short (8.3) form of such a path
** is plain ASCII and names the same file. The consumer family has no wide-character file names
** to lose, and its kernel32 has the wide calls only as stubs that fail, so they are looked up
** at run time and the exe still loads there. */
#include "ansipath.h"

#include <string.h>

#include "systemlib.h"
#include "version.h"

/* A wide path: as long as the longest ANSI path the launcher takes (300 bytes, terminator
** included), which is never shorter in wide characters. */
#define WIDE_PATH_SIZE 300
/* Its ANSI spelling: a double-byte code page takes up to two bytes a character. */
#define SPELLED_SIZE (2 * WIDE_PATH_SIZE)

typedef DWORD(WINAPI *GetModuleFileNameWFn)(HMODULE module, LPWSTR buffer, DWORD size);
typedef DWORD(WINAPI *GetEnvironmentVariableWFn)(LPCWSTR name, LPWSTR buffer, DWORD size);
typedef DWORD(WINAPI *GetShortPathNameWFn)(LPCWSTR long_path, LPWSTR short_path, DWORD size);

/* kernel32's wide-character calls that the check needs. */
struct WideCalls {
    GetModuleFileNameWFn get_module_file_name;
    GetEnvironmentVariableWFn get_environment_variable;
    GetShortPathNameWFn get_short_path_name;
};

/* Looks the wide calls up in kernel32, which is mapped into every process: its handle needs
** no load and no release. Returns 1 when every one is there. */
static int FindWideCalls(struct WideCalls *calls)
{
    HMODULE kernel32 = Kernel32();
    if (kernel32 == NULL)
        return 0;
    calls->get_module_file_name =
        (GetModuleFileNameWFn)(void *)GetProcAddress(kernel32, "GetModuleFileNameW");
    calls->get_environment_variable =
        (GetEnvironmentVariableWFn)(void *)GetProcAddress(kernel32, "GetEnvironmentVariableW");
    calls->get_short_path_name =
        (GetShortPathNameWFn)(void *)GetProcAddress(kernel32, "GetShortPathNameW");
    return calls->get_module_file_name != NULL && calls->get_environment_variable != NULL &&
           calls->get_short_path_name != NULL;
}

static int SameWide(const WCHAR *a, const WCHAR *b)
{
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

/* Spells wide in the ANSI code page into spelled (SPELLED_SIZE bytes). Returns its length when
** the spelling is exact, that is when it converts back to the same wide text: a best-fit
** look-alike (L for the Polish barred L) fails that test as a question mark does. Else 0. */
static DWORD SpellExactly(const WCHAR *wide, char spelled[SPELLED_SIZE])
{
    WCHAR back[WIDE_PATH_SIZE];

    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, spelled, SPELLED_SIZE, NULL, NULL) == 0)
        return 0;
    if (MultiByteToWideChar(CP_ACP, 0, spelled, -1, back, WIDE_PATH_SIZE) == 0)
        return 0;
    if (!SameWide(wide, back))
        return 0;
    return (DWORD)strlen(spelled);
}

DWORD AnsiPathOf(const WCHAR *wide, char *path, DWORD size)
{
    struct WideCalls calls;
    WCHAR short_path[WIDE_PATH_SIZE];
    char spelled[SPELLED_SIZE];
    DWORD len, short_len;

    if (!GetPlatformVersion()->nt || !FindWideCalls(&calls))
        return 0;
    len = SpellExactly(wide, spelled);
    if (len == 0) {
        /* Short names switched off on the volume: the long path comes back, unspelled again. */
        short_len = calls.get_short_path_name(wide, short_path, WIDE_PATH_SIZE);
        if (short_len == 0 || short_len >= WIDE_PATH_SIZE)
            return 0;
        len = SpellExactly(short_path, spelled);
    }
    if (len == 0 || len >= size)
        return 0;
    memcpy(path, spelled, len + 1);
    return len;
}

int WidePathExists(const WCHAR *wide)
{
    struct WideCalls calls;
    DWORD error;

    if (!FindWideCalls(&calls))
        return -1;
    if (calls.get_short_path_name(wide, NULL, 0) != 0)
        return 1;
    error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
}

/* The ANSI answer of a path query (ansi_len characters in path, of size bytes) checked against
** the same query in wide characters (the module path when variable is NULL, else that
** environment variable). On the NT family path gets the wide path's exact spelling or else its
** short form, and its length is returned; where neither exists, or the check cannot be made, 0:
** no path. The ANSI answer is never taken there: its best-fit look-alike (C:\Users\Lukasz for
** C:\Users\Łukasz) may be a folder that another user made, with files of their own. The
** consumer family's answer is the only one it has. */
static DWORD ShortFormWhereUnspelled(const WCHAR *variable, char *path, DWORD size, DWORD ansi_len)
{
    struct WideCalls calls;
    WCHAR wide[WIDE_PATH_SIZE];
    DWORD wide_len = 0, len = 0;

    if (ansi_len == 0 || ansi_len >= size || !GetPlatformVersion()->nt)
        return ansi_len;
    if (FindWideCalls(&calls))
        wide_len = variable == NULL
                       ? calls.get_module_file_name(NULL, wide, WIDE_PATH_SIZE)
                       : calls.get_environment_variable(variable, wide, WIDE_PATH_SIZE);
    if (wide_len > 0 && wide_len < WIDE_PATH_SIZE)
        len = AnsiPathOf(wide, path, size);
    if (len == 0)
        path[0] = '\0'; /* nothing of the look-alike is left to be used */
    return len;
}

DWORD GetLauncherPath(char *path, DWORD size)
{
    DWORD len = GetModuleFileNameA(NULL, path, size);
    return ShortFormWhereUnspelled(NULL, path, size, len);
}

DWORD GetTempFolder(char *value, DWORD size)
{
    static const WCHAR temp_name[] = {'T', 'E', 'M', 'P', 0};
    DWORD len = GetEnvironmentVariableA("TEMP", value, size);
    return ShortFormWhereUnspelled(temp_name, value, size, len);
}
