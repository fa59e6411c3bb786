/* Test engine: stands in for bv_setup.exe in the Wine tests, and is their tool to plant and read
** an installation with the ANSI calls the launcher makes. %BV_TEST% lists what it does, in order:
** actions separated by ';', each a verb and, after ':', arguments separated by '|'; an argument
** "hex:..." is given in hex (for a zero, ';', '|', characters outside ASCII). KEY is under HKLM.
**   rec:PATH  record to PATH from now on, first "cmdline=" and "show="
**   see:PATH, see:KEY\NAME  record "PATH=" and the file's bytes in hex, or "KEY\NAME=", the
**             value's "TYPE:" and bytes in hex; or "absent", or "nokey"; wsee:KEY\NAME the
**             same by the wide call, which reads text in UTF-16 as stored
**   wset:KEY\NAME|TYPE|DATA  set by the wide call, DATA given in UTF-16
**   set:KEY\NAME|TYPE|DATA, set:KEY\NAME (the key only), delkey:KEY,
**   write:PATH|DATA, del:PATH, link:LINK|TARGET (LINK made anew as a second name of TARGET),
**   load:NAME (by that bare name), sleep:MS, wait:PATH (until it exists), exit:CODE (32 bits)
**   writable:PATH  record "writable=" and the error of an open of PATH for writing (0: opened)
**   handles   record "handles=" and the handles the process holds
**   event:NAME  an event of that name, held until the process ends
**   spawn     a copy of the engine does the rest of the list; this one ends
**   desktop:STATION\DESK|COMMAND  COMMAND started there (Wine makes a missing station, not
**             visible; an empty one: this one's) with the rest of the list; record "exit=" and
**             its exit code, all 32 bits as GetExitCodeProcess reads them, which is ours too */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static char record[MAX_PATH]; /* empty: nothing is recorded */
static BYTE data[65536];

/* Appends the line "NAME=TEXT" and the bytes in hex to the record. The file is open only
** meanwhile, so that the handle probe finds the handles the engine was given, none of its own. */
static void Note(const char *name, const char *text, const BYTE *bytes = NULL, DWORD n = 0)
{
    FILE *fp = record[0] ? fopen(record, "ab") : NULL;
    if (fp == NULL)
        return;
    fprintf(fp, "%s=%s", name, text);
    for (DWORD i = 0; i < n; i++)
        fprintf(fp, "%02x", bytes[i]);
    fputc('\n', fp);
    fclose(fp);
}

/* Decodes a "hex:" argument in place; returns its length in bytes. */
static DWORD Arg(char *text)
{
    DWORD n = 0;
    unsigned value;
    if (strncmp(text, "hex:", 4) != 0)
        return (DWORD)strlen(text);
    for (const char *p = text + 4; p[0] && p[1] && sscanf(p, "%2x", &value) == 1; p += 2)
        text[n++] = (char)value;
    text[n] = '\0';
    return n;
}

/* Opens the key of KEY\NAME, creating it if asked; returns NAME, or NULL. */
static const char *OpenValue(const char *path, bool create, HKEY *key)
{
    char key_path[MAX_PATH];
    const char *name = strrchr(path, '\\') + 1;
    snprintf(key_path, sizeof key_path, "%.*s", (int)(name - 1 - path), path);
    LONG opened = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, NULL, 0, KEY_ALL_ACCESS,
                                           NULL, key, NULL)
                         : RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_ALL_ACCESS, key);
    return opened == ERROR_SUCCESS ? name : NULL;
}

/* NAME in UTF-16, for the wide calls; names are ASCII. */
static const WCHAR *Wide(const char *name)
{
    static WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH);
    return wide;
}

static void See(const char *path, bool wide)
{
    DWORD type = 0, size = sizeof data;
    char text[16];
    HKEY key;
    const char *name = NULL;
    if (path[1] == ':') {
        FILE *fp = fopen(path, "rb");
        if (fp == NULL)
            return Note(path, "absent");
        size = (DWORD)fread(data, 1, sizeof data, fp);
        fclose(fp);
        return Note(path, "", data, size);
    }
    if ((name = OpenValue(path, false, &key)) == NULL)
        return Note(path, "nokey");
    bool found = (wide ? RegQueryValueExW(key, Wide(name), NULL, &type, data, &size)
                       : RegQueryValueExA(key, name, NULL, &type, data, &size)) == ERROR_SUCCESS;
    RegCloseKey(key);
    snprintf(text, sizeof text, "%lu:", (unsigned long)type);
    Note(path, found ? text : "absent", data, found ? size : 0);
}

