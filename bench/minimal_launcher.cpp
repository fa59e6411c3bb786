/* The least a launcher can do, as the yardstick for launcher.exe's own cost: start bv_setup.exe
** from its own folder hidden, wait for it, sleep one poll interval, take one Toolhelp snapshot
** looked up by GetProcAddress, exit. No data tag, no registry, no trace, no C runtime: it
** imports from kernel32 alone. Built with the product's size flags and its own entry point. */
#include <windows.h>
#include <tlhelp32.h>

typedef HANDLE(WINAPI *CreateSnapshotFn)(DWORD flags, DWORD process_id);
typedef BOOL(WINAPI *ProcessWalkFn)(HANDLE snapshot, PROCESSENTRY32 *entry);

/* Byte loops in place of memset and strcpy, which would bring in msvcrt.dll. */
static void ZeroBytes(void *p, DWORD size)
{
    volatile char *b = (volatile char *)p;
    while (size-- > 0)
        *b++ = 0;
}

static void OneSnapshot(void)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    CreateSnapshotFn create_snapshot;
    ProcessWalkFn process_first, process_next;
    PROCESSENTRY32 entry;
    HANDLE snapshot;

    if (kernel32 == NULL)
        return;
    create_snapshot =
        (CreateSnapshotFn)(void *)GetProcAddress(kernel32, "CreateToolhelp32Snapshot");
    process_first = (ProcessWalkFn)(void *)GetProcAddress(kernel32, "Process32First");
    process_next = (ProcessWalkFn)(void *)GetProcAddress(kernel32, "Process32Next");
    if (create_snapshot == NULL || process_first == NULL || process_next == NULL)
        return;
    snapshot = create_snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    ZeroBytes(&entry, sizeof entry);
    entry.dwSize = sizeof entry;
    if (process_first(snapshot, &entry)) {
        while (process_next(snapshot, &entry)) {
        }
    }
    CloseHandle(snapshot);
}

extern "C" void MinimalStartup(void)
{
    static const char engine[] = "bv_setup.exe";
    static const char sas[] = " SAS";
    char path[MAX_PATH + 16];
    char cmdline[MAX_PATH + 32];
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    DWORD len, dir_len = 0, i;

    len = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        ExitProcess(1);
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
    if (CreateProcessA(path, cmdline, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    Sleep(5);
    OneSnapshot();
    ExitProcess(0);
}
