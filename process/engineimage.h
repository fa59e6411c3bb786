/* The engine's file, from the launcher's look at it to the start of its process. */
#ifndef PROCESS_ENGINEIMAGE_H
#define PROCESS_ENGINEIMAGE_H

#include <windows.h>

/* Opens the engine at engine_path in the launcher's folder (never through a link, nobody let
** write, rename or delete it while it is open) and reads its PE header: *is64 tells whether
** that names a 64-bit machine (x64, ARM64). Returns the handle, which LaunchApp closes once
** the engine's process exists, or INVALID_HANDLE_VALUE with *is64 0 when the file cannot be
** opened or read. */
HANDLE OpenEngineImage(const char *engine_path, int *is64);

#endif
