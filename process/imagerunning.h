/* Telling whether a process of a given image name runs. */
#ifndef PROCESS_IMAGERUNNING_H
#define PROCESS_IMAGERUNNING_H

#include "imageprocesses.h"

/* 1 when a running process matches image_name by the rule of this platform's route, 0 when
** none does or the platform's process enumeration does not exist (NT 4 without psapi.dll), -1
** when the enumeration failed or its calls are missing: then nothing can be said.
** Where found is not NULL, every matching process is looked at and opened into it; the caller
** closes them with CloseImageProcesses, whatever the answer. */
int IsImageRunning(const char *image_name, struct ImageProcesses *found);

/* Releases what the scans of the run kept loaded. */
void EndImageScans(void);

#endif
