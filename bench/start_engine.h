/* What the bench's own launchers share: the start of bv_setup.exe from their own folder,
** hidden, with " SAS", as launcher.exe starts it, and a Toolhelp snapshot of the processes. No
** C runtime: kernel32 alone. */
#ifndef BENCH_START_ENGINE_H
#define BENCH_START_ENGINE_H

#include <windows.h>
#include <tlhelp32.h>

static const char engine[] = "bv_setup.exe";

/* Byte loops in place of memset and strcpy, which would bring in msvcrt.dll. */
static void ZeroBytes(void *p, DWORD size)
{
    volatile char *b = (volatile char *)p;
    while (size-- > 0)
        *b++ = 0;
}

/* CreateProcessA's answer; pi holds the engine's process and thread where it started. */
static BOOL StartEngine(PROCESS_INFORMATION *pi)
{
    static const char sas[] = " SAS";
    char path[MAX_PATH + 16];
    char cmdline[MAX_PATH + 32];
    STARTUPINFOA si;
    DWORD len, dir_len = 0, i;

    len = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return FALSE;
    for (i = 0; i < len; i++) {
        if (path[i] == '\\')
            dir_len = i + 1;
    }
    for (i = 0; i < sizeof engine; i++)
        path[dir_len + i] = engine[i];
    len = dir_len + sizeof engine - 1;
    for (i = 0; i < len; i++)
        cmdline[i] = path[i];
    for (i = 0; i < sizeof sas; i++)
        cmdline[len + i] = sas[i];

    ZeroBytes(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    return CreateProcessA(path, cmdline, NULL, NULL, FALSE, 0, NULL, NULL, &si, pi);
}

typedef HANDLE(WINAPI *CreateSnapshotFn)(DWORD flags, DWORD process_id);
typedef BOOL(WINAPI *ProcessWalkFn)(HANDLE snapshot, PROCESSENTRY32 *entry);

/* A snapshot of the processes, its calls looked up by GetProcAddress as launcher.exe does,
** with entry holding the first; INVALID_HANDLE_VALUE where there is none. *next walks on. */
static inline HANDLE FirstProcess(PROCESSENTRY32 *entry, ProcessWalkFn *next)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    CreateSnapshotFn create_snapshot;
    ProcessWalkFn process_first;
    HANDLE snapshot;

    if (kernel32 == NULL)
        return INVALID_HANDLE_VALUE;
    create_snapshot =
        (CreateSnapshotFn)(void *)GetProcAddress(kernel32, "CreateToolhelp32Snapshot");
    process_first = (ProcessWalkFn)(void *)GetProcAddress(kernel32, "Process32First");
    *next = (ProcessWalkFn)(void *)GetProcAddress(kernel32, "Process32Next");
    if (create_snapshot == NULL || process_first == NULL || *next == NULL)
        return INVALID_HANDLE_VALUE;
    snapshot = create_snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    ZeroBytes(entry, sizeof *entry);
    entry->dwSize = sizeof *entry;
    if (!process_first(snapshot, entry)) {
        CloseHandle(snapshot);
        return INVALID_HANDLE_VALUE;
    }
    return snapshot;
}

#endif
