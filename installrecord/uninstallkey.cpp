#include "uninstallkey.h"

#include <string.h>

#include "../launcher/tracelog.h"
#include "../platform/version.h"

static const char product_prefix[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const char uninstall_string[] = UNINSTALL_STRING;
const char journal_setup_log[] = JOURNAL_SETUP_LOG;

/* The journal lives apart from the product's key: an engine that removes the product deletes
** that key, and a later run must still find which setup log a killed run moved aside. */
static const char journal_prefix[] = "SOFTWARE\\Brevane\\Setup Launcher\\";
/* Its parents, made with the first journal. */
static const char launcher_key[] = "SOFTWARE\\Brevane\\Setup Launcher";
static const char vendor_key[] = "SOFTWARE\\Brevane";

static const WCHAR uninstall_string_w[] = {'U', 'n', 'i', 'n', 's', 't', 'a', 'l',
                                           'l', 'S', 't', 'r', 'i', 'n', 'g', 0};

typedef LONG(WINAPI *RegQueryValueExWFn)(HKEY key, LPCWSTR name, DWORD *reserved, DWORD *type,
                                         BYTE *data, DWORD *size);
typedef LONG(WINAPI *RegSetValueExWFn)(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                       const BYTE *data, DWORD size);

/* The wide calls, looked up once per run so that a value is read and written back in one
** form: advapi32 of the consumer family may lack them, and the exe must load there. */
struct WideRegistryCalls {
    int looked_up;
    RegQueryValueExWFn query;
    RegSetValueExWFn set;
};

static struct WideRegistryCalls wide_calls = {0, NULL, NULL};
static REGSAM engine_view = 0;
static REGSAM product_view = 0;

void ResetUninstallKeys(void)
{
    wide_calls = WideRegistryCalls{0, NULL, NULL};
    engine_view = product_view = 0;
}

int SetEngineView(int engine_is_64)
{
    int wow64 = RunsUnderWow64();
    if (wow64 <= 0)
        return wow64 == 0;
    engine_view = product_view = engine_is_64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    Trace("engine_view=%d-bit\n", (int)ViewBits(engine_view));
    return 1;
}

REGSAM EngineView(void)
{
    return engine_view;
}

REGSAM ProductKeyView(void)
{
    return product_view;
}

DWORD ViewBits(REGSAM view)
{
    return view == KEY_WOW64_64KEY ? 64 : 32;
}

int UninstallValueForm(void)
{
    HMODULE advapi32;

    if (!GetPlatformVersion()->nt)
        return 0;
    if (!wide_calls.looked_up) {
        wide_calls.looked_up = 1;
        advapi32 = GetModuleHandleA("advapi32.dll");
        if (advapi32 != NULL) {
            wide_calls.query =
                (RegQueryValueExWFn)(void *)GetProcAddress(advapi32, "RegQueryValueExW");
            wide_calls.set = (RegSetValueExWFn)(void *)GetProcAddress(advapi32, "RegSetValueExW");
        }
    }
    return wide_calls.query != NULL && wide_calls.set != NULL ? 1 : -1;
}

LONG QueryWideValue(HKEY key, const WCHAR *name, DWORD *type, BYTE *data, DWORD *size)
{
    if (UninstallValueForm() <= 0)
        return ERROR_PROC_NOT_FOUND;
    return wide_calls.query(key, name, NULL, type, data, size);
}

LONG QueryUninstallValue(HKEY key, DWORD *type, BYTE *data, DWORD *size)
{
    if (UninstallValueForm() == 0)
        return RegQueryValueExA(key, uninstall_string, NULL, type, data, size);
    return QueryWideValue(key, uninstall_string_w, type, data, size);
}

LONG SetUninstallValue(HKEY key, int wide, DWORD type, const BYTE *data, DWORD size)
{
    if (!wide) /* text in the code page, as the stash record holds it */
        return RegSetValueExA(key, uninstall_string, 0, type, data, size);
    if (UninstallValueForm() <= 0)
        return ERROR_PROC_NOT_FOUND; /* wide bytes never go through the ANSI call */
    return wide_calls.set(key, uninstall_string_w, 0, type, data, size);
}

/* prefix + braced GUID into dest of UNINSTALL_KEY_SIZE bytes; 0, dest emptied, when too long. */
static int MakeKeyPath(char dest[UNINSTALL_KEY_SIZE], const char *prefix, const char *braced_guid)
{
    size_t prefix_len = strlen(prefix), guid_len = strlen(braced_guid);

    dest[0] = '\0';
    if (prefix_len + guid_len >= UNINSTALL_KEY_SIZE)
        return 0;
    memcpy(dest, prefix, prefix_len);
    memcpy(dest + prefix_len, braced_guid, guid_len + 1);
    return 1;
}

static LONG OpenKey(const char *prefix, const char *braced_guid, REGSAM view,
                    char path[UNINSTALL_KEY_SIZE], HKEY *key)
{
    *key = NULL;
    if (!MakeKeyPath(path, prefix, braced_guid))
        return ERROR_INVALID_PARAMETER;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, key);
}

