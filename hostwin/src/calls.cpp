/* The top of the stand-in, which needs every other file: the calls the launcher links to and
** those it finds with GetProcAddress, the libraries that export them, and the machine as a
** whole: Reset, SetVersion, FailCall and RunLauncher. */
#include <stdlib.h>
#include <string.h>

#include "machine.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE prev_instance, LPSTR cmd_line, int show);

namespace hw
{

/* The calls that the launcher links to, kernel32's, advapi32's and the C runtime's. With the
** families' lists below, every call that the stand-in counts and a test may fail. */
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

/* The calls that the launcher finds with GetProcAddress, by family. */
static const Call *const kFamilies[] = {kFileCalls,   kNameCalls,   kRegistryCalls,
                                        kSystemCalls, kCryptoCalls, kProcessCalls};

static const Call *FindCall(const char *name)
{
    for (const Call *family : kFamilies)
        for (const Call *c = family; c->name != nullptr; c++)
            if (strcmp(c->name, name) == 0)
                return c;
    return nullptr;
}

void SetLibrary(const std::string &name, bool loadable, const std::vector<std::string> &entries)
{
    M().libraries[Lower(name)] = Library{loadable, {entries.begin(), entries.end()}};
}

/* kernel32 tells a handle's final path, and has private namespaces, from Vista on. */
void SetVersion(DWORD version)
{
    std::set<std::string> &kernel32 = M().libraries[kKernel32].entries;
    M().version = version;
    for (const Call *family : kFamilies)
        for (const Call *c = family; c->name != nullptr; c++) {
            if (!c->from_vista)
                continue;
            if (!(version & 0x80000000u) && (version & 0xFF) >= 6)
                kernel32.insert(c->name);
            else
                kernel32.erase(c->name);
        }
}

void Reset()
{
    M() = Machine();
    M().system_dir = "C:\\WINDOWS\\system32";
    RegSetString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                 "C:\\Program Files");
    for (const Call *family : kFamilies)
        for (const Call *c = family; c->name != nullptr; c++)
            if (c->library != nullptr && !c->from_vista)
                M().libraries[Lower(c->library)].entries.insert(c->name);
    SetVersion(0x4A65000A); /* Windows 10: 10.0, build 19045 */
}

void FailCall(const std::string &call, long error, int times, int skip, const std::string &argument)
{
    if (FindCall(call.c_str()) == nullptr &&
        strstr(kLinkedCalls, (" " + call + " ").c_str()) == nullptr) {
        fprintf(stderr, "hw::FailCall: the stand-in has no call named \"%s\"\n", call.c_str());
        abort();
    }
    M().faults[call] = Fault{error, times, skip, Lower(argument)};
}

int RunLauncher(const char *command_line)
{
    static char cmdline_copy[40000];
    Machine &machine = M();
    int code;
    bool exited = false;

    machine.command_line = command_line;
    snprintf(cmdline_copy, sizeof cmdline_copy, "%s", machine.command_line.c_str());
    machine.call_log.clear();
    machine.call_args.clear();
    machine.objects_at_end = 0;
    machine.engine_pending = false;
    if (machine.power_cut) { /* what was there before the run is on disk */
        RegistryFlushed();
        FilesFlushed();
    }
    machine.in_run = true;
    try {
        code = WinMain(nullptr, nullptr, cmdline_copy, 1);
        CloseAllStreams();
    } catch (const ExitCalled &e) {
        code = e.code;
        exited = true;
        CloseAllStreams();
    } catch (const Killed &) {
        code = kKilled;
        exited = true;           /* the process is gone: Windows reclaims what it held */
        machine.streams.clear(); /* what their buffers held is lost */
        if (machine.power_cut)   /* every process stops */
            machine.processes.clear();
        else
            RunPendingEngine(); /* the engine is a process of its own: the kill does not stop it */
    }
    if (exited)
        machine.fds.clear();
    machine.power_cut = false;
    machine.in_run = false;
    machine.kill_at = 0;
    /* Every handle dies with the process, the run lock too. Those that WinMain left open when it
    ** returned stay countable by tests; a fatal stop or a kill ends the process where it is,
    ** and what the callers held goes. */
    machine.run_mutexes.clear();
    for (auto it = machine.objects.begin(); it != machine.objects.end();) {
        bool left = it->second.kind != Object::Mutex && !it->second.resident;
        machine.objects_at_end += left && !exited; /* left open by WinMain, closed by its end */
        it = left || it->second.kind == Object::Mutex ? machine.objects.erase(it) : std::next(it);
    }
    /* The process end reclaims the heap; what was left is counted first. */
    machine.blocks_at_end = exited ? 0 : (int)machine.heap_blocks.size();
    for (void *p : machine.heap_blocks)
        free(p);
    machine.heap_blocks.clear();
    return code;
}

} // namespace hw

using hw::M;
using hw::Object;

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

/* A library loaded in every process, such as kernel32.dll: no reference taken. */
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
