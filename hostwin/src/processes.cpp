/* Processes of the simulated machine: the engine that CreateProcessA starts, the process
** table that the Toolhelp snapshot and the psapi calls enumerate, and loadable libraries. */
#include <string.h>

#include <tlhelp32.h>

#include "machine.h"

namespace hw
{

/* The argument by which a fault is aimed at one process: "pid 4400:". */
const char *PidText(DWORD pid)
{
    static char text[32];
    snprintf(text, sizeof text, "pid %lu:", (unsigned long)pid);
    return text;
}

void AddProcess(const Process &process)
{
    M().processes.push_back(process);
}
std::vector<Process> &Processes()
{
    return M().processes;
}

void SetLibrary(const std::string &name, bool loadable, const std::vector<std::string> &entries)
{
    M().libraries[Lower(name)] = Library{loadable, {entries.begin(), entries.end()}};
}

Engine &NextEngine()
{
    return M().next_engine;
}

static void EndProcesses(const std::function<bool(const Process &)> &ended);

/* One enumeration: the processes it sees; each counted one is seen one time fewer after. */
static std::vector<Process> Scan()
{
    std::vector<Process> seen;
    std::vector<Process> &table = M().processes;
    for (auto &p : table) {
        if (p.scans != 0)
            seen.push_back(p);
        if (p.scans > 0)
            p.scans--;
    }
    EndProcesses([](const Process &p) { return p.scans == 0; });
    return seen;
}

/* Takes the processes that ended out of the table, each doing its last act. */
static void EndProcesses(const std::function<bool(const Process &)> &ended)
{
    std::vector<std::function<void()>> last_acts;
    std::vector<Process> &table = M().processes;
    for (auto it = table.begin(); it != table.end();) {
        if (!ended(*it)) {
            ++it;
            continue;
        }
        if (it->on_end)
            last_acts.push_back(it->on_end);
        it = table.erase(it);
    }
    for (auto &act : last_acts) {
        act();
        RegistryChanged();
        FilesChanged();
    }
}

void RunPendingEngine()
{
    Engine &engine = M().running_engine;
    if (!M().engine_pending)
        return;
    M().engine_pending = false;
    if (engine.on_run) { /* what it changed, as one change of each */
        engine.on_run();
        RegistryChanged();
        FilesChanged();
    }
    for (const Process &copy : engine.copies)
        AddProcess(copy);
}

} // namespace hw

using hw::M;
using hw::Object;

/* --- Toolhelp ----------------------------------------------------------------------------- */

static HANDLE WINAPI SimCreateToolhelp32Snapshot(DWORD flags, DWORD)
{
    if (hw::Failing("CreateToolhelp32Snapshot") || flags != TH32CS_SNAPPROCESS)
        return INVALID_HANDLE_VALUE;
    Object o{};
    o.kind = Object::Snapshot;
    o.snap = hw::Scan();
    return (HANDLE)hw::NewObject(o);
}

static BOOL FillEntry(HANDLE snapshot, PROCESSENTRY32 *entry, const char *call, bool first)
{
    Object *o = hw::FindObject(snapshot, Object::Snapshot);
    long error = ERROR_INVALID_PARAMETER;
    if (hw::Failing(call, &error) || o == nullptr || entry->dwSize < sizeof *entry) {
        SetLastError((DWORD)error);
        return FALSE;
    }
    if (first)
        o->next = 0;
    if (o->next >= o->snap.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const hw::Process &p = o->snap[o->next++];
    entry->th32ProcessID = p.pid;
    memset(entry->szExeFile, 0, sizeof entry->szExeFile);
    /* A name of MAX_PATH bytes or more arrives cut, and unterminated, as a raw field would. */
    memcpy(entry->szExeFile, p.exe_file.data(),
           p.exe_file.size() < sizeof entry->szExeFile ? p.exe_file.size()
                                                       : sizeof entry->szExeFile);
    return TRUE;
}

static BOOL WINAPI SimProcess32First(HANDLE snapshot, PROCESSENTRY32 *entry)
{
    return FillEntry(snapshot, entry, "Process32First", true);
}

static BOOL WINAPI SimProcess32Next(HANDLE snapshot, PROCESSENTRY32 *entry)
{
    return FillEntry(snapshot, entry, "Process32Next", false);
}

static BOOL WINAPI SimModule32Walk(HANDLE, void *)
{
    return FALSE;
}

/* --- psapi -------------------------------------------------------------------------------- */

static BOOL WINAPI SimEnumProcesses(DWORD *ids, DWORD size, DWORD *needed)
{
    if (hw::Failing("EnumProcesses"))
        return FALSE;
    std::vector<hw::Process> seen = hw::Scan();
    DWORD n = 0;
    for (; n < seen.size() && (n + 1) * sizeof(DWORD) <= size; n++)
        ids[n] = seen[n].pid;
    *needed = n * (DWORD)sizeof(DWORD);
    return TRUE;
}

static BOOL WINAPI SimEnumProcessModules(HANDLE process, HMODULE *modules, DWORD size,
                                         DWORD *needed)
{
    Object *o = hw::FindObject(process, Object::Process);
    if (o == nullptr || hw::Failing("EnumProcessModules", nullptr, hw::PidText(o->proc.pid)))
        return FALSE;
    DWORD total = (DWORD)o->proc.modules.size();
    for (DWORD i = 0; i < total && (i + 1) * sizeof(HMODULE) <= size; i++)
        modules[i] = (HMODULE)(uintptr_t)(0x10000 * (i + 1));
    *needed = total * (DWORD)sizeof(HMODULE); /* all of them, as the call reports */
    return TRUE;
}

static DWORD WINAPI SimGetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR name, DWORD size)
{
    Object *o = hw::FindObject(process, Object::Process);
    size_t index = (uintptr_t)module / 0x10000 - 1;
    if (o == nullptr || hw::Failing("GetModuleFileNameExA", nullptr, hw::PidText(o->proc.pid)) ||
        size == 0 || index >= o->proc.modules.size())
        return 0;
    const std::string &path = o->proc.modules[index];
    size_t n = path.size() < size - 1 ? path.size() : size - 1;
    memcpy(name, path.data(), n);
    name[n] = '\0';
    return (DWORD)n;
}

