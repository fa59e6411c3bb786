#include "imagerunning.h"

#include "imageroutes.h"
#include "../platform/version.h"

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
