#include <windows.h>
#include <tlhelp32.h>

#include "../launcher/paths.h"
#include "imagerunning.h"

typedef HANDLE(WINAPI *CreateSnapshotFn)(DWORD flags, DWORD process_id);
typedef BOOL(WINAPI *ProcessWalkFn)(HANDLE snapshot, PROCESSENTRY32 *entry);

static_assert(sizeof(PROCESSENTRY32) == 296, "the ANSI process entry is 296 bytes");

/* The file name part of szExeFile: the consumer family reports the full path there, the NT
** family the name alone. The field is terminated within its size before it is read. */
static const char *ExeFileName(PROCESSENTRY32 *entry)
{
    const char *name = entry->szExeFile;
    const unsigned char *p = (const unsigned char *)entry->szExeFile;

    entry->szExeFile[sizeof entry->szExeFile - 1] = '\0';
    while (*p != '\0') {
        if (IsDBCSLeadByte(*p) && p[1] != '\0') {
            p += 2;
            continue;
        }
        if (IsPathSeparator(*p))
            name = (const char *)p + 1;
        p++;
    }
    return name;
}

int IsImageRunningToolhelp(const char *image_name, struct ImageProcesses *found_processes)
{
    HMODULE kernel32;
    CreateSnapshotFn create_snapshot;
    ProcessWalkFn process_first, process_next;
    HANDLE snapshot;
    PROCESSENTRY32 entry;
    int found = 0;

    kernel32 = LoadLibraryA("kernel32.dll");
    if (kernel32 == NULL) /* mapped into every process: its load fails only for a fault */
        return -1;
    create_snapshot =
        (CreateSnapshotFn)(void *)GetProcAddress(kernel32, "CreateToolhelp32Snapshot");
    process_first = (ProcessWalkFn)(void *)GetProcAddress(kernel32, "Process32First");
    process_next = (ProcessWalkFn)(void *)GetProcAddress(kernel32, "Process32Next");
    /* Every system on this route has the snapshot calls (the consumer family, and the NT
    ** family from Windows 2000 on), so one that cannot be found, like a snapshot that cannot be
    ** taken or read, is no answer. The module walkers are demanded, as on every platform that
    ** has the snapshot, though this route reads no module lists. */
    found = -1;
    if (create_snapshot == NULL || process_first == NULL || process_next == NULL ||
        GetProcAddress(kernel32, "Module32First") == NULL ||
        GetProcAddress(kernel32, "Module32Next") == NULL)
        goto free_library;
    snapshot = create_snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        goto free_library;
    entry.dwSize = sizeof entry; /* the rest is the snapshot's to fill */
    if (!process_first(snapshot, &entry)) {
        if (GetLastError() == ERROR_NO_MORE_FILES) /* an empty table */
            found = 0;
    } else {
        found = 0;
        do {
            if (!SameTextFolded(ExeFileName(&entry), image_name))
                continue;
            found = 1;
            if (found_processes == NULL)
                break;
            KeepImageProcess(found_processes, OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
        } while (process_next(snapshot, &entry));
    }
    CloseHandle(snapshot);

free_library:
    FreeLibrary(kernel32);
    return found;
}