/* The image of an opened process: its first module, else its executable's name. */
static BOOL WINAPI SimQueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR name,
                                                 DWORD *size)
{
    Object *o = hw::FindObject(process, Object::Process);
    if (o == nullptr ||
        hw::Failing("QueryFullProcessImageNameW", nullptr, hw::PidText(o->proc.pid)) ||
        flags != 0 || !(o->access & PROCESS_QUERY_LIMITED_INFORMATION))
        return FALSE;
    std::string image = o->proc.modules.empty() ? o->proc.exe_file : o->proc.modules[0];
    std::string wide = hw::Utf16(image);
    if (wide.size() / 2 > *size)
        return FALSE;
    memcpy(name, wide.data(), wide.size());
    *size = (DWORD)(wide.size() / 2 - 1);
    return TRUE;
}

/* --- libraries ---------------------------------------------------------------------------- */

static BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags)
{
    char given[16];
    snprintf(given, sizeof given, "0x%x", (unsigned)flags);
    return !hw::Failing("SetDefaultDllDirectories", nullptr, given);
}

static BOOL WINAPI SimSetDllDirectoryA(LPCSTR path)
{
    return !hw::Failing("SetDllDirectoryA", nullptr, path == nullptr ? "(null)" : path);
}

/* --- the process itself ------------------------------------------------------------------ */

HANDLE GetCurrentProcess(void)
{
    hw::Failing("GetCurrentProcess");
    return (HANDLE)(intptr_t)-1;
}

static BOOL WINAPI SimIsWow64Process(HANDLE process, BOOL *wow64)
{
    if (hw::Failing("IsWow64Process") || process != (HANDLE)(intptr_t)-1)
        return FALSE;
    *wow64 = M().wow64;
    return TRUE;
}

/* --- the calls ---------------------------------------------------------------------------- */

namespace
{
const char K32[] = "kernel32.dll", NTDLL[] = "ntdll.dll", ADVAPI32[] = "advapi32.dll";
const char USER32[] = "C:\\WINDOWS\\system32\\user32.dll";
const char PSAPI[] = "C:\\WINDOWS\\system32\\psapi.dll";
} // namespace
#define F(fn) ((FARPROC)(void *)(fn))

/* The calls that the launcher links to, kernel32's, advapi32's and the C runtime's. With
** kCalls below, every call that the stand-in counts and a test may fail. */
static const char kLinkedCalls[] =
    " CloseHandle CreateFileA CreateMutexA CreateProcessA FlushFileBuffers FreeLibrary "
    "GetCommandLineA GetCurrentProcess GetEnvironmentVariableA GetExitCodeProcess "
    "GetFileAttributesA "
    "GetFileInformationByHandle GetModuleFileNameA GetModuleHandleA GetPrivateProfileStringA "
    "GetProcAddress GetSystemDirectoryA GetTickCount GetVersion IsDBCSLeadByte LoadLibraryA "
    "MoveFileExA MultiByteToWideChar OpenProcess RegCloseKey RegCreateKeyExA RegDeleteKeyA "
    "ReadFile RegDeleteValueA RegEnumKeyExA RegFlushKey RegOpenKeyExA RegQueryInfoKeyA "
    "RegQueryValueExA RegSetValueExA Sleep WaitForMultipleObjects WaitForSingleObject "
    "WideCharToMultiByte "
    "_fdopen _open_osfhandle exit fclose fflush fopen fread free fwrite malloc realloc remove "
    "rename ";

