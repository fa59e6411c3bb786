#include "imagerunning.h"

#include "platform.h"

int IsImageRunning(const char *image_name, struct ImageProcesses *found)
{
    if (IsNT4())
        return IsImageRunningPsapi(image_name, found);
    return IsImageRunningToolhelp(image_name, found);
}

void KeepImageProcess(struct ImageProcesses *found, HANDLE process)
{
    if (process == NULL) {
        found->unopened = 1;
        return;
    }
    /* The rest are waited on after these have ended: the next scan finds them. */
    if (found->count < WAIT_HANDLES_MAX)
        found->handles[found->count++] = process;
    else
        CloseHandle(process);
}

void CloseImageProcesses(struct ImageProcesses *found)
{
    while (found->count > 0)
        CloseHandle(found->handles[--found->count]);
    found->unopened = 0;
}
