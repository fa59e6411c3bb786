#include "newfile.h"

#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <windows.h>

#include "paths.h"
#include "systemlib.h"
#include "version.h"

/* A final path as GetFinalPathNameByHandleW gives it ("\\?\C:\..."): a folder of the longest
** kind the launcher works in, in wide characters, terminator included, with room to spare. */
#define FINAL_PATH_SIZE 1024
/* A folder of a path the launcher composes: those are at most 300 bytes, terminator included. */
#define FOLDER_SIZE 300
/* ntdll's information classes. */
#define RENAME_INFORMATION 10
#define DISPOSITION_INFORMATION 13

typedef DWORD(WINAPI *GetFinalPathFn)(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
typedef LONG(WINAPI *SetInformationFileFn)(HANDLE file, void *status, void *info, ULONG size,
                                           int info_class);

/* Where Windows tells a handle's final path (Vista on), a file that the launcher creates,
** deletes or renames in a folder that others may write to is touched only through a handle
** whose final path is the folder's own final path, a backslash and the file's name. A junction
** or mount point on the way (one into the object manager's namespace too), or a link in the
** name's place, shows as another final path, and the file is left alone. A folder that is a
** junction to another real folder stays usable: the file then lies there, under its own name.
** Before Vista nothing runs elevated across a user boundary (an administrator works in their
** own TEMP), and there the names are used as given. */
struct FolderCalls {
    GetFinalPathFn final_path;
    SetInformationFileFn set_information; /* ntdll's: it renames relative to a folder handle */
};

/* kernel32 and ntdll are mapped into every process: asking for their handles loads nothing. */
static int FindFolderCalls(struct FolderCalls *calls)
{
    HMODULE kernel32 = Kernel32();
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    calls->final_path = NULL;
    calls->set_information = NULL;
    if (kernel32 != NULL)
        calls->final_path =
            (GetFinalPathFn)(void *)GetProcAddress(kernel32, "GetFinalPathNameByHandleW");
    if (ntdll != NULL)
        calls->set_information =
            (SetInformationFileFn)(void *)GetProcAddress(ntdll, "NtSetInformationFile");
    return calls->final_path != NULL;
}

/* The name after path's last backslash or slash, or NULL when there is none or it is not plain
** ASCII: the launcher's own names (launcher.log, setup.zmf, ...) always are. Read from the end,
** so the trail byte of a double-byte character in a folder's name is never taken for one. */
static const char *NameOf(const char *path)
{
    const char *name = path + strlen(path);
    while (name > path && !IsPathSeparator((unsigned char)name[-1])) {
        if ((unsigned char)name[-1] >= 0x80)
            return NULL;
        name--;
    }
    return name > path && *name != '\0' ? name : NULL;
}

/* Opens the folder that holds the file at path (whose name NameOf finds), with the right to
** flush it. Returns INVALID_HANDLE_VALUE on failure. */
static HANDLE OpenFolder(const char *path)
{
    char folder[FOLDER_SIZE];
    size_t folder_len = (size_t)(NameOf(path) - path); /* with the separator */

    if (folder_len >= sizeof folder)
        return INVALID_HANDLE_VALUE;
    memcpy(folder, path, folder_len);
    /* The separator goes, but for a drive's root: "C:" alone is the current folder there. */
    if (folder_len > 1 && folder[folder_len - 2] != ':')
        folder_len--;
    folder[folder_len] = '\0';
    return CreateFileA(folder, FILE_TRAVERSE | FILE_ADD_FILE | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

/* Opens the folder that holds the file at path, for renames relative to it and for its final
** path, which goes to final with its length in *len. Returns INVALID_HANDLE_VALUE on failure. */
static HANDLE OpenFolderOf(const struct FolderCalls *calls, const char *path,
                           WCHAR final[FINAL_PATH_SIZE], DWORD *len)
{
    HANDLE handle = OpenFolder(path);

    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    *len = calls->final_path(handle, final, FINAL_PATH_SIZE, 0);
    if (*len == 0 || *len >= FINAL_PATH_SIZE) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    if (final[*len - 1] == '\\') /* a root: its backslash is the one before the name */
        (*len)--;
    return handle;
}

static unsigned FoldedLetter(unsigned c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

/* 1 when file's final path is folder (len characters), a backslash and name, the name's
** letters in any case. */
static int LiesIn(const struct FolderCalls *calls, HANDLE file, const WCHAR *folder, DWORD len,
                  const char *name)
{
    WCHAR final[FINAL_PATH_SIZE];
    DWORD final_len = calls->final_path(file, final, FINAL_PATH_SIZE, 0);
    size_t i;

    if (final_len != len + 1 + strlen(name) || memcmp(final, folder, len * sizeof(WCHAR)) != 0 ||
        final[len] != '\\')
        return 0;
    for (i = 0; name[i] != '\0'; i++)
        if (FoldedLetter(final[len + 1 + i]) != FoldedLetter((unsigned char)name[i]))
            return 0;
    return 1;
}

static int MarkForDeletion(const struct FolderCalls *calls, HANDLE file)
{
    ULONG_PTR status[2];
    BOOLEAN delete_file = TRUE;
    return calls->set_information != NULL &&
           calls->set_information(file, status, &delete_file, sizeof delete_file,
                                  DISPOSITION_INFORMATION) >= 0;
}

/* Opens the file at path as CreateFileA does, others let read it only, and checks it as above;
** *dir gets its folder's handle, for the caller to close, or INVALID_HANDLE_VALUE. A file that
** lies elsewhere is closed, deleted first where this open created it (access then holds
** DELETE), and INVALID_HANDLE_VALUE is returned. Before Vista the file is opened unchecked and
** *dir stays invalid. */
static HANDLE OpenChecked(const struct FolderCalls *calls, const char *path, DWORD access,
                          DWORD disposition, DWORD flags, HANDLE *dir)
{
    WCHAR folder[FINAL_PATH_SIZE];
    DWORD len = 0;
    HANDLE file;
    int created;

    *dir = INVALID_HANDLE_VALUE;
    if (calls->final_path != NULL) {
        *dir = OpenFolderOf(calls, path, folder, &len);
        if (*dir == INVALID_HANDLE_VALUE)
            return INVALID_HANDLE_VALUE;
    }
    file = CreateFileA(path, access, FILE_SHARE_READ, NULL, disposition, flags, NULL);
    created = disposition != OPEN_EXISTING && GetLastError() != ERROR_ALREADY_EXISTS;
    if (file != INVALID_HANDLE_VALUE && *dir != INVALID_HANDLE_VALUE &&
        !LiesIn(calls, file, folder, len, NameOf(path))) {
        if (created)
            MarkForDeletion(calls, file);
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
    return file;
}

static void CloseIfOpen(HANDLE handle)
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

/* An existing file to delete or rename: the link itself where it is one. */
static HANDLE OpenToMove(const struct FolderCalls *calls, const char *path, HANDLE *dir)
{
    return OpenChecked(calls, path, DELETE | SYNCHRONIZE, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT, dir);
}

/* Before Vista, by name. On the NT family the folder is flushed after the deletion: a stale
** backup log deleted only in the cache could come back at a power cut, after the journal that
** counts on its being gone reached the disk. The consumer family can flush no folder. */
static int DeleteByName(const char *path)
{
    HANDLE dir;

    if (remove(path) != 0)
        return -1;
    if (GetPlatformVersion()->nt && (dir = OpenFolder(path)) != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(dir);
        CloseHandle(dir);
    }
    return 0;
}

int DeleteInFolder(const char *path)
{
    struct FolderCalls calls;
    HANDLE dir, file;
    int done = 0;

    if (NameOf(path) == NULL)
        return -1;
    if (!FindFolderCalls(&calls))
        return DeleteByName(path);
    file = OpenToMove(&calls, path, &dir);
    if (file != INVALID_HANDLE_VALUE) {
        done = MarkForDeletion(&calls, file);
        CloseHandle(file); /* the file goes now */
        if (done)
            FlushFileBuffers(dir);
    }
    CloseIfOpen(dir);
    return done ? 0 : -1;
}

/* Before Vista: on the NT family the move is on disk when the call returns, with everything
** that the file system did before it; the consumer family has no such move. */
static int RenameByName(const char *from, const char *to)
{
    if (!GetPlatformVersion()->nt)
        return rename(from, to);
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}

/* The rename names its target relative to the checked folder's handle, so the folder cannot be
** swapped for another between the check and the rename; flushing the folder then puts the new
** name on disk, with everything that the file system did before it. */
int RenameInFolder(const char *from, const char *to)
{
    struct {
        BOOLEAN replace;
        HANDLE root;
        ULONG name_size;
        WCHAR name[MAX_PATH];
    } rename_to;
    struct FolderCalls calls;
    const char *to_name = NameOf(to);
    ULONG_PTR status[2];
    HANDLE dir, file;
    int done = 0;
    size_t i;

    if (NameOf(from) == NULL || to_name == NULL || strlen(to_name) >= MAX_PATH)
        return -1;
    if (!FindFolderCalls(&calls))
        return RenameByName(from, to);
    file = OpenToMove(&calls, from, &dir);
    if (file != INVALID_HANDLE_VALUE && calls.set_information != NULL) {
        memset(&rename_to, 0, sizeof rename_to);
        rename_to.root = dir;
        for (i = 0; to_name[i] != '\0'; i++)
            rename_to.name[i] = (WCHAR)to_name[i];
        rename_to.name_size = (ULONG)(i * sizeof(WCHAR));
        done = calls.set_information(file, status, &rename_to, sizeof rename_to,
                                     RENAME_INFORMATION) >= 0;
        /* Done is done: a file system that cannot flush a folder (some network shares) must
        ** not make a rename that happened look like one that did not. */
        if (done)
            FlushFileBuffers(dir);
    }
    CloseIfOpen(file);
    CloseIfOpen(dir);
    return done ? 0 : -1;
}

/* Wraps file, a handle open for writing, in a text stream ("w", or "a" with append set), which
** the runtime buffers fully, by 4096 bytes, as any stream on a file. On failure whatever holds
** the handle by then closes it, and NULL is returned. */
static FILE *TextStreamOnHandle(HANDLE file, int append)
{
    int fd = (int)_open_osfhandle((intptr_t)file, append ? (_O_TEXT | _O_APPEND) : _O_TEXT);
    FILE *fp;

    if (fd == -1) {
        CloseHandle(file);
        return NULL;
    }
    fp = _fdopen(fd, append ? "a" : "w");
    if (fp == NULL) {
        _close(fd);
        return NULL;
    }
    return fp;
}

/* No security attributes: the handle is not inherited by the engine, which the launcher
** starts with inheritance on. */
FILE *CreateNewTextStream(const char *path)
{
    struct FolderCalls calls;
    HANDLE dir, file;

    if (NameOf(path) == NULL)
        return NULL;
    FindFolderCalls(&calls);
    DeleteInFolder(path); /* a link goes, its target stays; what cannot go fails CREATE_NEW */
    file =
        OpenChecked(&calls, path, GENERIC_WRITE | DELETE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &dir);
    CloseIfOpen(dir);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    return TextStreamOnHandle(file, 0);
}

/* The checks are made on the open handle, so nothing can be swapped in between. A symbolic
** link or junction is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT) and refused by its
** attribute. NT 4 and the consumer family know no reparse points, and their CreateFile
** predates the flag, so it is asked for from Windows 2000 on. A link count of 0 is accepted:
** file systems without links (FAT on the consumer family, some network redirectors) report
** it, and such a file has no second name either. */
FILE *ReopenPlainFileForAppend(const char *path)
{
    const struct PlatformRecord *platform = GetPlatformVersion();
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    BY_HANDLE_FILE_INFORMATION info;
    struct FolderCalls calls;
    HANDLE dir, file;

    if (NameOf(path) == NULL)
        return NULL;
    if (platform->nt && platform->major >= 5)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    FindFolderCalls(&calls);
    file = OpenChecked(&calls, path, GENERIC_WRITE | DELETE, OPEN_ALWAYS, flags, &dir);
    CloseIfOpen(dir);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks > 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(file);
        return NULL;
    }
    return TextStreamOnHandle(file, 1);
}

/* A link in the name's place is followed, and then shows as another final path. No DELETE
** access: a package on a medium or share that is read-only opens too. */
HANDLE OpenInFolderToRead(const char *path)
{
    struct FolderCalls calls;
    HANDLE dir, file;

    if (NameOf(path) == NULL)
        return INVALID_HANDLE_VALUE;
    FindFolderCalls(&calls);
    file = OpenChecked(&calls, path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, &dir);
    CloseIfOpen(dir);
    return file;
}
