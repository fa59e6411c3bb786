/* State of the simulated machine, shared by the stand-in's files, and what each file gives the
** others. The files are layered, each naming only what those below it define: the core,
** machine.cpp, needs no other; files.cpp and crypto.cpp need the core; names.cpp needs
** files.cpp; registry.cpp needs names.cpp; system.cpp and processes.cpp need names.cpp and
** files.cpp; calls.cpp, with the call table and the whole run, is on top of them all. */
#ifndef HOSTWIN_MACHINE_H
#define HOSTWIN_MACHINE_H

#include <stdio.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "hostwin.h"

namespace hw
{

struct Fault {
    long error = 0;
    int times = -1;
    int skip = 0;
    std::string argument; /* only calls whose argument holds this text; "" for any */
};

/* A stream of the runtime, or a descriptor of _open_osfhandle that a stream may take over. */
struct Stream {
    std::string windows_path; /* as the program named it */
    int id = 0;               /* the file's */
    size_t pos = 0;
    bool append = false;
    std::string pending; /* written, not yet in the file: lost when the run is killed */
};

/* A name on the simulated disks, found by its lower-case path. */
struct Node {
    enum Kind { File, Folder, Link } kind = File;
    std::string path;            /* as made: "C:\Temp\launcher.log" */
    int id = 0;                  /* its own; a file's is its bytes', shared by its hard links */
    std::string target;          /* Link: the path it points to */
    bool object_manager = false; /* Link: followed also by an open that asks for the link */
};
struct Disk {
    std::map<std::string, Node> nodes; /* by lower-case path */
    std::map<int, std::string> contents;
    int next_id = 1;
};

struct RegKey {
    std::map<std::string, RegValue> values; /* by lower-case name */
};

struct Library {
    bool loadable = true;
    std::set<std::string> entries;
};

/* A kernel object behind a HANDLE, HKEY or HMODULE of the stand-in. */
struct Object {
    enum Kind { Process, Thread, Snapshot, Key, Module, Mutex, File, Crypt } kind;
    std::string name; /* Key: lower-case path; Module: library name; Crypt: "hash" or none */
    std::vector<hw::Process> snap; /* Snapshot: the table when it was taken */
    size_t next = 0;               /* Snapshot: the entry Process32Next delivers */
    hw::Process proc;              /* Process opened by OpenProcess */
    bool engine = false;           /* Process started by CreateProcessA */
    bool ended = false;
    std::string path;      /* File: the resolved path of what it opened; Crypt: data hashed */
    size_t pos = 0;        /* File: where the next read begins */
    DWORD attributes = 0;  /* File: what GetFileInformationByHandle reports besides links */
    bool resident = false; /* Module: handed out by GetModuleHandleA, never loaded or freed */
    DWORD access = 0;      /* Process or File: the rights asked for */
    DWORD share = 0;       /* File: what it lets others do */
};

struct Machine {
    std::map<std::string, Fault> faults;
    std::map<std::string, int> calls;
    std::vector<std::string> call_log;  /* this run's calls, in order */
    std::vector<std::string> call_args; /* what each was given */
    int kill_at = 0;                    /* kill the run before this call of call_log; 0: never */
    DWORD last_error = 0;
    std::set<std::string> held_mutexes; /* by other processes */
    std::set<std::string> run_mutexes;  /* created by the running launcher */
    std::vector<Event> events;

    std::string module_path;
    std::map<std::string, std::string> env;
    std::string system_dir;
    int code_page = 0;
    DWORD version = 0;
    DWORD slept_ms = 0;
    DWORD clock_ms = 0; /* slept and waited */
    std::string command_line;

    Disk disk;
    std::vector<Object> opened_elsewhere; /* files other processes hold open */
    std::map<FILE *, Stream> streams;
    std::map<int, Stream> fds; /* descriptors of _open_osfhandle */
    int next_fd = 3;

    std::map<std::string, RegKey> keys; /* by lower-case path */
    bool wow64 = false;

    std::vector<hw::Process> processes;
    std::map<std::string, Library> libraries; /* by lower-case name */
    Engine next_engine;
    Engine running_engine;
    bool engine_pending = false; /* started, and its work not yet done */

