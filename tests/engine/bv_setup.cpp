/* Test engine: stands in for bv_setup.exe. Appends what it received to %BV_TEST_RECORD%
** ("cmdline=", "cwd=", "show=" lines), then does what the inherited environment asks:
** BV_TEST_SPAWN_COPY_MS starts a copy of itself that sleeps that long and exits at once,
** otherwise BV_TEST_SLEEP_MS sleeps, then BV_TEST_WAIT_FILE (a path) is waited for until it
** exists, and then BV_TEST_WRITE_FILE (a path) is written, so the copy writes it when it ends.
** BV_TEST_EXIT_CODE is the exit code (default 0).
**
** For the installation record scenarios, before the copy or the sleep and in this order:
** - BV_TEST_SEE_FILES, paths separated by '|': one record line per path, "file <path>=absent"
**   or "file <path>=<its bytes in hex>" (lower case, nothing for an empty file).
** - BV_TEST_SEE_VALUES, value names separated by '|', of the key HKLM\%BV_TEST_KEY%: one line
**   per name, "value <name>=absent" or "value <name>=<type>:<bytes in hex>" as
**   RegQueryValueExA delivers them (type in decimal), or "value <name>=nokey".
** - BV_TEST_DELETE_KEY (any text): RegDeleteKeyA of HKLM\%BV_TEST_KEY%.
** - BV_TEST_DELETE_VALUES, names separated by '|': RegDeleteValueA of each in that key.
** - BV_TEST_SET_VALUES, entries "name|type|hex bytes" separated by ';': RegSetValueExA of
**   exactly those bytes with that type (decimal), the key created when it is missing.
** - BV_TEST_NEW_FILE (a path) and BV_TEST_NEW_FILE_HEX: that file written with those bytes.
** - BV_TEST_KEY2: a second key, seen and acted on by the same variables with a 2 at the end
**   (BV_TEST_SEE_VALUES2 and so on), each right after its first-key counterpart.
** - then the line "acted" is recorded: the engine is now in its sleep or ends.
** With none of these set nothing of this is done or recorded; a spawned copy does none.
**
** For the security tests: BV_TEST_HANDLES (any text) records, first thing, the line
** "handles=" and the values of every handle the process holds (probed), comma-separated;
** BV_TEST_LOAD_DLL (a name) is loaded by that bare name; BV_TEST_HARDLINK, "link|target",
** deletes link and makes it a second name of target.
** Any of these texts that begins with "hex:" is given in hex, for bytes that an environment
** variable does not carry as they are. The engine needs no launcher for them: started alone
** it plants or reads a registry state.
**
** As a starter (best under another image name, so that no launcher counts it as an engine):
** with BV_TEST_START_ON_DESKTOP ("station\\desktop") it does none of the above but starts the
** command line BV_TEST_START_COMMAND on that window station and desktop, which Wine creates,
** not visible, when they do not exist; it waits for it and exits with its exit code (255 when
** it cannot be started). The two variables are removed before the start. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define TEXT_SIZE 4096

static DWORD EnvNumber(const char *name, DWORD dflt)
{
    char value[32];
    DWORD len = GetEnvironmentVariableA(name, value, sizeof value);
    if (len == 0 || len >= sizeof value)
        return dflt;
    return (DWORD)strtoul(value, NULL, 10);
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Decodes hex text into out (capacity size); returns the byte count. */
static DWORD FromHex(const char *hex, size_t hex_len, BYTE *out, DWORD size)
{
    DWORD n = 0;
    while (hex_len >= 2 && n < size) {
        int hi = HexDigit(hex[0]), lo = HexDigit(hex[1]);
        if (hi < 0 || lo < 0)
            break;
        out[n++] = (BYTE)(hi * 16 + lo);
        hex += 2;
        hex_len -= 2;
    }
    return n;
}

/* The variable's text, terminated, decoded when it begins with "hex:"; 0 when unset. */
static int EnvText(const char *name, char *out, DWORD size)
{
    static char raw[TEXT_SIZE];
    DWORD len = GetEnvironmentVariableA(name, raw, sizeof raw);
    DWORD n;
    if (len == 0 || len >= sizeof raw)
        return 0;
    if (strncmp(raw, "hex:", 4) != 0) {
        if (len >= size)
            return 0;
        memcpy(out, raw, len + 1);
        return 1;
    }
    n = FromHex(raw + 4, len - 4, (BYTE *)out, size - 1);
    out[n] = '\0';
    return 1;
}

/* Takes the next item of list up to sep; returns 0 at the end. */
static int NextItem(char **list, char sep, char **item)
{
    char *end;
    if (*list == NULL || **list == '\0')
        return 0;
    *item = *list;
    end = strchr(*list, sep);
    if (end != NULL) {
        *end = '\0';
        *list = end + 1;
    } else {
        *list = NULL;
    }
    return 1;
}

static void PutHex(FILE *fp, const BYTE *bytes, DWORD n)
{
    for (DWORD i = 0; i < n; i++)
        fprintf(fp, "%02x", bytes[i]);
}

