/* The least a launcher can do, as the yardstick for launcher.exe's own cost: start bv_setup.exe
** from its own folder hidden, wait for it, sleep one poll interval, take one Toolhelp snapshot
** looked up by GetProcAddress, exit. No data tag, no registry, no trace, no C runtime: it
** imports from kernel32 alone. Built with the product's size flags and its own entry point. */
#include <windows.h>
#include <tlhelp32.h>

#include "start_engine.h"

static void OneSnapshot(void)
{
    PROCESSENTRY32 entry;
    ProcessWalkFn process_next;
    HANDLE snapshot = FirstProcess(&entry, &process_next);

    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    while (process_next(snapshot, &entry)) {
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