LONG OpenProductKey(const char *braced_guid, REGSAM view, char uninstkey[UNINSTALL_KEY_SIZE],
                    HKEY *key)
{
    return OpenKey(product_prefix, braced_guid, view, uninstkey, key);
}

/* An engine may write its entry in the other view on purpose. */
LONG FindProductKey(const char *braced_guid, char uninstkey[UNINSTALL_KEY_SIZE], HKEY *key)
{
    REGSAM other = engine_view ^ (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    LONG status = OpenProductKey(braced_guid, engine_view, uninstkey, key);

    if (engine_view == 0)
        return status;
    if (status == ERROR_FILE_NOT_FOUND &&
        (status = OpenProductKey(braced_guid, other, uninstkey, key)) == ERROR_SUCCESS)
        product_view = other;
    if (status == ERROR_SUCCESS)
        Trace("uninstkey_view=%d-bit\n", (int)ViewBits(product_view));
    return status;
}

LONG ReadJournalView(HKEY journal, REGSAM *view)
{
    DWORD bits = 0, size = sizeof bits, type = 0;
    LONG status = RegQueryValueExA(journal, JOURNAL_VIEW, NULL, &type, (BYTE *)&bits, &size);

    *view = 0;
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status == ERROR_SUCCESS &&
        (type != REG_DWORD || size != sizeof bits || (bits != 32 && bits != 64)))
        status = ERROR_INVALID_DATA; /* names no view this launcher writes */
    /* Views only where the system has two: it refuses the flags where it has one. The run has
    ** stopped before this where that cannot be told. */
    if (status != ERROR_SUCCESS)
        return status;
    if (RunsUnderWow64() > 0)
        *view = bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    return ERROR_SUCCESS;
}

LONG OpenJournals(HKEY *key)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, launcher_key, 0, KEY_ALL_ACCESS, key);
}

LONG OpenJournal(const char *braced_guid, HKEY *key)
{
    char path[UNINSTALL_KEY_SIZE];
    return OpenKey(journal_prefix, braced_guid, 0, path, key);
}

int SaveToJournal(const char *braced_guid, const char *name, DWORD type, const void *bytes,
                  DWORD size)
{
    char path[UNINSTALL_KEY_SIZE];
    HKEY key = NULL;
    LONG status = ERROR_INVALID_PARAMETER;

    if (MakeKeyPath(path, journal_prefix, braced_guid))
        status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, NULL, &key, NULL);
    if (status == ERROR_SUCCESS) {
        if (strcmp(name, uninstall_string) == 0) {
            /* The view first: a copy is never without the key it goes back to. */
            DWORD bits = ViewBits(product_view);
            if (product_view != 0)
                status = RegSetValueExA(key, JOURNAL_VIEW, 0, REG_DWORD, (const BYTE *)&bits,
                                        sizeof bits);
            if (status == ERROR_SUCCESS)
                status = SetUninstallValue(key, UninstallValueForm() > 0, type, (const BYTE *)bytes,
                                           size);
        } else
            status = RegSetValueExA(key, name, 0, type, (const BYTE *)bytes, size);
        /* The registry and the file system reach the disk each in its own time: what the
        ** journal holds must be there before the setup log or the value it saves goes. */
        if (status == ERROR_SUCCESS)
            status = RegFlushKey(key);
        RegCloseKey(key);
    }
    Trace("Save %s to journal: return from ReqSetValueEx(): %d\n", name, (int)status);
    return status == ERROR_SUCCESS;
}

/* Deletes the key at path when it holds no value and no subkey: nothing else uses it. (The
** consumer family's RegDeleteKey would take subkeys along: the test comes first there too.) */
static void DeleteIfEmpty(const char *path)
{
    HKEY key;
    DWORD subkeys = 1, values = 1;
    LONG status;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    status = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL,
                              NULL, NULL);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS && subkeys == 0 && values == 0)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

void DeleteJournal(const char *braced_guid)
{
    char path[UNINSTALL_KEY_SIZE];
    LONG status = ERROR_INVALID_PARAMETER;

    if (MakeKeyPath(path, journal_prefix, braced_guid))
        status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    Trace("Delete journal: return from RegDeleteKey(): %d\n", (int)status);
    if (status == ERROR_SUCCESS)
        DeleteEmptyJournalParents();
}

void DeleteEmptyJournalParents(void)
{
    DeleteIfEmpty(launcher_key);
    DeleteIfEmpty(vendor_key);
}
