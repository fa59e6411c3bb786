#include "uninststash.h"

#include <string.h>

#include "../launcher/tracelog.h"
#include "uninstallkey.h"

FILE *uninst_fp = NULL;
char saved_uninst[SAVED_UNINST_SIZE];
DWORD saved_uninst_type; /* set by the read that fills saved_uninst */
DWORD saved_uninst_size = 0;
int saved_uninst_taken = 0;

static const char journal_name[] = JOURNAL_VALUE_NAME;
static const char record_prefix[] = STASH_RECORD_PREFIX;
#define RECORD_PREFIX_LEN (sizeof record_prefix - 1)

/* The largest value that is taken away: the record buffer must hold the prefix and every
** delivered byte, and saved_uninst a terminator after them. */
#define STASH_LIMIT (STASH_RECORD_SIZE - RECORD_PREFIX_LEN)
static_assert(STASH_LIMIT < SAVED_UNINST_SIZE, "saved_uninst holds a value and a terminator");

HKEY OpenUninstallString(const char *braced_guid)
{
    char uninstkey[UNINSTALL_KEY_SIZE];
    HKEY key = NULL;
    LONG status;

    Trace("Begin: OpenUninstallString().\n");
    MakeUninstallKeyPath(uninstkey, sizeof uninstkey, braced_guid);
    Trace("Uninstall key: uninstkey:\"%s\"\n", uninstkey);
    if (uninstkey[0] == '\0')
        status = ERROR_INVALID_PARAMETER;
    else
        status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, uninstkey, 0, KEY_ALL_ACCESS, &key);
    if (status != ERROR_SUCCESS) {
        Trace("RegOpenKeyEx() returned: %d\n", (int)status);
        return NULL;
    }
    Trace("End: OpenUninstallString().\n");
    return key;
}

/* Writes "UninstallString=" and the first value_size bytes of saved_uninst to uninst_fp in one
** write, then closes it. A NULL stream (the record file could not be created) is skipped. */
static void WriteStashRecord(DWORD value_size)
{
    char record[STASH_RECORD_SIZE];

    if (uninst_fp == NULL)
        return;
    memcpy(record, record_prefix, RECORD_PREFIX_LEN);
    memcpy(record + RECORD_PREFIX_LEN, saved_uninst, value_size);
    fwrite(record, RECORD_PREFIX_LEN + value_size, 1, uninst_fp);
    fclose(uninst_fp);
    uninst_fp = NULL;
}

/* Reads UninstallString into saved_uninst; returns the delivered byte count through *size and
** 1 when the value was read whole. A value longer than the stash is not read. */
static int ReadUninstallString(HKEY key, DWORD *size)
{
    LONG status;

    *size = 0;
    status = RegQueryValueExA(key, "UninstallString", NULL, NULL, NULL, size);
    Trace("Query UninstallString for size: return from ReqQueryValueEx(): %d\n", (int)status);
    if (status != ERROR_SUCCESS)
        *size = 0;
    if (*size > STASH_LIMIT) {
        Trace("UninstallString of %ld bytes does not fit the stash: left in place\n", (long)*size);
        *size = 0;
        return 0;
    }
    status = RegQueryValueExA(key, "UninstallString", NULL, &saved_uninst_type,
                              (BYTE *)saved_uninst, size);
    Trace("Query UninstallString: return from ReqQueryValueEx(): %d\n", (int)status);
    if (status != ERROR_SUCCESS || *size > STASH_LIMIT) {
        *size = 0;
        saved_uninst[0] = '\0';
        return 0;
    }
    saved_uninst[*size] = '\0';
    return 1;
}

/* Copies the value just read to LauncherSavedUninstallString, where a later run finds it
** when this one never gets to put the value back. Returns 0, and the value must then stay,
** when the copy could not be written. */
static int WriteJournal(HKEY key, DWORD size)
{
    LONG status =
        RegSetValueExA(key, journal_name, 0, saved_uninst_type, (const BYTE *)saved_uninst, size);
    Trace("Save UninstallString to %s: return from ReqSetValueEx(): %d\n", journal_name,
          (int)status);
    if (status != ERROR_SUCCESS) {
        Trace("UninstallString not saved: not deleted\n");
        return 0;
    }
    return 1;
}

void DeleteUninstallJournal(HKEY key)
{
    LONG status = RegDeleteValueA(key, journal_name);
    Trace("Delete %s: return from ReqDeleteValue(): %d\n", journal_name, (int)status);
}

void RemoveUninstallString(const char *braced_guid)
{
    HKEY key;
    DWORD size;
    LONG status;

    Trace("Begin: RemoveUninstallString().\n");
    key = OpenUninstallString(braced_guid);
    if (key == NULL) {
        Trace("OpenUninstallStringKey failed.\n");
        /* Nobody else writes the record: close it so that the empty file can be removed. */
        if (uninst_fp != NULL)
            fclose(uninst_fp);
        uninst_fp = NULL;
        Trace("End: RemoveUninstallString().\n");
        return;
    }
    if (!ReadUninstallString(key, &size)) {
        Trace("UninstallString not read: not deleted\n");
    } else if (WriteJournal(key, size)) {
        status = RegDeleteValueA(key, "UninstallString");
        Trace("Delete UninstallString: return from ReqDeleteValue(): %d\n", (int)status);
        if (status == ERROR_SUCCESS) {
            saved_uninst_size = size;
            saved_uninst_taken = 1;
        } else {
            /* The value stays, so its copy must not outlive the run. */
            DeleteUninstallJournal(key);
        }
    }
    RegCloseKey(key);
    WriteStashRecord(size);
    Trace("End: RemoveUninstallString().\n");
}

void RestoreUninstallString(const char *braced_guid)
{
    HKEY key;
    LONG status;

    Trace("Begin: RestoreUninstallString().\n");
    key = OpenUninstallString(braced_guid);
    if (key == NULL) {
        Trace("OpenUninstallStringKey failed.\n");
        Trace("End: RestoreUninstallString().\n");
        return;
    }
    status = RegQueryValueExA(key, "UninstallString", NULL, NULL, NULL, NULL);
    if (status == ERROR_SUCCESS) {
        Trace("Query UninstallString: return from ReqQueryValueEx(): %d\n", (int)status);
    } else if (saved_uninst_taken) {
        status = RegSetValueExA(key, "UninstallString", 0, saved_uninst_type,
                                (const BYTE *)saved_uninst, saved_uninst_size);
        Trace("Set UninstallString: return from ReqSetValueEx(): %d\n", (int)status);
    } else {
        Trace("UninstallString was not taken away: nothing to set\n");
    }
    /* The journal goes once the value is back; a failed write back keeps it for a later run. */
    if (saved_uninst_taken && status == ERROR_SUCCESS)
        DeleteUninstallJournal(key);
    RegCloseKey(key);
    Trace("End: RestoreUninstallString().\n");
}
