/* Bench engine: stands in for bv_setup.exe and tells when it ends. As its last act before
** ExitProcess it writes the precise system time (FILETIME ticks of 100 ns, decimal) to the file
** named by BENCH_STAMP_FILE, if set. With BENCH_COPY_MS set it first starts a copy of itself
** that lives that many milliseconds and stamps BENCH_COPY_STAMP_FILE, so that the launcher
** waits for it; otherwise it sleeps BENCH_SLEEP_MS (default 0). It exits with BENCH_EXIT_CODE
** (default 0), and so does its copy, so that the bench sees whether a launcher passes the
** engine's code on. The stamp file is opened before the time is read, so all that follows the
** reading is one write, one close and the exit. */
#include <windows.h>

static DWORD EnvNumber(const char *name, DWORD dflt)
{
    char value[16];
    DWORD len = GetEnvironmentVariableA(name, value, sizeof value);
    DWORD n = 0, i;
    if (len == 0 || len >= sizeof value)
        return dflt;
    for (i = 0; i < len && value[i] >= '0' && value[i] <= '9'; i++)
        n = n * 10 + (DWORD)(value[i] - '0');
    return n;
}

static void ZeroBytes(void *p, DWORD size)
{
    volatile char *b = (volatile char *)p;
    while (size-- > 0)
        *b++ = 0;
}

/* Decimal digits of v into text (at least 21 bytes), terminated; returns their count. */
static DWORD FormatDecimal(unsigned long long v, char *text)
{
    char rev[24];
    DWORD n = 0, i;
    do {
        rev[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (i = 0; i < n; i++)
        text[i] = rev[n - 1 - i];
    text[n] = '\0';
    return n;
}

static void SpawnCopy(DWORD copy_ms)
{
    char self[MAX_PATH], ms[24], stamp[MAX_PATH];
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    DWORD len = GetModuleFileNameA(NULL, self, sizeof self);
    if (len == 0 || len >= sizeof self)
        return;
    FormatDecimal(copy_ms, ms);
    len = GetEnvironmentVariableA("BENCH_COPY_STAMP_FILE", stamp, sizeof stamp);
    if (len == 0 || len >= sizeof stamp)
        stamp[0] = '\0';
    SetEnvironmentVariableA("BENCH_COPY_MS", NULL);
    SetEnvironmentVariableA("BENCH_SLEEP_MS", ms);
    SetEnvironmentVariableA("BENCH_STAMP_FILE", stamp[0] != '\0' ? stamp : NULL);
    ZeroBytes(&si, sizeof si);
    si.cb = sizeof si;
    if (CreateProcessA(self, self, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

static void WriteStamp(const char *path)
{
    char text[32];
    FILETIME now;
    HANDLE file;
    DWORD len, written;
    if (path[0] == '\0')
        return;
    file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    GetSystemTimePreciseAsFileTime(&now);
    len = FormatDecimal(((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime, text);
    text[len++] = '\r';
    text[len++] = '\n';
    WriteFile(file, text, len, &written, NULL);
    CloseHandle(file);
}

extern "C" void StampEngineStartup(void)
{
    char stamp[MAX_PATH];
    DWORD copy_ms = EnvNumber("BENCH_COPY_MS", 0);
    DWORD code = EnvNumber("BENCH_EXIT_CODE", 0);
    /* Read before SpawnCopy sets the copy's stamp file in this environment. */
    DWORD len = GetEnvironmentVariableA("BENCH_STAMP_FILE", stamp, sizeof stamp);
    if (len == 0 || len >= sizeof stamp)
        stamp[0] = '\0';
    if (copy_ms > 0)
        SpawnCopy(copy_ms);
    else
        Sleep(EnvNumber("BENCH_SLEEP_MS", 0));
    WriteStamp(stamp);
    ExitProcess(code);
}
