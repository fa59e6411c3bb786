#include "platform.h"

#include <windows.h>

static struct PlatformRecord platform_record = {0, 0, 0};

void ResetPlatformRecord(void)
{
    platform_record = PlatformRecord{0, 0, 0};
}

const struct PlatformRecord *GetPlatformVersion(void)
{
    if (!platform_record.filled) {
        DWORD version = GetVersion();
        platform_record.nt = (version & 0x80000000u) == 0;
        platform_record.major = (int)(version & 0xFF);
        platform_record.filled = 1;
    }
    return &platform_record;
}

int IsNT4(void)
{
    const struct PlatformRecord *p = GetPlatformVersion();
    return p->nt && p->major == 4;
}
