/* Starting the setup engine and waiting for its end. */
#ifndef PROCESS_LAUNCHAPP_H
#define PROCESS_LAUNCHAPP_H

#include <windows.h>

/* Starts engine_path hidden with cmdline (passed unchanged) and blocks until it ends; *code
** gets its exit code, all 32 bits. image, the engine's file as OpenEngineImage holds it (or
** INVALID_HANDLE_VALUE), is closed once the process exists or could not be made. Returns -1
** when the process cannot be created or its exit code cannot be read, 1 when it ended with
** exit code 0, else 0. */
int LaunchApp(const char *engine_path, char *cmdline, HANDLE image, DWORD *code);

#endif
