/* The least a launcher can do, as the yardstick for launcher.exe's own cost: start bv_setup.exe
** from its own folder hidden, wait for it, sleep one poll interval, take one Toolhelp snapshot
** looked up by GetProcAddress, exit. No data tag, no registry, no trace, no C runtime: it
** imports from kernel32 alone. Built with the product's size flags and its own entry point. */
#include <windows.h>
#include <tlhelp32.h>

#include "start_engine.h"

typedef HANDLE(WINAPI *CreateSnapshotFn)(DWORD flags, DWORD process_id);
typedef BOOL(WINAPI *ProcessWalkFn)(HANDLE snapshot, PROCESSENTRY32 *entry);

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
    PROCESS_INFORMATION pi;

    if (StartEngine(&pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    Sleep(5);
    OneSnapshot();
    ExitProcess(0);
}
