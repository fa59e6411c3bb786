/* State of the simulated machine, shared by the stand-in's files. */
#ifndef HOSTWIN_MACHINE_H
#define HOSTWIN_MACHINE_H

#include <stdio.h>

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
};

struct Stream {
    std::string windows_path;
    std::string host_path;
    bool text = true;
};

struct RegKey {
    std::map<std::string, std::string> names; /* lower-case name -> name as first stored */
    std::map<std::string, RegValue> values;   /* by lower-case name */
    bool deny_open = false;
};

struct Library {
    bool loadable = true;
    std::set<std::string> entries;
};

/* A kernel object behind a HANDLE, HKEY or HMODULE of the stand-in. */
struct Object {
    enum Kind { Process, Thread, Snapshot, Key, Module } kind;
    std::string name;              /* Key: lower-case path; Module: library name */
    std::vector<hw::Process> snap; /* Snapshot: the table when it was taken */
    size_t next = 0;               /* Snapshot: the entry Process32Next delivers */
    hw::Process proc;              /* Process opened by OpenProcess */
    bool engine = false;           /* Process started by CreateProcessA */
    bool ended = false;
};

struct Machine {
    std::string sandbox;
    std::map<std::string, Fault> faults;
    std::map<std::string, int> calls;
    std::vector<Event> events;

    std::string module_path;
    std::map<std::string, std::string> env;
    std::string system_dir;
    int code_page = 0;
    DWORD version = 0;
    int sleeps = 0;
    DWORD slept_ms = 0;
    std::string command_line;
    bool command_line_null = false;

    std::map<FILE *, Stream> streams;

    std::map<std::string, RegKey> keys; /* by lower-case path */
    std::vector<REGSAM> open_masks;

    std::vector<hw::Process> processes;
    int scans = 0;
    std::map<std::string, Library> libraries; /* by lower-case name */
    std::vector<std::string> loaded_names;
    std::vector<DWORD> process_masks;
    Engine next_engine;
    Engine running_engine;
    std::vector<Launch> launches;

    std::map<uintptr_t, Object> objects;
    uintptr_t next_handle = 0x1000;

    std::map<std::string, std::string> short_paths; /* lower-case long path -> short path */
    bool station_visible = true;
};

Machine &M();

/* Counts the call and answers whether it is to fail now; *error gets the fault's status. */
bool Failing(const char *call, long *error = nullptr);

uintptr_t NewObject(const Object &object);
Object *FindObject(const void *handle, Object::Kind kind);
void DropObject(const void *handle);

std::string Lower(std::string s);
void CloseAllStreams(); /* as at process end: flushed and closed */
/* user32's MessageBoxA, handed out by GetProcAddress: records the box in order with the writes. */
int SimMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

/* Whether module is kernel32's handle from GetModuleHandleA (mapped, never loaded nor freed);
** *name gets the library's name. */
bool MappedModule(HMODULE module, std::string *name);
/* The ANSI spelling of a wide-character truth given in UTF-8 (see SetShortPath). */
std::string AnsiOf(const std::string &utf8);
/* kernel32's and user32's wide-character and window station calls, handed out by
** GetProcAddress. */
DWORD SimGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
DWORD SimGetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
DWORD SimGetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD size);
int SimWideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_len, LPSTR ansi,
                           int size, LPCSTR dflt, BOOL *used_default);
int SimMultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR ansi, int ansi_len, LPWSTR wide,
                           int size);
HWINSTA SimGetProcessWindowStation(void);
BOOL SimGetUserObjectInformationA(HANDLE object, int index, void *info, DWORD size,
                                  DWORD *needed);

} // namespace hw

#endif
