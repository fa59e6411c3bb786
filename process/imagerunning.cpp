#include "imagerunning.h"

#include "platform.h"

int IsImageRunning(const char *image_name)
{
    if (IsNT4())
        return IsImageRunningPsapi(image_name);
    return IsImageRunningToolhelp(image_name);
}
