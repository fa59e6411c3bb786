/* Host stand-in: the Toolhelp process entry, laid out as on 32-bit Windows (296 bytes). */
#ifndef HOSTWIN_TLHELP32_H
#define HOSTWIN_TLHELP32_H

#include <windows.h>

#define TH32CS_SNAPPROCESS 0x00000002u

typedef struct tagPROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    DWORD th32DefaultHeapID; /* a pointer-sized value on Windows, 32 bits there */
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    char szExeFile[MAX_PATH];
} PROCESSENTRY32;

#endif
