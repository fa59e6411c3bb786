#include <windows.h>
#include <tlhelp32.h>

#include "../platform/paths.h"
#include "imageroutes.h"

typedef HANDLE(WINAPI *CreateSnapshotFn)(DWORD flags, DWORD process_id);
typedef BOOL(WINAPI *ProcessWalkFn)(HANDLE snapshot, PROCESSENTRY32 *entry);
typedef BOOL(WINAPI *QueryImageNameFn)(HANDLE process, DWORD flags, LPWSTR name, DWORD *size);

#ifndef PROCESS_QUERY_LIMITED_INFORMATION
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#endif

#define IMAGE_PATH_SIZE 1024

/* Static, as the path of a process with a long one would fill most of a small stack. */
static WCHAR image_path[IMAGE_PATH_SIZE];

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

/* 1 when the image of the opened process has the file name image_name (ASCII letters folded),
** 0 when it has another: the id seen in the snapshot now belongs to another process, and the
** engine that had it has ended. -1 when the image cannot be told. */
static int ImageIs(HANDLE process, const char *image_name, QueryImageNameFn query_image)
{
    DWORD size = IMAGE_PATH_SIZE;
    const WCHAR *name = image_path, *p;
    char narrow[64];
    size_t n = 0;

    if (!query_image(process, 0, image_path, &size) || size >= IMAGE_PATH_SIZE)
        return -1;
    image_path[size] = 0;
    for (p = image_path; *p != 0; p++)
        if (*p == '\\' || *p == '/')
            name = p + 1;
    /* A letter outside ASCII, or a name longer than any image name, is another image. */
    for (; *name != 0; name++) {
        if (*name >= 0x80 || n + 1 >= sizeof narrow)
            return 0;
        narrow[n++] = (char)*name;
    }
    narrow[n] = '\0';
    return SameTextFolded(narrow, image_name);
}

/* A matching process's handle, for a wait: verified by its image where the platform tells it
** through the handle (Vista on), so that the wait needs no rescans; NULL where the process
** has gone or has another image. */
static void KeepMatch(struct ImageProcesses *found, DWORD process_id, const char *image_name,
                      QueryImageNameFn query_image)
{
    HANDLE process;
    int verified = -1;

    if (query_image == NULL) {
        KeepImageProcess(found, OpenProcess(SYNCHRONIZE, FALSE, process_id), 0);
        return;
    }
    process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process != NULL)
        verified = ImageIs(process, image_name, query_image);
    if (verified == 0)
        CloseHandle(process);
    else
        KeepImageProcess(found, process, verified > 0);
}

int IsImageRunningToolhelp(const char *image_name, struct ImageProcesses *found_processes)
{
    HMODULE kernel32;
    CreateSnapshotFn create_snapshot;
    ProcessWalkFn process_first, process_next;
    QueryImageNameFn query_image;
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
    query_image = (QueryImageNameFn)(void *)GetProcAddress(kernel32, "QueryFullProcessImageNameW");
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
            KeepMatch(found_processes, entry.th32ProcessID, image_name, query_image);
        } while (process_next(snapshot, &entry));
    }
    CloseHandle(snapshot);

free_library:
    FreeLibrary(kernel32);
    return found;
}
