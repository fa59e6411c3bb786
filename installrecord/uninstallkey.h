/* The registry keys of an installation record: the product's uninstall key,
** HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{GUID}, and the launcher's journal
** of what a run set aside, HKLM\SOFTWARE\Brevane\Setup Launcher\{GUID}. */
#ifndef INSTALLRECORD_UNINSTALLKEY_H
#define INSTALLRECORD_UNINSTALLKEY_H

#include <stddef.h>
#include <windows.h>

#define UNINSTALL_KEY_SIZE 260
#define UNINSTALL_STRING "UninstallString" /* the product's uninstall command */
#define JOURNAL_SETUP_LOG "SetupLog"       /* the journal's path of the log set aside */

/* Composes the product uninstall key's path into uninstkey and opens the key with
** KEY_ALL_ACCESS. Returns the registry's status: ERROR_FILE_NOT_FOUND when there is no such
** key, ERROR_INVALID_PARAMETER when the path would not fit. The caller closes the key. */
LONG OpenProductKey(const char *braced_guid, char uninstkey[UNINSTALL_KEY_SIZE], HKEY *key);

/* Opens the journal key with KEY_ALL_ACCESS; the registry's status, as above. */
LONG OpenJournal(const char *braced_guid, HKEY *key);

/* Writes one value to the journal, making the key where it is not there yet. Returns 1 when the
** value is written. */
int SaveToJournal(const char *braced_guid, const char *name, DWORD type, const void *bytes,
                  DWORD size);

/* Deletes the journal key with its values: what it records is back in place. */
void DeleteJournal(const char *braced_guid);

#endif
