/* A launcher that waits the way launchers wait when they cannot hold the engine's copies by
** their handles: it starts bv_setup.exe from its own folder hidden, waits for that process,
** then polls every 5 ms until no engine process is found, and exits with the engine's code.
** The yardstick for launcher.exe's wait on each of its two routes, built twice:
**   POLL_PSAPI     each poll loads psapi.dll by its system-directory path, looks up its three
**                  calls, enumerates the process ids, opens each process, lists its modules
**                  and looks for "bv_setup.exe" in every module's path, then frees psapi.dll:
**                  the NT 4 way, with nothing kept from one poll to the next.
**   POLL_TOOLHELP  each poll takes a Toolhelp snapshot (CreateToolhelp32Snapshot looked up by
**                  GetProcAddress) and compares every process's exe file name, letter case
**                  folded, with "bv_setup.exe".
** No C runtime: kernel32 alone, its own entry point, like the minimal launcher. */
#include <windows.h>
#include <tlhelp32.h>

#if defined(POLL_PSAPI) == defined(POLL_TOOLHELP)
#error "define exactly one of POLL_PSAPI and POLL_TOOLHELP"
#endif

#include "start_engine.h"

#ifdef POLL_PSAPI
typedef BOOL(WINAPI *EnumProcessesFn)(DWORD *ids, DWORD size, DWORD *needed);
typedef BOOL(WINAPI *EnumProcessModulesFn)(HANDLE process, HMODULE *modules, DWORD size,
                                           DWORD *needed);
typedef DWORD(WINAPI *GetModuleFileNameExAFn)(HANDLE process, HMODULE module, LPSTR name,
                                              DWORD size);

static DWORD process_ids[1024];
static HMODULE modules[1024];
static char module_path[MAX_PATH];
static char psapi_path[MAX_PATH + 16];

/* 1 when text holds the engine's name as it is spelt, byte for byte. */
static int HoldsEngineName(const char *text)
{
    DWORD i;
    for (; *text != '\0'; text++) {
        for (i = 0; engine[i] != '\0' && text[i] == engine[i]; i++) {
        }
        if (engine[i] == '\0')
            return 1;
    }
    return 0;
}

static int ProcessHasEngineModule(HANDLE process, EnumProcessModulesFn enum_modules,
                                  GetModuleFileNameExAFn module_file_name)
{
    DWORD needed = 0, count, i;
    if (!enum_modules(process, modules, sizeof modules, &needed))
        return 0;
    count = needed / sizeof modules[0];
    if (count > sizeof modules / sizeof modules[0])
        count = sizeof modules / sizeof modules[0];
    for (i = 0; i < count; i++) {
        if (module_file_name(process, modules[i], module_path, sizeof module_path) == 0)
            continue;
        module_path[sizeof module_path - 1] = '\0';
        if (HoldsEngineName(module_path))
            return 1;
    }
    return 0;
}

/* 1 when an engine process runs, 0 when none does or the scan cannot be made. */
static int EngineRuns(void)
{
    static const char name[] = "\\psapi.dll";
    HMODULE psapi;
    EnumProcessesFn enum_processes;
    EnumProcessModulesFn enum_modules;
    GetModuleFileNameExAFn module_file_name;
    DWORD len, needed = 0, count, i;
    int found = 0;

    len = GetSystemDirectoryA(psapi_path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return 0;
    for (i = 0; i < sizeof name; i++)
        psapi_path[len + i] = name[i];
    psapi = LoadLibraryA(psapi_path);
    if (psapi == NULL)
        return 0;
    enum_processes = (EnumProcessesFn)(void *)GetProcAddress(psapi, "EnumProcesses");
    enum_modules = (EnumProcessModulesFn)(void *)GetProcAddress(psapi, "EnumProcessModules");
    module_file_name =
        (GetModuleFileNameExAFn)(void *)GetProcAddress(psapi, "GetModuleFileNameExA");
    if (enum_processes != NULL && enum_modules != NULL && module_file_name != NULL &&
        enum_processes(process_ids, sizeof process_ids, &needed)) {
        count = needed / sizeof process_ids[0];
        if (count > sizeof process_ids / sizeof process_ids[0])
            count = sizeof process_ids / sizeof process_ids[0];
        for (i = 0; i < count && !found; i++) {
            HANDLE process =
                OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_ids[i]);
            if (process == NULL)
                continue;
            found = ProcessHasEngineModule(process, enum_modules, module_file_name);
            CloseHandle(process);
        }
    }
    FreeLibrary(psapi);
    return found;
}
#endif

#ifdef POLL_TOOLHELP

static char Folded(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

/* 1 when the file name part of path is the engine's, ASCII letters folded. */
static int IsEngineFile(const char *path)
{
    const char *name = path, *p;
    DWORD i;
    for (p = path; *p != '\0'; p++) {
        if (*p == '\\' || *p == '/')
            name = p + 1;
    }
    for (i = 0; engine[i] != '\0' && Folded(name[i]) == engine[i]; i++) {
    }
    return engine[i] == '\0' && name[i] == '\0';
}

/* 1 when an engine process runs, 0 when none does or the snapshot cannot be taken. */
static int EngineRuns(void)
{
    PROCESSENTRY32 entry;
    ProcessWalkFn process_next;
    HANDLE snapshot = FirstProcess(&entry, &process_next);
    int found = 0;

    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    do {
        entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
        found = IsEngineFile(entry.szExeFile);
    } while (!found && process_next(snapshot, &entry));
    CloseHandle(snapshot);
    return found;
}
#endif

extern "C" void PollerStartup(void)
{
    PROCESS_INFORMATION pi;
    DWORD code = 1;

    if (!StartEngine(&pi))
        ExitProcess(1);
    WaitForSingleObject(pi.hProcess, INFINITE);
    if (!GetExitCodeProcess(pi.hProcess, &code))
        code = 1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    while (EngineRuns())
        Sleep(5);
    ExitProcess(code);
}
