#include "launchapp.h"

#include <string.h>
#include <windows.h>

/* How often a failing exit-code read is repeated before the code counts as unknown. */
#define EXIT_CODE_TRIES 100

/* Reads the exit code of a process into *code, repeating a read that fails. Returns 0 when no
** code could be read. */
static int ReadExitCode(HANDLE process, DWORD *code)
{
    int tries;
    for (tries = 0; tries < EXIT_CODE_TRIES; tries++) {
        if (GetExitCodeProcess(process, code))
            return 1;
    }
    return 0;
}

int LaunchApp(const char *engine_path, char *cmdline, HANDLE image, DWORD *code)
{
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    int ended, read, created;

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.wShowWindow = SW_HIDE;
    si.dwFlags = STARTF_USESHOWWINDOW;

    /* The full engine path goes in as the application name: with a NULL name and blanks in
    ** the launcher folder, the system would first try "C:\Program.exe" and the like. */
    created = CreateProcessA(engine_path, cmdline, NULL, NULL, TRUE,
                             CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP, NULL, NULL, &si, &pi);
    /* Held until here, so that the file looked at is the one started; not a moment longer, so
    ** that an engine may update itself. */
    if (image != INVALID_HANDLE_VALUE)
        CloseHandle(image);
    if (!created)
        return -1;

    /* STILL_ACTIVE after a wait that did not report the end means the engine still runs: wait
    ** again. After the end is reported it is the engine's own exit code, 259, and is taken. */
    do {
        ended = WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0;
        read = ReadExitCode(pi.hProcess, code);
    } while (read && *code == STILL_ACTIVE && !ended);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    /* A code that cannot be read tells nothing of what the engine did: never a success. */
    if (!read)
        return -1;
    return *code == 0 ? 1 : 0;
}