static FILE *OpenRecord(void)
{
    char path[MAX_PATH];
    DWORD len = GetEnvironmentVariableA("BV_TEST_RECORD", path, sizeof path);
    if (len == 0 || len >= sizeof path)
        return NULL;
    return fopen(path, "a");
}

static void Record(void)
{
    char cwd[MAX_PATH];
    STARTUPINFOA si;
    FILE *fp = OpenRecord();
    if (fp == NULL)
        return;
    GetStartupInfoA(&si);
    if (GetCurrentDirectoryA(sizeof cwd, cwd) == 0)
        cwd[0] = '\0';
    fprintf(fp, "cmdline=%s\ncwd=%s\nshow=%d\n", GetCommandLineA(), cwd,
            (si.dwFlags & STARTF_USESHOWWINDOW) ? (int)si.wShowWindow : -1);
    fclose(fp);
}

static void SeeFiles(FILE *rec, char *list)
{
    static BYTE data[65536];
    char *path;
    while (NextItem(&list, '|', &path)) {
        FILE *fp = fopen(path, "rb");
        fprintf(rec, "file %s=", path);
        if (fp == NULL) {
            fputs("absent\n", rec);
            continue;
        }
        size_t n = fread(data, 1, sizeof data, fp);
        fclose(fp);
        PutHex(rec, data, (DWORD)n);
        fputc('\n', rec);
    }
}

static void SeeValues(FILE *rec, const char *key_path, char *list)
{
    static BYTE data[65536];
    char *name;
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        key = NULL;
    while (NextItem(&list, '|', &name)) {
        DWORD type = 0, size = sizeof data;
        fprintf(rec, "value %s=", name);
        if (key == NULL) {
            fputs("nokey\n", rec);
            continue;
        }
        if (RegQueryValueExA(key, name, NULL, &type, data, &size) != ERROR_SUCCESS) {
            fputs("absent\n", rec);
            continue;
        }
        fprintf(rec, "%lu:", (unsigned long)type);
        PutHex(rec, data, size);
        fputc('\n', rec);
    }
    if (key != NULL)
        RegCloseKey(key);
}

static void DeleteValues(const char *key_path, char *list)
{
    char *name;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    while (NextItem(&list, '|', &name))
        RegDeleteValueA(key, name);
    RegCloseKey(key);
}

static void SetValues(const char *key_path, char *list)
{
    static BYTE data[TEXT_SIZE];
    char *entry;
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return;
    while (NextItem(&list, ';', &entry)) {
        char *name, *type;
        if (!NextItem(&entry, '|', &name) || !NextItem(&entry, '|', &type))
            continue;
        const char *hex = entry != NULL ? entry : "";
        DWORD n = FromHex(hex, strlen(hex), data, sizeof data);
        RegSetValueExA(key, name, 0, (DWORD)strtoul(type, NULL, 10), data, n);
    }
    RegCloseKey(key);
}

static void WriteNewFile(void)
{
    static char path[MAX_PATH], hex[TEXT_SIZE];
    static BYTE data[TEXT_SIZE];
    if (!EnvText("BV_TEST_NEW_FILE", path, sizeof path))
        return;
    if (!EnvText("BV_TEST_NEW_FILE_HEX", hex, sizeof hex))
        hex[0] = '\0';
    DWORD n = FromHex(hex, strlen(hex), data, sizeof data);
    FILE *fp = fopen(path, "wb");
    if (fp != NULL) {
        fwrite(data, 1, n, fp);
        fclose(fp);
    }
}

/* The installation record scenarios: see, then act, in the order of the header comment. */
static const char *const scenario_vars[] = {
    "BV_TEST_SEE_FILES",      "BV_TEST_SEE_VALUES",  "BV_TEST_DELETE_KEY",
    "BV_TEST_DELETE_VALUES",  "BV_TEST_SET_VALUES",  "BV_TEST_NEW_FILE",
    "BV_TEST_NEW_FILE_HEX",   "BV_TEST_SEE_VALUES2", "BV_TEST_DELETE_KEY2",
    "BV_TEST_DELETE_VALUES2", "BV_TEST_SET_VALUES2",
};

/* The variable name + suffix ("" for the first key, "2" for the second) into out. */
static const char *KeyVar(char out[64], const char *name, const char *suffix)
{
    snprintf(out, 64, "%s%s", name, suffix);
    return out;
}

static void SeeKey(FILE *rec, const char *suffix)
{
    static char key_path[MAX_PATH], list[TEXT_SIZE];
    char var[64];
    if (!EnvText(KeyVar(var, "BV_TEST_KEY", suffix), key_path, sizeof key_path))
        key_path[0] = '\0';
    if (EnvText(KeyVar(var, "BV_TEST_SEE_VALUES", suffix), list, sizeof list))
        SeeValues(rec, key_path, list);
}

static void ActOnKey(const char *suffix)
{
    static char key_path[MAX_PATH], list[TEXT_SIZE];
    char var[64];
    if (!EnvText(KeyVar(var, "BV_TEST_KEY", suffix), key_path, sizeof key_path) ||
        key_path[0] == '\0')
        return;
    if (EnvText(KeyVar(var, "BV_TEST_DELETE_KEY", suffix), list, sizeof list))
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, key_path);
    if (EnvText(KeyVar(var, "BV_TEST_DELETE_VALUES", suffix), list, sizeof list))
        DeleteValues(key_path, list);
    if (EnvText(KeyVar(var, "BV_TEST_SET_VALUES", suffix), list, sizeof list))
        SetValues(key_path, list);
}

