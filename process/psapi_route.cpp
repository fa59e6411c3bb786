#include <string.h>
#include <windows.h>

#include "../platform/paths.h"
#include "../platform/systemlib.h"
#include "imageroutes.h"

typedef BOOL(WINAPI *EnumProcessesFn)(DWORD *ids, DWORD size, DWORD *needed);
typedef BOOL(WINAPI *EnumProcessModulesFn)(HANDLE process, HMODULE *modules, DWORD size,
                                           DWORD *needed);
typedef DWORD(WINAPI *GetModuleFileNameExAFn)(HANDLE process, HMODULE module, LPSTR name,
                                              DWORD size);

#define MAX_PROCESS_IDS 1024
#define MAX_MODULES 1024
#define MODULE_PATH_SIZE 260

/* Static so that a poll every 5 ms costs no heap and no large stack frame; reused by every
** call, which makes the route non-reentrant. */
static DWORD process_ids[MAX_PROCESS_IDS];
static HMODULE module_handles[MAX_MODULES];
static char module_path[MODULE_PATH_SIZE];

/* 1 when the path of any of the process's modules holds image_name: in its own letter case,
** or with folded set in any. */
static int ProcessHasModule(HANDLE process, const char *image_name, int folded,
                            EnumProcessModulesFn enum_modules,
                            GetModuleFileNameExAFn module_file_name)
{
    DWORD needed = 0;
    DWORD count, i;

    if (!enum_modules(process, module_handles, sizeof module_handles, &needed))
        return 0;
    count = needed / sizeof module_handles[0];
    if (count > MAX_MODULES)
        count = MAX_MODULES;
    for (i = 0; i < count; i++) {
        if (module_file_name(process, module_handles[i], module_path, sizeof module_path) == 0)
            continue;
        module_path[sizeof module_path - 1] = '\0';
        if (folded ? ContainsFolded(module_path, image_name)
                   : strstr(module_path, image_name) != NULL)
            return 1;
    }
    return 0;
}

/* psapi.dll and its calls, loaded on the first scan of the run and kept to its end: a wait
** on NT 4 scans once before and once after each round of engines, and each load maps the
** library afresh. */
static struct {
    int state; /* 0: not loaded yet; 1: loaded; -1: not there; -2: loaded, without its calls */
    HMODULE library;
    EnumProcessesFn enum_processes;
    EnumProcessModulesFn enum_modules;
    GetModuleFileNameExAFn module_file_name;
} psapi;

/* Returns 1 with the calls found, 0 where there is no psapi.dll, -1 where its calls are missing. */
static int LoadPsapi(void)
{
    if (psapi.state != 0)
        return psapi.state == 1 ? 1 : psapi.state == -1 ? 0 : -1;
    /* By its full path: a bare name would find a planted copy in the launcher's folder. */
    psapi.library = LoadSystemLibrary("psapi.dll");
    if (psapi.library == NULL) {
        psapi.state = -1;
        return 0;
    }
    psapi.enum_processes = (EnumProcessesFn)(void *)GetProcAddress(psapi.library, "EnumProcesses");
    psapi.enum_modules =
        (EnumProcessModulesFn)(void *)GetProcAddress(psapi.library, "EnumProcessModules");
    psapi.module_file_name =
        (GetModuleFileNameExAFn)(void *)GetProcAddress(psapi.library, "GetModuleFileNameExA");
    psapi.state = psapi.enum_processes && psapi.enum_modules && psapi.module_file_name ? 1 : -2;
    return LoadPsapi();
}

void EndPsapiScans(void)
{
    if (psapi.state == 1 || psapi.state == -2)
        FreeLibrary(psapi.library);
    psapi.state = 0;
}

void ResetPsapiScans(void)
{
    psapi.state = 0;
}

int IsImageRunningPsapi(const char *image_name, struct ImageProcesses *found_processes)
{
    DWORD needed = 0;
    DWORD count, i;
    int found = LoadPsapi();

    /* Without psapi.dll, which NT 4 does not always have, no engine can be found at all; a
    ** psapi.dll without its calls, or whose enumeration fails, gives no answer. */
    if (found <= 0)
        return found;
    if (!psapi.enum_processes(process_ids, sizeof process_ids, &needed))
        return -1;
    found = 0;

    count = needed / sizeof process_ids[0];
    if (count > MAX_PROCESS_IDS)
        count = MAX_PROCESS_IDS;
    for (i = 0; i < count && (!found || found_processes != NULL); i++) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE,
                                     FALSE, process_ids[i]);
        if (process == NULL)
            continue;
        /* The wait matches in any letter case: a copy started as BV_SETUP.EXE must not write
        ** its log over the one put back. The guard keeps its own rule. */
        if (ProcessHasModule(process, image_name, found_processes != NULL, psapi.enum_modules,
                             psapi.module_file_name)) {
            found = 1;
            if (found_processes != NULL) {
                KeepImageProcess(found_processes, process, 1); /* opened before it matched */
                continue;
            }
        }
        CloseHandle(process);
    }
    return found;
}
