/* Processes of the simulated machine: the engine that CreateProcessA starts, the process
** table that the Toolhelp snapshot and the psapi calls enumerate, the DLL search path. */
#include <string.h>

#include <tlhelp32.h>

#include "machine.h"

namespace hw
{

/* The argument by which a fault is aimed at one process: "pid 4400:". */
static const char *PidText(DWORD pid)
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
        hw::SetLastError((DWORD)error);
        return FALSE;
    }
    if (first)
        o->next = 0;
    if (o->next >= o->snap.size()) {
        hw::SetLastError(ERROR_NO_MORE_FILES);
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

/* --- the DLL search path ------------------------------------------------------------------ */

static BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags)
{
    char given[16];
    snprintf(given, sizeof given, "0x%x", (unsigned)flags);
    return !hw::Failing("SetDefaultDllDirectories", nullptr, given);
}

static BOOL WINAPI SimSetDllDirectoryA(LPCSTR path)
{
    return !hw::Failing("SetDllDirectoryA", nullptr, path);
}

/* --- the process itself ------------------------------------------------------------------- */

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

/* --- the calls found by name -------------------------------------------------------------- */

static const char PSAPI[] = "C:\\WINDOWS\\system32\\psapi.dll";

/* SetDefaultDllDirectories and SetDllDirectoryA are in no library until a test's SetLibrary
** lists them. */
const hw::Call hw::kProcessCalls[] = {
    {"CreateToolhelp32Snapshot", kKernel32, Entry(SimCreateToolhelp32Snapshot)},
    {"EnumProcessModules", PSAPI, Entry(SimEnumProcessModules)},
    {"EnumProcesses", PSAPI, Entry(SimEnumProcesses)},
    {"GetModuleFileNameExA", PSAPI, Entry(SimGetModuleFileNameExA)},
    {"IsWow64Process", kKernel32, Entry(SimIsWow64Process)},
    {"Module32First", kKernel32, Entry(SimModule32Walk)},
    {"Module32Next", kKernel32, Entry(SimModule32Walk)},
    {"Process32First", kKernel32, Entry(SimProcess32First)},
    {"Process32Next", kKernel32, Entry(SimProcess32Next)},
    {"QueryFullProcessImageNameW", kKernel32, Entry(SimQueryFullProcessImageNameW), true},
    {"SetDefaultDllDirectories", nullptr, Entry(SimSetDefaultDllDirectories)},
    {"SetDllDirectoryA", nullptr, Entry(SimSetDllDirectoryA)},
    {nullptr},
};

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
                    BOOL, DWORD, void *, LPCSTR, STARTUPINFOA *startup, PROCESS_INFORMATION *info)
{
    std::string given = std::string(application) + "|" + cmdline;
    const STARTUPINFOA &s = *startup;
    if (!(s.dwFlags & STARTF_USESHOWWINDOW) || s.wShowWindow != SW_HIDE)
        given += "|shown";
    /* Windows reads cb as the record's size, and the desktop and title as strings. */
    if (s.cb != sizeof s || s.lpReserved || s.lpDesktop || s.lpTitle || s.lpReserved2)
        given += "|more than the window's state";
    if (hw::Failing("CreateProcessA", nullptr, given.c_str()) || !hw::IsFile(application))
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
