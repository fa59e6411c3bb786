/* Host stand-in of the Windows API: the types, constants and calls the launcher uses, served
** by a simulated machine that tests drive through hostwin.h. Host build only. */
#ifndef HOSTWIN_WINDOWS_H
#define HOSTWIN_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#define WINAPI

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *HANDLE;
typedef struct HKEY__ *HKEY;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__ *HWND;
typedef DWORD REGSAM;
typedef intptr_t (*FARPROC)(void);
typedef char16_t WCHAR;
typedef unsigned char BOOLEAN;
typedef uint32_t ULONG;
typedef uintptr_t ULONG_PTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef struct HWINSTA__ *HWINSTA;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu
#define WAIT_TIMEOUT 0x00000102u
#define STILL_ACTIVE 259u
#define STARTF_USESHOWWINDOW 0x00000001u
#define SW_HIDE 0
#define CREATE_NEW_CONSOLE 0x00000010u
#define CREATE_NEW_PROCESS_GROUP 0x00000200u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_VM_READ 0x0010u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u

#define MB_OK 0x00000000u
#define MB_ICONHAND 0x00000010u

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_INVALID_NAME 123L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_CANTWRITE 1013L
#define ERROR_NO_UNICODE_TRANSLATION 1113L

#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_ALL_ACCESS 0xF003Fu
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define REG_DWORD 4u
#define ERROR_INVALID_DATA 13L
#define REG_OPTION_NON_VOLATILE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_MULTI_SZ 7u

#define CP_ACP 0u
#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001u

typedef struct tagUSEROBJECTFLAGS {
    DWORD dwFlags;
} USEROBJECTFLAGS;

/* The structures hold only the fields that the launcher fills or reads, and that the stand-in
** looks at; the Toolhelp entry alone is laid out as on Windows. */
typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwFlags;
    unsigned short wShowWindow;
    BYTE *lpReserved2;
} STARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
} PROCESS_INFORMATION;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES;

/* kernel32 */
LPSTR GetCommandLineA(void);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR dflt, LPSTR buffer, DWORD size,
                               LPCSTR file);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
void Sleep(DWORD ms);
BOOL IsDBCSLeadByte(BYTE c);
DWORD GetVersion(void);
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id);
BOOL CreateProcessA(LPCSTR application, LPSTR cmdline, SECURITY_ATTRIBUTES *process_attrs,
                    SECURITY_ATTRIBUTES *thread_attrs, BOOL inherit, DWORD flags, void *environment,
                    LPCSTR current_dir, STARTUPINFOA *startup, PROCESS_INFORMATION *info);
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);
/* On processes opened with SYNCHRONIZE: with all set, until every one has ended. */
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD ms);
DWORD GetTickCount(void); /* the simulated clock: what Sleep and the waits took */
BOOL GetExitCodeProcess(HANDLE process, DWORD *code);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError(void);
HANDLE GetCurrentProcess(void); /* a pseudo-handle, never closed */
HANDLE CreateMutexA(SECURITY_ATTRIBUTES *attrs, BOOL initial_owner, LPCSTR name);
DWORD GetFileAttributesA(LPCSTR path);
HMODULE GetModuleHandleA(LPCSTR name);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_len, LPSTR ansi,
                        int size, LPCSTR dflt, BOOL *used_default);
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR ansi, int ansi_len, LPWSTR wide,
                        int size);

/* advapi32 */
LONG RegOpenKeyExA(HKEY root, LPCSTR subkey, DWORD options, REGSAM sam, HKEY *result);
LONG RegQueryValueExA(HKEY key, LPCSTR name, DWORD *reserved, DWORD *type, BYTE *data, DWORD *size);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD size);
LONG RegDeleteValueA(HKEY key, LPCSTR name);
LONG RegCloseKey(HKEY key);
LONG RegCreateKeyExA(HKEY root, LPCSTR subkey, DWORD reserved, LPSTR key_class, DWORD options,
                     REGSAM sam, SECURITY_ATTRIBUTES *attrs, HKEY *result, DWORD *disposition);
LONG RegDeleteKeyA(HKEY root, LPCSTR subkey);
LONG RegFlushKey(HKEY key); /* the whole registry reaches the disk */
/* Subkeys in the order of their lower-case names, which they are given by. */
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD *name_size, DWORD *reserved,
                   LPSTR key_class, DWORD *class_size, void *written);

/* Files by handle: what the launcher writes in folders that others may write to is created
** and reopened through these, never through a link. */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define DELETE 0x00010000u
#define SYNCHRONIZE 0x00100000u
#define FILE_TRAVERSE 0x00000020u
#define FILE_ADD_FILE 0x00000002u
#define MOVEFILE_WRITE_THROUGH 0x00000008u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define CREATE_NEW 1u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

/* Only the counts of subkeys and values are served; every other field is left as it is. */
LONG RegQueryInfoKeyA(HKEY key, LPSTR key_class, DWORD *class_size, DWORD *reserved, DWORD *subkeys,
                      DWORD *max_subkey, DWORD *max_class, DWORD *values, DWORD *max_value_name,
                      DWORD *max_value, DWORD *security, void *written);

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    DWORD nNumberOfLinks;
} BY_HANDLE_FILE_INFORMATION;

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES *attrs,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info);
/* From where the last read ended, on a handle opened with GENERIC_READ. */
BOOL ReadFile(HANDLE file, void *buffer, DWORD size, DWORD *read, void *overlapped);
/* Both put every change of the file system so far on disk: a folder's handle needs write
** access (FILE_ADD_FILE) for it. */
BOOL FlushFileBuffers(HANDLE file);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);

#endif