/* The calls that the launcher finds with GetProcAddress: each names its stand-in and the
** library that exports it (from Vista on: the last field), or no library where only a test's
** SetLibrary lists it. */
static const hw::Call kCalls[] = {
    {"AddSIDToBoundaryDescriptor", K32, F(hw::SimAddSIDToBoundaryDescriptor), true},
    {"CreateBoundaryDescriptorW", K32, F(hw::SimCreateBoundaryDescriptorW), true},
    {"CreatePrivateNamespaceW", K32, F(hw::SimCreatePrivateNamespaceW), true},
    {"CryptAcquireContextA", ADVAPI32, F(hw::SimCryptAcquireContextA)},
    {"CryptCreateHash", ADVAPI32, F(hw::SimCryptCreateHash)},
    {"CryptDestroyHash", ADVAPI32, F(hw::SimCryptDestroyHash)},
    {"CryptGetHashParam", ADVAPI32, F(hw::SimCryptGetHashParam)},
    {"CryptHashData", ADVAPI32, F(hw::SimCryptHashData)},
    {"CryptReleaseContext", ADVAPI32, F(hw::SimCryptReleaseContext)},
    {"CreateToolhelp32Snapshot", K32, F(SimCreateToolhelp32Snapshot)},
    {"EnumProcessModules", PSAPI, F(SimEnumProcessModules)},
    {"EnumProcesses", PSAPI, F(SimEnumProcesses)},
    {"GetEnvironmentVariableW", K32, F(hw::SimGetEnvironmentVariableW)},
    {"GetFinalPathNameByHandleW", K32, F(hw::SimGetFinalPathNameByHandleW), true},
    {"GetModuleFileNameExA", PSAPI, F(SimGetModuleFileNameExA)},
    {"GetModuleFileNameW", K32, F(hw::SimGetModuleFileNameW)},
    {"GetProcessWindowStation", USER32, F(hw::SimGetProcessWindowStation)},
    {"GetShortPathNameW", K32, F(hw::SimGetShortPathNameW)},
    {"GetUserObjectInformationA", USER32, F(hw::SimGetUserObjectInformationA)},
    {"IsWow64Process", K32, F(SimIsWow64Process)},
    {"MessageBoxA", USER32, F(hw::SimMessageBoxA)},
    {"Module32First", K32, F(SimModule32Walk)},
    {"Module32Next", K32, F(SimModule32Walk)},
    {"NtSetInformationFile", NTDLL, F(hw::SimNtSetInformationFile)},
    {"OpenPrivateNamespaceW", K32, F(hw::SimOpenPrivateNamespaceW), true},
    {"Process32First", K32, F(SimProcess32First)},
    {"Process32Next", K32, F(SimProcess32Next)},
    {"QueryFullProcessImageNameW", K32, F(SimQueryFullProcessImageNameW), true},
    {"RegQueryValueExW", ADVAPI32, F(hw::SimRegQueryValueExW)},
    {"RegSetValueExW", ADVAPI32, F(hw::SimRegSetValueExW)},
    {"SetDefaultDllDirectories", nullptr, F(SimSetDefaultDllDirectories)},
    {"SetDllDirectoryA", nullptr, F(SimSetDllDirectoryA)},
    {nullptr},
};
#undef F

const hw::Call *hw::FirstCall()
{
    return kCalls;
}

const hw::Call *hw::FindCall(const char *name)
{
    for (const Call *c = kCalls; c->name != nullptr; c++)
        if (strcmp(c->name, name) == 0)
            return c;
    return nullptr;
}

bool hw::KnownCall(const std::string &name)
{
    return FindCall(name.c_str()) != nullptr ||
           strstr(kLinkedCalls, (" " + name + " ").c_str()) != nullptr;
}

HMODULE LoadLibraryA(LPCSTR name)
{
    if (hw::Failing("LoadLibraryA", nullptr, name))
        return nullptr;
    auto it = M().libraries.find(hw::Lower(name));
    if (it == M().libraries.end() || !it->second.loadable)
        return nullptr;
    Object o{};
    o.kind = Object::Module;
    o.name = hw::Lower(name);
    return (HMODULE)hw::NewObject(o);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    Object *o = hw::FindObject(module, Object::Module);
    if (hw::Failing("GetProcAddress") || o == nullptr)
        return nullptr;
    const hw::Library &lib = M().libraries[o->name];
    const hw::Call *call = hw::FindCall(name);
    return lib.entries.count(name) && call != nullptr ? call->fn : nullptr;
}