static void SeeAndAct(void)
{
    static char list[TEXT_SIZE];
    FILE *rec;
    int any = 0;
    for (const char *name : scenario_vars)
        any |= GetEnvironmentVariableA(name, NULL, 0) > 0;
    if (!any)
        return;
    rec = OpenRecord();
    if (rec != NULL) {
        if (EnvText("BV_TEST_SEE_FILES", list, sizeof list))
            SeeFiles(rec, list);
        SeeKey(rec, "");
        SeeKey(rec, "2");
        fflush(rec);
    }
    ActOnKey("");
    ActOnKey("2");
    WriteNewFile();
    if (rec != NULL) {
        fputs("acted\n", rec);
        fclose(rec);
    }
}

static void SpawnCopy(DWORD copy_ms)
{
    char self[MAX_PATH], ms[16];
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    GetModuleFileNameA(NULL, self, sizeof self);
    snprintf(ms, sizeof ms, "%lu", (unsigned long)copy_ms);
    SetEnvironmentVariableA("BV_TEST_SPAWN_COPY_MS", NULL);
    SetEnvironmentVariableA("BV_TEST_RECORD", NULL);
    SetEnvironmentVariableA("BV_TEST_SLEEP_MS", ms);
    for (const char *name : scenario_vars)
        SetEnvironmentVariableA(name, NULL); /* the copy only sleeps */
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (CreateProcessA(self, self, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

/* Handle values are multiples of 4; the probe runs far past what a fresh process holds. */
#define HANDLE_PROBE_END 0x4000

static void RecordHandles(void)
{
    FILE *fp;
    DWORD value, flags;
    const char *sep = "";
    if (GetEnvironmentVariableA("BV_TEST_HANDLES", NULL, 0) == 0)
        return;
    /* Probed before the record is opened, so its own handle is not among them. */
    static DWORD held[HANDLE_PROBE_END / 4];
    DWORD count = 0;
    for (value = 4; value < HANDLE_PROBE_END; value += 4)
        if (GetHandleInformation((HANDLE)(ULONG_PTR)value, &flags))
            held[count++] = value;
    fp = OpenRecord();
    if (fp == NULL)
        return;
    fputs("handles=", fp);
    for (DWORD i = 0; i < count; i++, sep = ",")
        fprintf(fp, "%s%lx", sep, (unsigned long)held[i]);
    fputc('\n', fp);
    fclose(fp);
}

static void SecurityActs(void)
{
    static char text[TEXT_SIZE];
    char *list, *link_path, *target;
    if (EnvText("BV_TEST_LOAD_DLL", text, sizeof text))
        LoadLibraryA(text);
    if (EnvText("BV_TEST_HARDLINK", text, sizeof text)) {
        list = text;
        if (NextItem(&list, '|', &link_path) && NextItem(&list, '|', &target)) {
            DeleteFileA(link_path);
            CreateHardLinkA(link_path, target, NULL);
        }
    }
}

static DWORD StartOnDesktop(void)
{
    static char desktop[MAX_PATH], command[TEXT_SIZE];
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    DWORD code = 255;
    if (!EnvText("BV_TEST_START_ON_DESKTOP", desktop, sizeof desktop) ||
        !EnvText("BV_TEST_START_COMMAND", command, sizeof command))
        return code;
    SetEnvironmentVariableA("BV_TEST_START_ON_DESKTOP", NULL);
    SetEnvironmentVariableA("BV_TEST_START_COMMAND", NULL);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.lpDesktop = desktop;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return code;
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (GetEnvironmentVariableA("BV_TEST_START_ON_DESKTOP", NULL, 0) > 0)
        return (int)StartOnDesktop();
    DWORD copy_ms = EnvNumber("BV_TEST_SPAWN_COPY_MS", 0);
    DWORD exit_code = EnvNumber("BV_TEST_EXIT_CODE", 0);
    RecordHandles();
    Record();
    SecurityActs();
    SeeAndAct();
    if (copy_ms > 0)
        SpawnCopy(copy_ms);
    else {
        char marker[MAX_PATH];
        DWORD len = GetEnvironmentVariableA("BV_TEST_WRITE_FILE", marker, sizeof marker);
        char release[MAX_PATH];
        DWORD release_len = GetEnvironmentVariableA("BV_TEST_WAIT_FILE", release, sizeof release);
        Sleep(EnvNumber("BV_TEST_SLEEP_MS", 0));
        if (release_len > 0 && release_len < sizeof release)
            while (GetFileAttributesA(release) == INVALID_FILE_ATTRIBUTES)
                Sleep(20);
        if (len > 0 && len < sizeof marker) {
            FILE *fp = fopen(marker, "w");
            if (fp != NULL) {
                fputs("done\n", fp);
                fclose(fp);
            }
        }
    }
    return (int)exit_code;
}
