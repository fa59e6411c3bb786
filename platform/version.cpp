#include "version.h"

#include <windows.h>

#include "systemlib.h"

typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE process, BOOL *wow64);

static struct PlatformRecord platform_record = {0, 0, 0};
#define NOT_ASKED (-2)
static int wow64 = NOT_ASKED;

void ResetPlatformRecord(void)
{
    platform_record = PlatformRecord{0, 0, 0};
    wow64 = NOT_ASKED;
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

/* Looked up: kernel32 has the call from XP SP2 and Server 2003 SP1 on, with which 64-bit
** Windows began, so an NT system before Vista without it has no WoW64. From Vista on every
** kernel32 has it: one that cannot be found there, or a call that fails, tells nothing. */
int RunsUnderWow64(void)
{
    const struct PlatformRecord *platform = GetPlatformVersion();
    HMODULE kernel32;
    IsWow64ProcessFn is_wow64 = NULL;
    BOOL answer = FALSE;

    if (wow64 != NOT_ASKED)
        return wow64;
    wow64 = 0;
    if (!platform->nt)
        return wow64;
    kernel32 = Kernel32();
    if (kernel32 != NULL)
        is_wow64 = (IsWow64ProcessFn)(void *)GetProcAddress(kernel32, "IsWow64Process");
    if (is_wow64 == NULL)
        wow64 = kernel32 != NULL && platform->major < 6 ? 0 : -1;
    else
        wow64 = is_wow64(GetCurrentProcess(), &answer) ? answer != FALSE : -1;
    return wow64;
}