HMODULE GetModuleHandleA(LPCSTR name)
{
    if (hw::Failing("GetModuleHandleA"))
        return nullptr;
    auto it = M().libraries.find(hw::Lower(name));
    if (it == M().libraries.end() || !it->second.loadable)
        return nullptr;
    for (auto &o : M().objects)
        if (o.second.kind == Object::Module && o.second.resident && o.second.name == it->first)
            return (HMODULE)o.first;
    Object o{};
    o.kind = Object::Module;
    o.name = it->first;
    o.resident = true;
    return (HMODULE)hw::NewObject(o);
}

BOOL FreeLibrary(HMODULE module)
{
    if (hw::Failing("FreeLibrary") || hw::FindObject(module, Object::Module) == nullptr)
        return FALSE;
    hw::DropObject(module);
    return TRUE;
}

HANDLE OpenProcess(DWORD access, BOOL, DWORD process_id)
{
    if (hw::Failing("OpenProcess", nullptr, hw::PidText(process_id)))
        return nullptr;
    for (auto &p : M().processes) {
        if (p.pid != process_id)
            continue;
        Object o{};
        o.kind = Object::Process;
        o.proc = p;
        o.access = access;
        return (HANDLE)hw::NewObject(o);
    }
    return nullptr;
}

/* A process that is seen for ever never ends; every other one ends when waited on. Waiting
** for one that never ends takes the whole time given; without a limit, the wait lasts until
** the launcher is ended from outside. */
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD ms)
{
    std::set<DWORD> pids;
    char limit[16];
    snprintf(limit, sizeof limit, ms == INFINITE ? "none" : "%lu ms", (unsigned long)ms);
    if (hw::Failing("WaitForMultipleObjects", nullptr, limit) || count == 0 || count > 64 || !all)
        return WAIT_FAILED;
    for (DWORD i = 0; i < count; i++) {
        Object *o = hw::FindObject(handles[i], Object::Process);
        if (o == nullptr || !(o->access & SYNCHRONIZE))
            return WAIT_FAILED;
        pids.insert(o->proc.pid);
    }
    bool endless = false;
    for (auto &p : M().processes)
        endless = endless || (pids.count(p.pid) && p.scans < 0);
    if (endless && ms == INFINITE) /* held until the launcher is ended from outside */
        throw hw::Killed{};
    hw::EndProcesses([&](const hw::Process &p) { return pids.count(p.pid) && p.scans >= 0; });
    M().clock_ms += endless ? ms : 1;
    return endless ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

/* --- the engine --------------------------------------------------------------------------- */

BOOL CreateProcessA(LPCSTR application, LPSTR cmdline, SECURITY_ATTRIBUTES *, SECURITY_ATTRIBUTES *,
                    BOOL, DWORD, LPVOID, LPCSTR, STARTUPINFOA *startup, PROCESS_INFORMATION *info)
{
    std::string given = std::string(application == nullptr ? "(null)" : application) + "|" +
                        (cmdline == nullptr ? "" : cmdline);
    const STARTUPINFOA &s = *startup;
    if (!(s.dwFlags & STARTF_USESHOWWINDOW) || s.wShowWindow != SW_HIDE)
        given += "|shown";
    /* Windows reads cb as the record's size, and the desktop and title as strings. */
    if (s.cb != sizeof s || s.lpReserved || s.lpDesktop || s.lpTitle || s.lpReserved2)
        given += "|more than the window's state";
    if (hw::Failing("CreateProcessA", nullptr, given.c_str()) || application == nullptr ||
        !hw::IsFile(application))
        return FALSE;

    M().running_engine = M().next_engine;
    M().engine_pending = true;
    Object proc{};
    proc.kind = Object::Process;
    proc.engine = true;
    Object thread{};
    thread.kind = Object::Thread;
    info->hProcess = (HANDLE)hw::NewObject(proc);
    info->hThread = (HANDLE)hw::NewObject(thread);
    info->dwProcessId = 4242;
    info->dwThreadId = 4243;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD)
{
    Object *o = hw::FindObject(handle, Object::Process);
    if (hw::Failing("WaitForSingleObject") || o == nullptr)
        return WAIT_FAILED;
    if (o->engine && !o->ended) {
        o->ended = true;
        hw::RunPendingEngine();
    }
    return WAIT_OBJECT_0;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD *code)
{
    Object *o = hw::FindObject(process, Object::Process);
    if (hw::Failing("GetExitCodeProcess") || o == nullptr)
        return FALSE;
    *code = o->ended ? M().running_engine.exit_code : STILL_ACTIVE;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    auto it = M().objects.find((uintptr_t)handle);
    if (hw::Failing("CloseHandle") || it == M().objects.end() || it->second.kind == Object::Key ||
        it->second.kind == Object::Module)
        return FALSE; /* keys and modules have calls of their own */
    M().objects.erase(it);
    return TRUE;
}
