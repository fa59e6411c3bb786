#include "errorbox.h"

#include <windows.h>

#include "../launcher/tracelog.h"
#include "session.h"
#include "systemlib.h"

typedef int(WINAPI *MessageBoxAFn)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

/* user32 is loaded only when a box is about to be shown: boxes belong to the error paths, and
** loading user32 at start costs more than all the rest of a run. It is loaded from the system
** directory by its full path: by its bare name a user32.dll planted beside the launcher comes
** first wherever the DLL search cannot be restricted. When it cannot be had, no box is shown;
** the run goes on as it would after the box. */
void LauncherErrorBox(const char *text)
{
    HMODULE user32 = LoadSystemLibrary("user32.dll");
    MessageBoxAFn message_box;

    if (user32 == NULL)
        return;
    /* Nobody could see or answer the box: the run goes on as after OK, the text in the trace. */
    if (!BoxesCanBeSeen(user32)) {
        Trace("Box not shown, no interactive window station: %s\n", text);
        FreeLibrary(user32);
        return;
    }
    message_box = (MessageBoxAFn)(void *)GetProcAddress(user32, "MessageBoxA");
    if (message_box != NULL)
        message_box(NULL, text, "Launcher Error", MB_ICONHAND | MB_OK);
    FreeLibrary(user32);
}
