#include "recovery.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "../launcher/tracelog.h"
#include "../platform/newfile.h"
#include "../platform/paths.h"
#include "setuplog.h"
#include "uninstallkey.h"
#include "uninststash.h"

/* Puts the journal's copy of UninstallString back, in the view it came from, where the value
** is absent. Returns 1 when nothing more is owed for the value; *had_copy tells whether the
** journal held one. */
static int RecoverValue(HKEY journal, const char *braced_guid, REGSAM view, int *had_copy)
{
    alignas(WCHAR) char value[SAVED_UNINST_SIZE];
    DWORD size = sizeof value;
    DWORD type = REG_SZ;
    LONG status = QueryUninstallValue(journal, &type, (BYTE *)value, &size);

    *had_copy = status != ERROR_FILE_NOT_FOUND;
    if (status == ERROR_FILE_NOT_FOUND)
        return 1;
    Trace("Query journal UninstallString: return from ReqQueryValueEx(): %d\n", (int)status);
    if (status != ERROR_SUCCESS)
        return 0;
    return PutUninstallStringBack(braced_guid, view, UninstallValueForm() > 0, type, value, size);
}

/* Reads the path of the setup log that the run set aside: as it was written, a path of up to
** ZMF_LOC_SIZE - 1 characters and its terminator. Returns 1 with a path that ends in the log's
** name, 0 when the journal names none, -1 when it cannot be read or is longer than any path
** this launcher writes: what it names is then unknown. */
static int ReadJournalSetupLog(HKEY journal, char setup_log[ZMF_LOC_SIZE])
{
    char record[ZMF_LOC_SIZE + 1]; /* one longer than the log's path */
    DWORD size = ZMF_LOC_SIZE;
    LONG status =
        RegQueryValueExA(journal, journal_setup_log, NULL, NULL, (BYTE *)setup_log, &size);
    if (status == ERROR_SUCCESS && (size == 0 || setup_log[size - 1] != '\0')) {
        /* The registry may hand back a value without a terminator. */
        if (size == ZMF_LOC_SIZE)
            status = ERROR_MORE_DATA;
        else
            setup_log[size] = '\0';
    }
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND)
            Trace("Query journal setup log: return from ReqQueryValueEx(): %d\n", (int)status);
        return status == ERROR_FILE_NOT_FOUND ? 0 : -1;
    }
    Trace("Journal setup log=%s\n", setup_log);
    /* Only a path this launcher could have written is acted on. */
    return MakeStashRecordPath(record, sizeof record, setup_log) ? 1 : 0;
}

int MoveBackupLogBack(const char *backup_path, const char *setup_log, int interrupted)
{
    int rc, exists = PathExists(backup_path);

    /* Looked at first: the setup log in its place is deleted only for a backup to put back. */
    if (exists < 0)
        Trace("Backup log cannot be looked at: nothing deleted\n");
    else if (exists == 0 && !interrupted)
        Trace("Backup log gone: the setup log there stays\n");
    if (exists <= 0)
        return exists == 0;
    if (interrupted)
        Trace("Backup log left by an interrupted run=%s\n", backup_path);
    /* Where the log cannot be deleted, the rename fails too: it never replaces. */
    Trace("Deleting log file: return from remove(): %d\n", DeleteInFolder(setup_log));
    rc = RenameInFolder(backup_path, setup_log);
    Trace("Renaming log file: return from rename(): %d\n", rc);
    return rc == 0;
}

/* Moves the backup log that a cut-short run left back to the setup log path. Returns 0 when
** the backup is still aside or cannot be looked at. */
static int RecoverBackupLog(const char *setup_log)
{
    char backup_path[ZMF_LOC_SIZE];

    MakeBackupLogPath(backup_path, sizeof backup_path, setup_log);
    return MoveBackupLogBack(backup_path, setup_log, 1);
}

/* Deletes the stash record beside setup_log once the value it records is back; where the
** journal held no copy of the value, the record is the copy to put back in view. Returns 0
** when the value is still owed. */
static int RecoverStashRecord(const char *braced_guid, REGSAM view, const char *setup_log,
                              int had_copy, int value_back)
{
    char record_path[ZMF_LOC_SIZE];
    char text[SAVED_UNINST_SIZE];
    int exists, len, rc;

    /* A log path of the longest kind has no record beside it: its name would not fit. */
    exists = MakeStashRecordPath(record_path, sizeof record_path, setup_log)
                 ? PathExists(record_path)
                 : 0;
    if (exists <= 0)
        return value_back && exists == 0;
    Trace("Stash record left by an interrupted run=%s\n", record_path);
    if (!had_copy) {
        len = ReadStashRecord(record_path, text);
        if (len < 0)
            return 0;
        if (len == 0)
            Trace("Stash record holds no value to recover\n");
        else
            value_back = PutUninstallStringBack(braced_guid, view, 0, REG_SZ, text, len + 1);
    }
    if (!value_back)
        return 0;
    rc = DeleteInFolder(record_path);
    Trace("Deleting stash record: return from remove(): %d\n", rc);
    return rc == 0;
}

