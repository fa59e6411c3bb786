#include "newfile.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "../process/platform.h"

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
    HANDLE file;

    DeleteFileA(path); /* a link goes, its target stays; what cannot go fails CREATE_NEW */
    file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, NULL);
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
    HANDLE file;

    if (platform->nt && platform->major >= 5)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS, flags, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks > 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(file);
        return NULL;
    }
    return TextStreamOnHandle(file, 1);
}
