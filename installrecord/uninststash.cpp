#include "uninststash.h"

#include <stdio.h>
#include <string.h>

#include "../launcher/newfile.h"
#include "../launcher/tracelog.h"
#include "uninstallkey.h"

char saved_uninst[SAVED_UNINST_SIZE];
DWORD saved_uninst_type; /* set by the read that fills saved_uninst */
DWORD saved_uninst_size = 0;
int saved_uninst_read = 0;

static const char record_prefix[] = UNINSTALL_STRING "=";
#define RECORD_PREFIX_LEN (sizeof record_prefix - 1)

/* The largest value that is taken away: the record buffer must hold the prefix and every
** delivered byte, and saved_uninst a terminator after them. */
#define STASH_LIMIT (STASH_RECORD_SIZE - RECORD_PREFIX_LEN)
static_assert(STASH_LIMIT < SAVED_UNINST_SIZE, "saved_uninst holds a value and a terminator");

HKEY OpenUninstallString(const char *braced_guid, LONG *status)
{
    char uninstkey[UNINSTALL_KEY_SIZE];
    HKEY key;

    Trace("Begin: OpenUninstallString().\n");
    *status = OpenProductKey(braced_guid, uninstkey, &key);
    Trace("Uninstall key: uninstkey:\"%s\"\n", uninstkey);
    if (*status != ERROR_SUCCESS) {
        Trace("RegOpenKeyEx() returned: %d\n", (int)*status);
        return NULL;
    }
    Trace("End: OpenUninstallString().\n");
    return key;
}

/* The stash record, written and read side by side: "UninstallString=" and the value's bytes as
** the registry delivered them, through a text stream, in one write. */
static void WriteStashRecord(const char *record_path, DWORD value_size)
{
    char record[STASH_RECORD_SIZE];
    FILE *fp;

    if (record_path[0] == '\0')
        return;
    fp = CreateNewTextStream(record_path); /* never written through a link planted there */
    if (fp == NULL) {
        Trace("Stash record not created: %s\n", record_path);
        return;
    }
    memcpy(record, record_prefix, RECORD_PREFIX_LEN);
    memcpy(record + RECORD_PREFIX_LEN, saved_uninst, value_size);
    fwrite(record, RECORD_PREFIX_LEN + value_size, 1, fp);
    fclose(fp);
}

int ReadStashRecord(const char *record_path, char text[SAVED_UNINST_SIZE])
{
    char record[RECORD_PREFIX_LEN + SAVED_UNINST_SIZE + 1];
    size_t n, len;
    FILE *fp = fopen(record_path, "r");

    text[0] = '\0';
    if (fp == NULL)
        return -1;
    n = fread(record, 1, sizeof record, fp);
    fclose(fp);
    if (n == sizeof record)
        return 0;
    record[n] = '\0'; /* the text ends at its own zero byte, or at the end of the file */
    if (strncmp(record, record_prefix, RECORD_PREFIX_LEN) != 0)
        return 0;
    len = strlen(record + RECORD_PREFIX_LEN);
    if (len >= SAVED_UNINST_SIZE)
        return 0;
    memcpy(text, record + RECORD_PREFIX_LEN, len + 1);
    return (int)len;
}

/* Reads UninstallString into saved_uninst. Returns ERROR_SUCCESS when it was read whole,
** ERROR_FILE_NOT_FOUND when there is none, ERROR_MORE_DATA when it is too long for the stash,
** or the failing query's status; *size gets the byte count read, 0 when none was. */
static LONG ReadUninstallString(HKEY key, DWORD *size)
{
    LONG status;

    *size = 0;
    status = RegQueryValueExA(key, UNINSTALL_STRING, NULL, NULL, NULL, size);
    Trace("Query UninstallString for size: return from ReqQueryValueEx(): %d\n", (int)status);
    if (status == ERROR_SUCCESS && *size > STASH_LIMIT) {
        Trace("UninstallString of %ld bytes does not fit the stash: left in place\n", (long)*size);
        status = ERROR_MORE_DATA;
    }
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExA(key, UNINSTALL_STRING, NULL, &saved_uninst_type,
                                  (BYTE *)saved_uninst, size);
        Trace("Query UninstallString: return from ReqQueryValueEx(): %d\n", (int)status);
    }
    if (status != ERROR_SUCCESS) {
        *size = 0;
        return status;
    }
    saved_uninst[*size] = '\0';
    saved_uninst_size = *size;
    saved_uninst_read = 1;
    return ERROR_SUCCESS;
}

int RemoveUninstallString(const char *braced_guid, const char *record_path)
{
    HKEY key;
    DWORD size;
    LONG status;

    Trace("Begin: RemoveUninstallString().\n");
    key = OpenUninstallString(braced_guid, &status);
    if (key == NULL) {
        Trace("OpenUninstallStringKey failed.\n");
        Trace("End: RemoveUninstallString().\n");
        return status == ERROR_FILE_NOT_FOUND; /* no key, no value to take away */
    }
    status = ReadUninstallString(key, &size);
    if (status != ERROR_SUCCESS) {
        Trace("UninstallString not read: not deleted\n");
    } else if (!SaveToJournal(braced_guid, UNINSTALL_STRING, saved_uninst_type, saved_uninst,
                              size)) {
        Trace("UninstallString not saved: not deleted\n");
    } else {
        LONG deleted = RegDeleteValueA(key, UNINSTALL_STRING);
        Trace("Delete UninstallString: return from ReqDeleteValue(): %d\n", (int)deleted);
    }
    RegCloseKey(key);
    WriteStashRecord(record_path, size);
    Trace("End: RemoveUninstallString().\n");
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA;
}

int PutUninstallStringBack(const char *braced_guid, DWORD type, const char *bytes, DWORD size)
{
    LONG status;
    HKEY key = OpenUninstallString(braced_guid, &status);

    if (key == NULL) {
        Trace("OpenUninstallStringKey failed.\n");
        /* An engine that removed the product deleted its key; it is not made anew. */
        return status == ERROR_FILE_NOT_FOUND;
    }
    status = RegQueryValueExA(key, UNINSTALL_STRING, NULL, NULL, NULL, NULL);
    if (status == ERROR_FILE_NOT_FOUND) {
        status = RegSetValueExA(key, UNINSTALL_STRING, 0, type, (const BYTE *)bytes, size);
        Trace("Set UninstallString: return from ReqSetValueEx(): %d\n", (int)status);
    } else {
        /* Present, or a failure that does not say it is absent: nothing is written over it. */
        Trace("Query UninstallString: return from ReqQueryValueEx(): %d\n", (int)status);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

int RestoreUninstallString(const char *braced_guid)
{
    int back = 1;

    Trace("Begin: RestoreUninstallString().\n");
    if (saved_uninst_read)
        back =
            PutUninstallStringBack(braced_guid, saved_uninst_type, saved_uninst, saved_uninst_size);
    else
        Trace("UninstallString was not read: nothing to set\n");
    Trace("End: RestoreUninstallString().\n");
    return back;
}