/* Puts back what the journal of the product braced_guid names. Returns 1 when nothing is left
** aside (the journal is then deleted, if there was one), else 0. */
static int RecoverJournal(const char *braced_guid)
{
    char setup_log[ZMF_LOC_SIZE];
    HKEY journal;
    REGSAM view;
    LONG status;
    int had_copy = 0, back = 0, named;

    status = OpenJournal(braced_guid, &journal);
    if (status == ERROR_FILE_NOT_FOUND)
        return 1;
    Trace("Journal: RegOpenKeyEx() returned: %d\n", (int)status);
    if (status == ERROR_SUCCESS) {
        status = ReadJournalView(journal, &view);
        if (status == ERROR_SUCCESS) {
            back = RecoverValue(journal, braced_guid, view, &had_copy);
        } else {
            /* Where the value goes back is unknown: neither its copy nor the stash record is
            ** put back anywhere, and the journal stays. */
            Trace("Query journal view: return from ReqQueryValueEx(): %d\n", (int)status);
            had_copy = 1;
        }
        named = ReadJournalSetupLog(journal, setup_log);
        if (named < 0)
            back = 0;
        else if (named > 0)
            back = RecoverBackupLog(setup_log) &&
                   RecoverStashRecord(braced_guid, view, setup_log, had_copy, back);
        RegCloseKey(journal);
        if (back)
            DeleteJournal(braced_guid);
    }
    return back;
}

/* The name of the index-th journal, another product's braced GUID, into name (of
** JOURNAL_NAME_SIZE bytes). Returns the registry's status; ERROR_NO_MORE_ITEMS past the last. */
#define JOURNAL_NAME_SIZE 256
static LONG JournalName(HKEY journals, DWORD index, char name[JOURNAL_NAME_SIZE])
{
    DWORD size = JOURNAL_NAME_SIZE;
    return RegEnumKeyExA(journals, index, name, &size, NULL, NULL, NULL, NULL);
}

int RecoverInterruptedRun(const char *braced_guid)
{
    char name[JOURNAL_NAME_SIZE];
    HKEY journals;
    DWORD count = 0, i;
    int back;

    Trace("Begin: RecoverInterruptedRun().\n");
    back = RecoverJournal(braced_guid);
    /* Products may share a folder: another one's backup log there must go back before this
    ** run could take it for a stale leftover. From the last, as each one put back goes. */
    if (OpenJournals(&journals) == ERROR_SUCCESS) {
        if (RegQueryInfoKeyA(journals, NULL, NULL, NULL, &count, NULL, NULL, NULL, NULL, NULL, NULL,
                             NULL) != ERROR_SUCCESS)
            count = 0;
        for (i = count; i > 0; i--) {
            if (JournalName(journals, i - 1, name) != ERROR_SUCCESS ||
                SameTextFolded(name, braced_guid))
                continue;
            Trace("Journal of another product=%s\n", name);
            RecoverJournal(name);
        }
        RegCloseKey(journals);
    }
    DeleteEmptyJournalParents();
    Trace("End: RecoverInterruptedRun().\n");
    return back;
}

int RecoverUnjournalled(const char *braced_guid, const char *setup_log, int log_exists)
{
    char path[ZMF_LOC_SIZE + 1];
    int backup, record;

    if (!MakeBackupLogPath(path, sizeof path, setup_log))
        return 1;
    backup = PathExists(path);
    if (backup <= 0)
        return backup == 0;
    record = MakeStashRecordPath(path, sizeof path, setup_log) ? PathExists(path) : 0;
    if (record < 0)
        return 0;
    /* No evidence beside a current log: a stale leftover, for the rename aside to remove. A
    ** backup that another product's journal names is left to that product's next run. */
    if ((log_exists && !record) || JournalNamesSetupLog(setup_log) != 0)
        return 1;
    return RecoverBackupLog(setup_log) &&
           RecoverStashRecord(braced_guid, ProductKeyView(), setup_log, 0, 1);
}

int JournalNamesSetupLog(const char *setup_log)
{
    char name[JOURNAL_NAME_SIZE];
    char named_log[ZMF_LOC_SIZE];
    HKEY journals, journal;
    LONG status = OpenJournals(&journals);
    DWORD i;
    int found = 0, named;

    if (status != ERROR_SUCCESS)
        return status == ERROR_FILE_NOT_FOUND ? 0 : -1;
    for (i = 0; found == 0 && (status = JournalName(journals, i, name)) == ERROR_SUCCESS; i++) {
        if (OpenJournal(name, &journal) != ERROR_SUCCESS) {
            found = -1;
            break;
        }
        named = ReadJournalSetupLog(journal, named_log);
        if (named < 0 || (named > 0 && SameTextFolded(named_log, setup_log)))
            found = named;
        RegCloseKey(journal);
    }
    RegCloseKey(journals);
    return found != 0 || status == ERROR_NO_MORE_ITEMS ? found : -1;
}
