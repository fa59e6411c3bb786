#include "imageprocesses.h"

void KeepImageProcess(struct ImageProcesses *found, HANDLE process, int verified)
{
    if (process == NULL) {
        found->unopened = 1;
        return;
    }
    /* The rest are waited on after these have ended: the next scan finds them. */
    if (found->count < WAIT_HANDLES_MAX) {
        found->handles[found->count++] = process;
        found->unverified |= !verified;
    } else {
        CloseHandle(process);
    }
}

void CloseImageProcesses(struct ImageProcesses *found)
{
    while (found->count > 0)
        CloseHandle(found->handles[--found->count]);
    found->unopened = found->unverified = 0;
}
