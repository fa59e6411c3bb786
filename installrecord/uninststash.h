/* Taking the product's UninstallString away for the engine's run and putting it back, and the
** stash record uninst.dat that keeps it beside the setup log meanwhile. */
#ifndef INSTALLRECORD_UNINSTSTASH_H
#define INSTALLRECORD_UNINSTSTASH_H

#include <windows.h>

/* The value as read: in UTF-16 on the NT family, twice the bytes of the text the stash record
** holds, and a wide terminator. */
#define SAVED_UNINST_SIZE 570
#define STASH_RECORD_SIZE 300

/* The value held as a new process finds it: none (for the host tests). */
void ResetUninstallStash(void);

/* Opens the product uninstall key in view, tracing the open; NULL on failure, with the
** registry's status in *status. The caller closes the key. */
HKEY OpenUninstallString(const char *braced_guid, REGSAM view, LONG *status);

/* Reads UninstallString into saved_uninst, copies it to the journal, deletes it and writes
** the stash record at record_path ("" for none). A value that could not be copied to the
** journal, or is too long for the stash, stays in place. Returns 0 when the value could not
** be read although it may be there, or could not be copied to the journal: the run cannot
** leave it to the engine. */
int RemoveUninstallString(const char *braced_guid, const char *record_path);

/* Writes the value read by RemoveUninstallString back, with its type and bytes, where
** UninstallString is absent now; a value written meanwhile wins. Returns 1 when nothing more
** is owed: the value is there, the product's key is gone, or none was read. */
int RestoreUninstallString(const char *braced_guid);

/* Writes type/bytes (in the wide form when wide is set, see SetUninstallValue) as
** UninstallString of the product key in view where that value is absent; 1 as above. */
int PutUninstallStringBack(const char *braced_guid, REGSAM view, int wide, DWORD type,
                           const char *bytes, DWORD size);

/* Reads the text of the stash record at record_path into text (terminated). Returns its
** length, 0 when the record holds no text that fits, -1 when the file cannot be read. */
int ReadStashRecord(const char *record_path, char text[SAVED_UNINST_SIZE]);

#endif
