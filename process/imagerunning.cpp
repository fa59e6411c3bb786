#include "imagerunning.h"

#include "../platform/version.h"
#include "imageroutes.h"

int IsImageRunning(const char *image_name, struct ImageProcesses *found)
{
    if (IsNT4())
        return IsImageRunningPsapi(image_name, found);
    return IsImageRunningToolhelp(image_name, found);
}

void EndImageScans(void)
{
    EndPsapiScans();
}
