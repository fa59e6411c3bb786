/* A DLL planted beside launcher.exe in the Wine tests, copied there under the names of system
** DLLs. Whichever process loads it appends one line to %BV_TEST_PLANT_MARKER%: the path of the
** process's executable, "|", and the path it was loaded from. So a load by the engine, which
** may load DLLs from its own folder, is told apart from one by the launcher. Only kernel32 is
** called: other DLLs must not be loaded from inside DllMain. */
#include <string.h>
#include <windows.h>

#define LINE_SIZE (2 * MAX_PATH + 4)

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    char marker[MAX_PATH];
    char line[LINE_SIZE];
    DWORD len, written;
    HANDLE file;

    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    len = GetEnvironmentVariableA("BV_TEST_PLANT_MARKER", marker, sizeof marker);
    if (len == 0 || len >= sizeof marker)
        return TRUE;
    len = GetModuleFileNameA(NULL, line, MAX_PATH);
    line[len] = '|';
    len++;
    len += GetModuleFileNameA(self, line + len, MAX_PATH);
    line[len++] = '\r';
    line[len++] = '\n';
    file = CreateFileA(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, line, len, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
