/* The two ways of telling whether an image runs, one per platform. */
#ifndef PROCESS_IMAGEROUTES_H
#define PROCESS_IMAGEROUTES_H

#include "imageprocesses.h"

/* Windows NT 4: image_name as a substring of any module path of a process: case-sensitive, but
** in any letter case where found is not NULL. Each process is opened before its modules are
** read, so a handle kept is that process's. psapi.dll is loaded on the first call. */
int IsImageRunningPsapi(const char *image_name, struct ImageProcesses *found);

/* Every other platform: image_name equal to the file name of a process's executable, with the
** ASCII letters folded. From Vista on the opened process's image is checked by its handle. */
int IsImageRunningToolhelp(const char *image_name, struct ImageProcesses *found);

/* Frees psapi.dll where a scan loaded it. */
void EndPsapiScans(void);
/* Forgets it, as a new process finds nothing loaded (for the host tests). */
void ResetPsapiScans(void);

#endif
