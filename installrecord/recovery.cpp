#include "recovery.h"

#include <io.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "../launcher/paths.h"
#include "../launcher/tracelog.h"
#include "uninstallkey.h"
#include "uninststash.h"

static const char journal_name[] = JOURNAL_VALUE_NAME;
static const char record_prefix[] = STASH_RECORD_PREFIX;
#define RECORD_PREFIX_LEN (sizeof record_prefix - 1)

/* Writes type/bytes as UninstallString when that value is absent; a present one wins. */
static void SetUninstallStringIfAbsent(HKEY key, DWORD type, const char *bytes, DWORD size)
{
    LONG status = RegQueryValueExA(key, "UninstallString", NULL, NULL, NULL, NULL);
    if (status == ERROR_SUCCESS) {
        Trace("UninstallString present: left as it is\n");
        return;
    }
    status = RegSetValueExA(key, "UninstallString", 0, type, (const BYTE *)bytes, size);
    Trace("Recover UninstallString: return from ReqSetValueEx(): %d\n", (int)status);
}

static HKEY OpenProductKeyQuietly(const char *braced_guid)
{
    char uninstkey[UNINSTALL_KEY_SIZE];
    HKEY key;
    if (!MakeUninstallKeyPath(uninstkey, sizeof uninstkey, braced_guid))
        return NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, uninstkey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

/* Puts the journal copy back as UninstallString and deletes it. Returns 1 when there was one. */
static int RecoverFromJournal(const char *braced_guid)
{
    char value[SAVED_UNINST_SIZE];
    DWORD size = sizeof value;
    DWORD type = REG_SZ;
    LONG status;
    HKEY key = OpenProductKeyQuietly(braced_guid);

    if (key == NULL)
        return 0;
    status = RegQueryValueExA(key, journal_name, NULL, &type, (BYTE *)value, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        RegCloseKey(key);
        return 0;
    }
    Trace("Query %s: return from ReqQueryValueEx(): %d\n", journal_name, (int)status);
    if (status == ERROR_SUCCESS)
        SetUninstallStringIfAbsent(key, type, value, size);
    DeleteUninstallJournal(key);
    RegCloseKey(key);
    return 1;
}

/* A file, not a folder, exists at path: only a file can be a setup log set aside. */
static int FileExists(const char *path)
{
    FILE *fp = fopen(path, "rb");
    if (fp == NULL)
        return 0;
    fclose(fp);
    return 1;
}

/* Moves a backup log left by an interrupted run back to the setup log path, after removing
** the new log that run's engine wrote there. A log that cannot be removed keeps both. */
static void RecoverBackupLog(const char *zmf_loc)
{
    char backup_path[ZMF_LOC_SIZE];
    int rc;

    if (!MakeBackupLogPath(backup_path, sizeof backup_path, zmf_loc) || !FileExists(backup_path))
        return;
    Trace("Backup log left by an interrupted run=%s\n", backup_path);
    if (_access(zmf_loc, 0) == 0) {
        rc = remove(zmf_loc);
        Trace("Deleting interrupted run's log file: return from remove(): %d\n", rc);
        if (rc != 0)
            return;
    }
    Trace("Renaming backup log back: return from rename(): %d\n", rename(backup_path, zmf_loc));
}

/* Restores UninstallString from a stash record, the only record left when no journal was:
** "UninstallString=" and a text that fits the stash, written back as REG_SZ with its
** terminator. Anything else restores nothing. */
static void RecoverFromStashRecord(const char *braced_guid, const char *record_path)
{
    char record[RECORD_PREFIX_LEN + SAVED_UNINST_SIZE + 1];
    size_t n, len;
    FILE *fp = fopen(record_path, "r");
    HKEY key;

    if (fp == NULL)
        return;
    n = fread(record, 1, sizeof record, fp);
    fclose(fp);
    len = 0;
    if (n > RECORD_PREFIX_LEN && n < sizeof record &&
        memcmp(record, record_prefix, RECORD_PREFIX_LEN) == 0) {
        record[n] = '\0'; /* the text ends at its own zero byte, or at the end of the file */
        len = strlen(record + RECORD_PREFIX_LEN);
    }
    if (len == 0 || len >= SAVED_UNINST_SIZE) {
        Trace("Stash record holds no value to recover\n");
        return;
    }
    key = OpenProductKeyQuietly(braced_guid);
    if (key == NULL) {
        Trace("Stash record: product uninstall key not opened\n");
        return;
    }
    SetUninstallStringIfAbsent(key, REG_SZ, record + RECORD_PREFIX_LEN, (DWORD)len + 1);
    RegCloseKey(key);
}

int RecoverInterruptedRun(const char *braced_guid, char zmf_loc[ZMF_LOC_SIZE])
{
    char record_path[ZMF_LOC_SIZE];
    int journal_found, found = 0;

    Trace("Begin: RecoverInterruptedRun().\n");
    journal_found = RecoverFromJournal(braced_guid);
    MakeUninstLogFile(braced_guid, zmf_loc); /* its answer may be stale after the moves below */
    if (zmf_loc[0] != '\0') {
        RecoverBackupLog(zmf_loc);
        if (MakeStashRecordPath(record_path, sizeof record_path, zmf_loc) &&
            _access(record_path, 0) == 0) {
            Trace("Stash record left by an interrupted run=%s\n", record_path);
            if (!journal_found)
                RecoverFromStashRecord(braced_guid, record_path);
            Trace("Deleting stash record: return from remove(): %d\n", remove(record_path));
        }
        found = _access(zmf_loc, 0) == 0;
    }
    Trace("End: RecoverInterruptedRun().\n");
    return found;
}
