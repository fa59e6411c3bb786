/* Telling whether a process of a given image name runs. */
#ifndef PROCESS_IMAGERUNNING_H
#define PROCESS_IMAGERUNNING_H

#include <windows.h>

/* WaitForMultipleObjects waits on at most this many handles. */
#define WAIT_HANDLES_MAX 64

/* The matching processes of one scan, for a wait on them: up to WAIT_HANDLES_MAX handles
** opened with SYNCHRONIZE, and whether one that matched could not be opened. */
struct ImageProcesses {
    HANDLE handles[WAIT_HANDLES_MAX];
    int count;
    int unopened;
};

/* 1 when a running process matches image_name by the rule of this platform's route, 0 when
** none does or the platform's process enumeration does not exist (NT 4 without psapi.dll), -1
** when the enumeration failed or its calls are missing: then nothing can be said.
** Where found is not NULL, every matching process is looked at and opened into it; the caller
** closes them with CloseImageProcesses, whatever the answer. */
int IsImageRunning(const char *image_name, struct ImageProcesses *found);

/* Windows NT 4: image_name as a substring of any module path of a process: case-sensitive, but
** in any letter case where found is not NULL. */
int IsImageRunningPsapi(const char *image_name, struct ImageProcesses *found);

/* Every other platform: image_name equal to the file name of a process's executable, with
** the ASCII letters folded. */
int IsImageRunningToolhelp(const char *image_name, struct ImageProcesses *found);

/* Keeps process, a matching process's handle, in found (NULL: none is kept), or closes it
** where there is no room. */
void KeepImageProcess(struct ImageProcesses *found, HANDLE process);

/* Closes the handles in found and empties it. */
void CloseImageProcesses(struct ImageProcesses *found);

#endif
