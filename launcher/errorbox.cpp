#include "errorbox.h"

#include <windows.h>

void LauncherErrorBox(const char *text)
{
    MessageBoxA(NULL, text, "Launcher Error", MB_ICONHAND | MB_OK);
}
