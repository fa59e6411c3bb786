/* The engine processes that one scan found, for a wait on them. */
#ifndef PROCESS_IMAGEPROCESSES_H
#define PROCESS_IMAGEPROCESSES_H

#include <windows.h>

/* WaitForMultipleObjects waits on at most this many handles. */
#define WAIT_HANDLES_MAX 64

/* Up to WAIT_HANDLES_MAX handles opened with SYNCHRONIZE; whether one that matched could not be
** opened, and whether one is not known to be the process that the scan saw: its id may have
** been taken over by another process between the scan and the open. */
struct ImageProcesses {
    HANDLE handles[WAIT_HANDLES_MAX];
    int count;
    int unopened;
    int unverified;
};

/* Keeps process, a matching process's handle (verified: known to be that process), in found
** (NULL: none could be opened), or closes it where there is no room. */
void KeepImageProcess(struct ImageProcesses *found, HANDLE process, int verified);

/* Closes the handles in found and empties it. */
void CloseImageProcesses(struct ImageProcesses *found);

#endif
