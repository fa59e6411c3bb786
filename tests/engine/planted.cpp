/* The DLL that the Wine tests plant beside launcher.exe under the names of system DLLs: it only
** has to load, and Wine's loaddll trace tells which process loaded it. */
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