/* Starts COMMAND (NULL: a copy of this engine) on DESKTOP (NULL: this one's), with the rest of
** the list as its BV_TEST; returns its process handle, or NULL. */
static HANDLE Start(char *command, char *desktop, const char *rest)
{
    char self[MAX_PATH];
    STARTUPINFOA si = {};
    PROCESS_INFORMATION pi;
    si.cb = sizeof si;
    si.lpDesktop = desktop;
    GetModuleFileNameA(NULL, self, sizeof self);
    SetEnvironmentVariableA("BV_TEST", rest);
    if (!CreateProcessA(command ? NULL : self, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return NULL;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

/* Does the action VERB or VERB:ARG|...; returns 1 when the process is to end with *code. */
static int Act(char *verb, const char *rest, DWORD *code)
{
    static char none[1];
    char *arg[3] = {none, none, none}, *at = strchr(verb, ':'), text[16];
    DWORD len[3];
    const char *name;
    HKEY key;
    for (int i = 0; at != NULL && i < 3; i++, at = strchr(at, '|')) {
        *at++ = '\0';
        arg[i] = at;
    }
    for (int i = 0; i < 3; i++)
        len[i] = Arg(arg[i]);
    char *a = arg[0], *b = arg[1];
    if (strcmp(verb, "rec") == 0) {
        STARTUPINFOA si;
        GetStartupInfoA(&si);
        snprintf(record, sizeof record, "%s", a);
        snprintf(text, sizeof text, "%d",
                 (si.dwFlags & STARTF_USESHOWWINDOW) ? (int)si.wShowWindow : -1);
        Note("cmdline", GetCommandLineA());
        Note("show", text);
    } else if (strcmp(verb, "see") == 0 || strcmp(verb, "wsee") == 0) {
        See(a, verb[0] == 'w');
    } else if ((!strcmp(verb, "set") || !strcmp(verb, "wset")) &&
               (name = OpenValue(a, true, &key))) {
        if (*b && verb[0] == 'w')
            RegSetValueExW(key, Wide(name), 0, strtoul(b, NULL, 10), (BYTE *)arg[2], len[2]);
        else if (*b)
            RegSetValueExA(key, name, 0, strtoul(b, NULL, 10), (BYTE *)arg[2], len[2]);
        RegCloseKey(key);
    } else if (strcmp(verb, "delkey") == 0) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, a);
    } else if (strcmp(verb, "write") == 0) {
        FILE *fp = fopen(a, "wb");
        if (fp != NULL) {
            fwrite(b, 1, len[1], fp);
            fclose(fp);
        }
    } else if (strcmp(verb, "del") == 0) {
        DeleteFileA(a);
    } else if (strcmp(verb, "link") == 0) {
        DeleteFileA(a);
        CreateHardLinkA(a, b, NULL);
    } else if (strcmp(verb, "load") == 0) {
        LoadLibraryA(a);
    } else if (strcmp(verb, "sleep") == 0) {
        Sleep(strtoul(a, NULL, 10));
    } else if (strcmp(verb, "wait") == 0) {
        while (GetFileAttributesA(a) == INVALID_FILE_ATTRIBUTES)
            Sleep(20);
    } else if (strcmp(verb, "exit") == 0) {
        *code = strtoul(a, NULL, 10);
        return 1;
    } else if (strcmp(verb, "writable") == 0) {
        HANDLE file = CreateFileA(a, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
        snprintf(text, sizeof text, "%lu",
                 file == INVALID_HANDLE_VALUE ? (unsigned long)GetLastError() : 0ul);
        CloseHandle(file);
        Note("writable", text);
    } else if (strcmp(verb, "handles") == 0) {
        /* Handle values are multiples of 4; the probe runs far past what a fresh process has. */
        char *end = (char *)data;
        *end = '\0';
        for (DWORD value = 4, flags; value < 0x4000; value += 4)
            if (GetHandleInformation((HANDLE)(ULONG_PTR)value, &flags))
                end += sprintf(end, "%lx,", (unsigned long)value);
        Note("handles", (char *)data);
    } else if (strcmp(verb, "event") == 0) {
        Note("event", CreateEventA(NULL, TRUE, FALSE, a) != NULL ? "made" : "not made");
    } else if (strcmp(verb, "spawn") == 0) {
        CloseHandle(Start(NULL, NULL, rest));
        *code = 0;
        return 1;
    } else if (strcmp(verb, "desktop") == 0) {
        HANDLE child = Start(b, *a ? a : NULL, rest); /* NULL: both calls fail, 255 stays */
        *code = 255;
        WaitForSingleObject(child, INFINITE);
        GetExitCodeProcess(child, code);
        snprintf(text, sizeof text, "%lu", (unsigned long)*code);
        Note("exit", text);
        return 1;
    }
    return 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    static char list[32768];
    if (GetEnvironmentVariableA("BV_TEST", list, sizeof list) >= sizeof list)
        return 255;
    DWORD code = 0;
    for (char *action = list, *next; action != NULL && *action != '\0'; action = next) {
        if ((next = strchr(action, ';')) != NULL)
            *next++ = '\0';
        if (Act(action, next, &code))
            break;
    }
    return (int)code;
}
