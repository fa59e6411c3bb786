#include "uninststash.h"

#include <stdio.h>
#include <string.h>

#include "../launcher/tracelog.h"
#include "../platform/newfile.h"
#include "uninstallkey.h"

alignas(WCHAR) static char saved_uninst[SAVED_UNINST_SIZE]; /* the value as read, terminated */
static DWORD saved_uninst_type;     /* its registry type, set by the read that fills it */
static DWORD saved_uninst_size = 0; /* the byte count the registry delivered */
static int saved_uninst_read = 0;   /* saved_uninst holds the value of this run */

void ResetUninstallStash(void)
{
    memset(saved_uninst, 0, sizeof saved_uninst);
    saved_uninst_type = 0;
    saved_uninst_size = 0;
    saved_uninst_read = 0;
}

static const char record_prefix[] = UNINSTALL_STRING "=";
#define RECORD_PREFIX_LEN (sizeof record_prefix - 1)

/* The longest text a stash record takes: the record buffer must hold the prefix and every
** byte of the value's ANSI form, and saved_uninst the value as read (in UTF-16 at most twice
** as long) and a wide terminator. */
#define STASH_LIMIT (STASH_RECORD_SIZE - RECORD_PREFIX_LEN)
static_assert(2 * STASH_LIMIT + 2 <= SAVED_UNINST_SIZE, "saved_uninst holds a value as read");

HKEY OpenUninstallString(const char *braced_guid, REGSAM view, LONG *status)
{
    char uninstkey[UNINSTALL_KEY_SIZE];
    HKEY key;

    Trace("Begin: OpenUninstallString().\n");
    *status = OpenProductKey(braced_guid, view, uninstkey, &key);
    Trace("Uninstall key: uninstkey:\"%s\"\n", uninstkey);
    if (*status != ERROR_SUCCESS) {
        Trace("RegOpenKeyEx() returned: %d\n", (int)*status);
        return NULL;
    }
    Trace("End: OpenUninstallString().\n");
    return key;
}

/* The stash record, written and read side by side: "UninstallString=" and the value's n bytes
** in the ANSI code page (text, of RecordText), through a text stream, in one write. */
static void WriteStashRecord(const char *record_path, const char *text, int n)
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
    memcpy(record + RECORD_PREFIX_LEN, text, (size_t)n);
    fwrite(record, RECORD_PREFIX_LEN + n, 1, fp);
    fclose(fp);
}

/* The value read into saved_uninst (size bytes of type), in the ANSI code page, into text of
** STASH_LIMIT bytes: a string value read in UTF-16 is spelled as the ANSI calls would read it,
** any other as it is. Returns the byte count, -1 when it does not fit, -2 when it cannot be
** spelled. */
static int RecordText(DWORD type, DWORD size, char text[STASH_LIMIT])
{
    int n;

    if (UninstallValueForm() <= 0 ||
        (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)) {
        if (size > STASH_LIMIT)
            return -1;
        memcpy(text, saved_uninst, size);
        return (int)size;
    }
    if (size / sizeof(WCHAR) == 0)
        return 0; /* no character: nothing to spell */
    n = WideCharToMultiByte(CP_ACP, 0, (const WCHAR *)saved_uninst, (int)(size / sizeof(WCHAR)),
                            text, STASH_LIMIT, NULL, NULL);
    if (n > 0)
        return n;
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? -1 : -2;
}

int ReadStashRecord(const char *record_path, char text[SAVED_UNINST_SIZE])
{
    char record[RECORD_PREFIX_LEN + SAVED_UNINST_SIZE + 1];
    size_t n, len, i, j;
    /* Binary: in text mode a 0x1A byte of the value would end the read. */
    FILE *fp = fopen(record_path, "rb");

    text[0] = '\0';
    if (fp == NULL)
        return -1;
    n = fread(record, 1, sizeof record, fp);
    fclose(fp);
    if (n == sizeof record)
        return 0;
    /* Written through a text stream: each line feed of the value went out as CR LF. */
    for (i = j = 0; i < n; i++)
        if (record[i] != '\r' || i + 1 == n || record[i + 1] != '\n')
            record[j++] = record[i];
    record[j] = '\0'; /* the text ends at its own zero byte, or at the end of the file */
    if (strncmp(record, record_prefix, RECORD_PREFIX_LEN) != 0)
        return 0;
    len = strlen(record + RECORD_PREFIX_LEN);
    if (len >= SAVED_UNINST_SIZE)
        return 0;
    memcpy(text, record + RECORD_PREFIX_LEN, len + 1);
    return (int)len;
}

