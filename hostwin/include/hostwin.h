/* The simulated machine behind the host stand-in, as tests drive and inspect it. */
#ifndef HOSTWIN_HOSTWIN_H
#define HOSTWIN_HOSTWIN_H

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace hw
{

/* --- the machine as a whole ------------------------------------------------------------ */

/* Wipes the machine: empty disks (in memory), empty registry but for
** HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion with ProgramFilesDir "C:\Program Files",
** no processes, kernel32.dll and the system's user32.dll and psapi.dll loadable with all their
** entry points, GetVersion of Windows 10, no code page with lead bytes, TEMP unset, no faults. */
void Reset();

/* A stand-in call made to fail: after `skip` successful calls, the next `times` calls (-1: all)
** of `call` fail with `error` (the status it answers, and GetLastError's value). With
** `argument`, only calls whose path, key or value name holds that text (in any letter case)
** count; the process calls OpenProcess, EnumProcessModules and GetModuleFileNameExA hold
** "pid N:". A name the stand-in does not know stops the test program: a misspelled fault
** would inject nothing. Every call can fail but GetLastError and the stand-in's MessageBoxA
** answer; GetCommandLineA, Sleep, GetVersion, IsDBCSLeadByte, free and exit are counted and
** can be killed before, but their failure changes nothing, as on Windows. */
void FailCall(const std::string &call, long error = 0, int times = -1, int skip = 0,
              const std::string &argument = "");
/* How often `call` was made since Reset. */
int CallCount(const std::string &call);

/* Runs WinMain with the given process command line; returns the exit code, whether WinMain
** returned or the launcher called exit. Streams left open are closed as at process end, and
** the named mutexes the run created are gone with it. */
int RunLauncher(const char *command_line);

/* The next run is killed from outside just before its n-th platform call (counted from 1):
** RunLauncher then answers kKilled, streams lose what their buffers held, nothing is closed
** or released by the program, and an engine it had started still does its work. */
const int kKilled = -9;
void KillBeforeCall(int n);
/* The power fails just before the next run's n-th call: as a kill, but the engine and its
** copies stop too, and of the run's changes the registry and the files each keep what was
** flushed and then only some of the rest, in order, each apart from the other. After the run,
** UnflushedChanges tells how many changes of each were not flushed, and KeepAfterPowerCut
** keeps the first registry_changes and file_changes of them. */
void PowerCutBeforeCall(int n);
std::pair<int, int> UnflushedChanges();
void KeepAfterPowerCut(int registry_changes, int file_changes);
/* Every platform call of the last run (or since Reset), by name, in order. */
const std::vector<std::string> &CallLog();
/* What each call of `call` in that log was given, in order: the text a fault is aimed by (a
** path, a key or value name, "pid N:"). CreateProcessA: "application|command line", with
** "|shown" where the engine's window is not hidden and "|more than the window's state" where
** the start-up record holds another size or names a desktop, title or reserved field;
** CreateFileA: the path, with " (the link itself)" where FILE_FLAG_OPEN_REPARSE_POINT asks
** for it; SetDefaultDllDirectories: its flags, as "0x800"; SetDllDirectoryA: its path. */
std::vector<std::string> Arguments(const std::string &call);
/* What is left open: handles of files, keys, processes, threads and snapshots, libraries
** loaded and not freed, streams and descriptors, and the heap blocks that the last run left
** allocated when WinMain returned (then reclaimed, as at process end). A run that calls exit
** leaves nothing: the process ends there, and Windows reclaims what its callers held. */
int LeftOpen();

/* What the user and the trace log saw, in order: boxes and every write to a stream. */
struct Event {
    enum Kind { Box, Write } kind;
    std::string file;    /* Write: the Windows path of the stream */
    std::string text;    /* Box: its text; Write: the bytes as the program handed them over */
    std::string caption; /* Box */
    UINT flags = 0;      /* Box */
    bool has_owner = false;
};
const std::vector<Event> &Events();

/* --- system services ------------------------------------------------------------------- */

/* Another process holds a named mutex of this name (names are case-sensitive). */
void HoldMutex(const std::string &name);

void SetModulePath(const std::string &path);
void SetEnv(const std::string &name, const std::string &value);
void SetSystemDirectory(const std::string &path);
void SetCodePage(int code_page); /* 0: single-byte; 932: Shift-JIS lead bytes */
void SetVersion(DWORD version);
DWORD SleptMs();

/* --- files ----------------------------------------------------------------------------- */

void WriteFile(const std::string &windows_path, const std::string &bytes); /* makes folders */
void MakeDir(const std::string &windows_path);
void RemoveFile(const std::string &windows_path); /* as a user or another program would */
bool Exists(const std::string &windows_path);
std::string ReadFile(const std::string &windows_path); /* "" when missing */
/* Make a second name for a file, or a symbolic link, as a user could plant them. With
** object_manager, the link is as an object-manager link behind a mount point is: every open
** follows it, also one that asks for a link itself (FILE_FLAG_OPEN_REPARSE_POINT). */
void HardLink(const std::string &target, const std::string &link_path);
/* Another process opens the file at path with that access and sharing, and keeps it open:
** false where a handle already open refuses it (a sharing violation). While it is open, the
** launcher's opens are judged against it in turn. */
bool OpenElsewhere(const std::string &path, DWORD access, DWORD share);
/* The SHA-256 digest of bytes, as the stand-in's CryptoAPI computes it (32 bytes). */
std::string Sha256(const std::string &bytes);
void SymLink(const std::string &target, const std::string &link_path, bool object_manager = false);

/* --- registry (under HKEY_LOCAL_MACHINE) ------------------------------------------------ */

/* The launcher runs under WoW64, as a 32-bit program on 64-bit Windows: IsWow64Process says
** so, and what it opens under SOFTWARE without KEY_WOW64_64KEY lies under SOFTWARE\WOW6432Node,
** where ProgramFilesDir is "C:\Program Files (x86)". The paths below are the native ones.
** Without WoW64 a view flag is refused, as by a system with one registry. */
void SetWow64(bool on);

/* A string value (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is stored as it was set: in the ANSI
** code page by the A calls, in UTF-16 by the W calls (wide). Each kind of call reads it in its
** own form, converted where it was stored in the other: UTF-16 to the code page's spelling (see
** SetShortPath) for the A calls, each byte to its own character for the W calls. */
struct RegValue {
    DWORD type = REG_SZ;
    std::string bytes; /* exactly the stored bytes, terminator included where stored */
    bool wide = false;
};
void RegRemoveKey(const std::string &path); /* with its values and subkeys */
bool RegKeyExists(const std::string &path);
void RegSet(const std::string &key, const std::string &name, DWORD type, const std::string &bytes,
            bool wide = false);
void RegSetString(const std::string &key, const std::string &name, const std::string &text);
/* The value as the A calls (or, with wide, the W calls) read it. */
bool RegGet(const std::string &key, const std::string &name, RegValue *value, bool wide = false);
/* UTF-16 bytes of UTF-8 text, with its terminator. */
std::string Utf16(const std::string &utf8);
void RegRemoveValue(const std::string &key, const std::string &name);

/* --- processes and libraries -------------------------------------------------------------- */

struct Process {
    DWORD pid = 0;
    std::string exe_file;             /* what the Toolhelp entry's szExeFile holds */
    std::vector<std::string> modules; /* module paths, the executable first */
    int scans = -1;                   /* enumerations it is still seen by; -1: for ever */
    std::function<void()> on_end;     /* what it does last, as it ends */
};
void AddProcess(const Process &process);
std::vector<Process> &Processes();

void SetLibrary(const std::string &name, bool loadable, const std::vector<std::string> &entries);

/* The engine that CreateProcessA starts, as the next run will see it. */
struct Engine {
    DWORD exit_code = 0;
    std::function<void()> on_run; /* what it does to files and registry while it runs */
    std::vector<Process> copies;  /* what it leaves running as it ends */
};
Engine &NextEngine();

/* --- names outside the ANSI code page, window stations ----------------------------------- */

/* Module path and environment values are the machine's wide-character truth, given in UTF-8
** (two-byte sequences, up to U+07FF; any other byte stands for itself). The ANSI code page
** spells the characters up to U+00FF as their own byte; it spells the Polish barred L
** (U+0141, U+0142) as a best-fit "L" or "l" without saying so, and everything else as "?".
** The ANSI calls answer that spelling. Files are reached by their ANSI paths as before: a
** package in a folder that the code page cannot spell is laid out under its short path.
** GetShortPathNameW answers the short path given here for a long one (given as itself: as on a
** volume without short names), else the path itself where its ANSI spelling names a file or
** folder, else fails with ERROR_FILE_NOT_FOUND. */
void SetShortPath(const std::string &long_path, const std::string &short_path);

/* Whether the process's window station is visible (WSF_VISIBLE; the default). */
void SetWindowStationVisible(bool visible);

} // namespace hw

#endif
