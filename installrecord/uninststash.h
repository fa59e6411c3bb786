/* Taking the product's UninstallString away for the engine's run and putting it back. */
#ifndef INSTALLRECORD_UNINSTSTASH_H
#define INSTALLRECORD_UNINSTSTASH_H

#include <stdio.h>
#include <windows.h>

#define SAVED_UNINST_SIZE 500
#define STASH_RECORD_SIZE 300

/* The copy of UninstallString that outlives an interrupted run, and the stash record's head. */
#define JOURNAL_VALUE_NAME "LauncherSavedUninstallString"
#define STASH_RECORD_PREFIX "UninstallString="

extern FILE *uninst_fp;                      /* the stash record file uninst.dat, or NULL */
extern char saved_uninst[SAVED_UNINST_SIZE]; /* the value as read, terminated */
extern DWORD saved_uninst_type;              /* its registry type */
extern DWORD saved_uninst_size;              /* the byte count the registry delivered */
extern int saved_uninst_taken;               /* this run deleted the value from the registry */

/* Opens the product uninstall key with KEY_ALL_ACCESS; returns NULL on failure. The caller
** closes the key. */
HKEY OpenUninstallString(const char *braced_guid);

/* Reads UninstallString into saved_uninst, deletes it, writes the stash record to uninst_fp
** and closes it. A value too long for the stash, or one that could not be read, stays. */
void RemoveUninstallString(const char *braced_guid);

/* Deletes the journal copy LauncherSavedUninstallString from the open product key, traced. */
void DeleteUninstallJournal(HKEY key);

/* Writes the value taken away by RemoveUninstallString back, with its type and bytes, when
** UninstallString is absent now; a value written meanwhile wins. */
void RestoreUninstallString(const char *braced_guid);

#endif