/* Reads UninstallString into saved_uninst, in the registry's own form, and its stash record
** text into text. Returns ERROR_SUCCESS when it was read whole, ERROR_FILE_NOT_FOUND when there
** is none, ERROR_MORE_DATA when it is too long for the stash, or the failing query's status;
** *n gets the record text's byte count, 0 when none was read. */
static LONG ReadUninstallString(HKEY key, char text[STASH_LIMIT], int *n)
{
    DWORD size = 0;
    LONG status;

    *n = 0;
    status = QueryUninstallValue(key, NULL, NULL, &size);
    Trace("Query UninstallString for size: return from ReqQueryValueEx(): %d\n", (int)status);
    if (status == ERROR_SUCCESS && size > SAVED_UNINST_SIZE - sizeof(WCHAR))
        status = ERROR_MORE_DATA;
    if (status == ERROR_SUCCESS) {
        status = QueryUninstallValue(key, &saved_uninst_type, (BYTE *)saved_uninst, &size);
        Trace("Query UninstallString: return from ReqQueryValueEx(): %d\n", (int)status);
    }
    if (status == ERROR_SUCCESS) {
        /* The registry may hand back a value without a terminator. */
        memset(saved_uninst + size, 0, sizeof(WCHAR));
        *n = RecordText(saved_uninst_type, size, text);
        if (*n < 0)
            status = *n == -1 ? ERROR_MORE_DATA : ERROR_NO_UNICODE_TRANSLATION;
    }
    if (status == ERROR_MORE_DATA)
        Trace("UninstallString of %ld bytes does not fit the stash: left in place\n", (long)size);
    if (status != ERROR_SUCCESS) {
        *n = 0;
        return status;
    }
    saved_uninst_size = size;
    saved_uninst_read = 1;
    return ERROR_SUCCESS;
}

int RemoveUninstallString(const char *braced_guid, const char *record_path)
{
    char text[STASH_LIMIT];
    HKEY key;
    LONG status;
    int n;

    Trace("Begin: RemoveUninstallString().\n");
    key = OpenUninstallString(braced_guid, ProductKeyView(), &status);
    if (key == NULL) {
        Trace("OpenUninstallStringKey failed.\n");
        Trace("End: RemoveUninstallString().\n");
        return status == ERROR_FILE_NOT_FOUND; /* no key, no value to take away */
    }
    status = ReadUninstallString(key, text, &n);
    if (status != ERROR_SUCCESS) {
        Trace("UninstallString not read: not deleted\n");
    } else if (!SaveToJournal(braced_guid, uninstall_string, saved_uninst_type, saved_uninst,
                              saved_uninst_size)) {
        /* Never deleted without its copy, and never left to an engine that may delete it. */
        Trace("UninstallString not saved: not deleted\n");
        status = ERROR_CANTWRITE;
    } else {
        LONG deleted = RegDeleteValueA(key, uninstall_string);
        Trace("Delete UninstallString: return from ReqDeleteValue(): %d\n", (int)deleted);
    }
    RegCloseKey(key);
    WriteStashRecord(record_path, text, n);
    Trace("End: RemoveUninstallString().\n");
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA;
}

int PutUninstallStringBack(const char *braced_guid, REGSAM view, int wide, DWORD type,
                           const char *bytes, DWORD size)
{
    LONG status;
    HKEY key = OpenUninstallString(braced_guid, view, &status);

    if (key == NULL) {
        Trace("OpenUninstallStringKey failed.\n");
        /* An engine that removed the product deleted its key; it is not made anew. */
        return status == ERROR_FILE_NOT_FOUND;
    }
    status = RegQueryValueExA(key, uninstall_string, NULL, NULL, NULL, NULL);
    if (status == ERROR_FILE_NOT_FOUND) {
        status = SetUninstallValue(key, wide, type, (const BYTE *)bytes, size);
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
        back = PutUninstallStringBack(braced_guid, ProductKeyView(), UninstallValueForm() > 0,
                                      saved_uninst_type, saved_uninst, saved_uninst_size);
    else
        Trace("UninstallString was not read: nothing to set\n");
    Trace("End: RestoreUninstallString().\n");
    return back;
}
