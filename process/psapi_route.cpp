#include <string.h>
#include <windows.h>

#include "../launcher/paths.h"
#include "imagerunning.h"
#include "systemlib.h"

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

int IsImageRunningPsapi(const char *image_name, struct ImageProcesses *found_processes)
{
    HMODULE psapi;
    EnumProcessesFn enum_processes;
    EnumProcessModulesFn enum_modules;
    GetModuleFileNameExAFn module_file_name;
    DWORD needed = 0;
    DWORD count, i;
    int found = 0;

    /* By its full path: a bare name would find a planted copy in the launcher's folder. */
    psapi = LoadSystemLibrary("psapi.dll");
    if (psapi == NULL)
        return 0;
    enum_processes = (EnumProcessesFn)(void *)GetProcAddress(psapi, "EnumProcesses");
    enum_modules = (EnumProcessModulesFn)(void *)GetProcAddress(psapi, "EnumProcessModules");
    module_file_name =
        (GetModuleFileNameExAFn)(void *)GetProcAddress(psapi, "GetModuleFileNameExA");
    /* Without psapi.dll, which NT 4 does not always have, no engine can be found at all; a
    ** psapi.dll without its calls, or whose enumeration fails, gives no answer. */
    found = -1;
    if (enum_processes == NULL || enum_modules == NULL || module_file_name == NULL ||
        !enum_processes(process_ids, sizeof process_ids, &needed))
        goto done;
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
        if (ProcessHasModule(process, image_name, found_processes != NULL, enum_modules,
                             module_file_name)) {
            found = 1;
            if (found_processes != NULL) {
                KeepImageProcess(found_processes, process);
                continue;
            }
        }
        CloseHandle(process);
    }

done:
    FreeLibrary(psapi);
    return found;
}
