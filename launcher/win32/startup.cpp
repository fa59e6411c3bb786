/* The process entry point of launcher.exe, in place of the compiler's runtime start-up code.
** msvcrt.dll initialises its own streams and heap when it is loaded, and the launcher has no
** static constructors, no thread-local data and no command-line vector to build (it reads
** GetCommandLineA itself), so all that start-up code would do is cost a third of the file.
** exit() runs the C runtime's exit handlers and flushes and closes every stream. */
#include <stdlib.h>
#include <windows.h>

#include "../../platform/systemlib.h"

/* The linker's entry point: visible, though the whole program is compiled as one unit. */
extern "C" __attribute__((externally_visible)) void LauncherStartup(void)
{
    STARTUPINFOA startup;
    int show;

    /* Before anything can load a DLL: a planted one beside the launcher would run elevated. */
    RestrictDllSearch();
    GetStartupInfoA(&startup);
    show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    exit(WinMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), show));
}