    std::map<uintptr_t, Object> objects;
    int objects_at_end = 0; /* handles the last run's WinMain left open when it returned */
    uintptr_t next_handle = 0x1000;
    std::set<void *> heap_blocks; /* what the program allocated and has not freed */
    int blocks_at_end = 0;        /* of those, what the last run's WinMain left */
    bool in_run = false;          /* exit() goes back to RunLauncher */

    std::map<std::u16string, std::string> short_paths; /* by lower-case long path */
    bool station_visible = true;

    bool power_cut = false; /* the next kill is a power cut, and changes are kept */
    std::map<std::string, RegKey> flushed_keys;
    std::vector<std::map<std::string, RegKey>> unflushed_keys; /* after each change */
    Disk flushed_files;
    std::vector<Disk> unflushed_files;
};

/* --- the core (machine.cpp) --------------------------------------------------------------- */

Machine &M();

/* Counts the call and answers whether it is to fail now; *error and the last error get the
** fault's error. Where the run is to be killed before this call, throws Killed instead. */
struct Killed {
};
bool Failing(const char *call, long *error = nullptr, const char *argument = nullptr);
/* The launcher called exit(): thrown through its frames back to RunLauncher. */
struct ExitCalled {
    int code;
};
void SetLastError(DWORD error); /* kernel32's, for the stand-in's calls: the launcher sets none */

/* Copies text into buffer of size characters as the kernel's string queries do: the length on
** success, the size needed (terminator included) when it does not fit, or with cut (the module
** path on XP) size characters without a terminator. */
template <typename Char>
DWORD CopyOut(const std::basic_string<Char> &text, Char *buffer, DWORD size, bool cut = false)
{
    if (text.size() + 1 <= size) {
        memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(Char));
        return (DWORD)text.size();
    }
    if (cut)
        memcpy(buffer, text.data(), size * sizeof(Char));
    return cut ? size : (DWORD)text.size() + 1;
}

uintptr_t NewObject(const Object &object);
Object *FindObject(const void *handle, Object::Kind kind);
void DropObject(const void *handle);

/* Text with its ASCII letters in lower case: names match without regard to case. */
template <typename Text> Text Lower(Text s)
{
    for (auto &c : s)
        c = c >= 'A' && c <= 'Z' ? (char)(c + 32) : c;
    return s;
}
inline std::string Lower(const char *s)
{
    return Lower(std::string(s));
}
/* Each change of the registry or the files, and each flush, as the power-cut model keeps them. */
void RegistryChanged();
void RegistryFlushed();
void FilesChanged();
void FilesFlushed();

/* --- files.cpp, names.cpp, processes.cpp -------------------------------------------------- */

bool IsFile(const std::string &windows_path); /* links followed */
void CloseAllStreams();                       /* as at process end: flushed and closed */

/* The ANSI spelling of a wide-character truth given in UTF-8 (see SetShortPath), and of UTF-16
** text; *lossy tells whether "?" stood in for a character. */
std::string AnsiOf(const std::string &utf8);
std::string AnsiOfWide(const std::u16string &wide, bool *lossy = nullptr);
/* A name of the W calls (ASCII: a value or variable name) as the A calls spell it. */
std::string Narrow(LPCWSTR ascii);

void RunPendingEngine(); /* the started engine does its work */

/* --- the families' calls, for calls.cpp's table ------------------------------------------- */

/* A call that the launcher finds with GetProcAddress: the library that exports it (none where
** only a test's SetLibrary lists it), its stand-in, and whether kernel32 has it from Vista on
** only. Each family of calls lists its own, ending with a null name. */
struct Call {
    const char *name;
    const char *library = nullptr;
    FARPROC fn = nullptr;
    bool from_vista = false;
};
template <typename Fn> FARPROC Entry(Fn *fn)
{
    return (FARPROC)(void *)fn;
}
inline const char kKernel32[] = "kernel32.dll", kAdvapi32[] = "advapi32.dll";
inline const char kUser32[] = "C:\\WINDOWS\\system32\\user32.dll";
extern const Call kFileCalls[], kNameCalls[], kRegistryCalls[], kSystemCalls[], kCryptoCalls[],
    kProcessCalls[];

} // namespace hw

#endif
