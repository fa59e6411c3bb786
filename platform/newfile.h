/* Files the elevated launcher creates, deletes and renames in folders that an unelevated user
** may write to (the user's TEMP, the product's uninstall information folder): a link planted
** there, or a junction on the way, must never make the launcher touch another file. Each path
** is a folder, a backslash or slash, and a name in plain ASCII. */
#ifndef PLATFORM_NEWFILE_H
#define PLATFORM_NEWFILE_H

#include <stdio.h>
#include <windows.h>

/* Deletes whatever file or link is at path and creates the file new: never through a link,
** since a new file has no other name. Returns a C runtime text stream for writing (CR LF line
** ends, fully buffered by 4096 bytes), or NULL when the file cannot be created, among others
** when something appeared at path between the delete and the create. The file's handle is not
** inheritable. */
FILE *CreateNewTextStream(const char *path);

/* Opens path for appending, creating it when missing, only when it is a plain file with no
** second name: one that is a link (a reparse point) or has another hard link is refused, and
** NULL is returned as for a file that cannot be opened. The stream is as above. */
FILE *ReopenPlainFileForAppend(const char *path);

/* Deletes the file at path (a link itself, never what it points to), as remove() does: 0 when
** it is gone, -1 when it could not be deleted or does not lie where path says. On the NT family
** the deletion is flushed to disk. */
int DeleteInFolder(const char *path);

/* Gives the file at from the name of to, in the same folder, as rename() does, and on the NT
** family puts the new name on disk before it returns, where the file system can: 0 when done,
** -1 when it could not be renamed, something is at to already, or from does not lie where it
** says. */
int RenameInFolder(const char *from, const char *to);

/* Opens the file at path for reading, letting others read it but neither write, rename nor
** delete it while the handle is open, only where it lies in path's folder under its name (from
** Vista on, as above). Returns INVALID_HANDLE_VALUE when it cannot be opened so. The handle is
** not inheritable. */
HANDLE OpenInFolderToRead(const char *path);

#endif
