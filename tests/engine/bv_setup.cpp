/* Test engine: stands in for bv_setup.exe. Appends what it received to %BV_TEST_RECORD%
** ("cmdline=", "cwd=", "show=" lines), then does what the inherited environment asks:
** BV_TEST_SPAWN_COPY_MS starts a copy of itself that sleeps that long and exits at once,
** otherwise BV_TEST_SLEEP_MS sleeps and then BV_TEST_WRITE_FILE (a path) is written, so the
** copy writes it when it ends. BV_TEST_EXIT_CODE is the exit code (default 0). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static DWORD EnvNumber(const char *name, DWORD dflt)
{
    char value[32];
    DWORD len = GetEnvironmentVariableA(name, value, sizeof value);
    if (len == 0 || len >= sizeof value)
        return dflt;
    return (DWORD)strtoul(value, NULL, 10);
}

static void Record(void)
{
    char path[MAX_PATH], cwd[MAX_PATH];
    STARTUPINFOA si;
    DWORD len = GetEnvironmentVariableA("BV_TEST_RECORD", path, sizeof path);
    FILE *fp;
    if (len == 0 || len >= sizeof path)
        return;
    GetStartupInfoA(&si);
    if (GetCurrentDirectoryA(sizeof cwd, cwd) == 0)
        cwd[0] = '\0';
    fp = fopen(path, "a");
    if (fp == NULL)
        return;
    fprintf(fp, "cmdline=%s\ncwd=%s\nshow=%d\n", GetCommandLineA(), cwd,
            (si.dwFlags & STARTF_USESHOWWINDOW) ? (int)si.wShowWindow : -1);
    fclose(fp);
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
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (CreateProcessA(self, self, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    DWORD copy_ms = EnvNumber("BV_TEST_SPAWN_COPY_MS", 0);
    DWORD exit_code = EnvNumber("BV_TEST_EXIT_CODE", 0);
    Record();
    if (copy_ms > 0)
        SpawnCopy(copy_ms);
    else {
        char marker[MAX_PATH];
        DWORD len = GetEnvironmentVariableA("BV_TEST_WRITE_FILE", marker, sizeof marker);
        Sleep(EnvNumber("BV_TEST_SLEEP_MS", 0));
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
