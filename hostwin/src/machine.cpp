#include "machine.h"

#include <stdlib.h>

#include <set>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE prev_instance, LPSTR cmd_line, int show);

namespace hw
{

static Machine machine;
static bool exit_armed = false;

/* The launcher called exit(): thrown through its frames back to RunLauncher. */
struct ExitCalled {
    int code;
};
static std::set<void *> heap_blocks; /* what the program allocated and has not freed */
static int blocks_at_end = 0;

Machine &M()
{
    return machine;
}

void Reset()
{
    machine = Machine();
    machine.system_dir = "C:\\WINDOWS\\system32";
    RegSetString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                 "C:\\Program Files");
    for (const Call *c = FirstCall(); c->name != nullptr; c++)
        if (c->library != nullptr && !c->from_vista)
            machine.libraries[Lower(c->library)].entries.insert(c->name);
    SetVersion(0x4A65000A); /* Windows 10: 10.0, build 19045 */
}

void FailCall(const std::string &call, long error, int times, int skip, const std::string &argument)
{
    if (!KnownCall(call)) {
        fprintf(stderr, "hw::FailCall: the stand-in has no call named \"%s\"\n", call.c_str());
        abort();
    }
    machine.faults[call] = Fault{error, times, skip, Lower(argument)};
}

int CallCount(const std::string &call)
{
    auto it = machine.calls.find(call);
    return it == machine.calls.end() ? 0 : it->second;
}

void KillBeforeCall(int n)
{
    machine.kill_at = n;
}

const std::vector<std::string> &CallLog()
{
    return machine.call_log;
}

std::vector<std::string> Arguments(const std::string &call)
{
    std::vector<std::string> given;
    for (size_t i = 0; i < machine.call_log.size(); i++)
        if (machine.call_log[i] == call)
            given.push_back(machine.call_args[i]);
    return given;
}

bool Failing(const char *call, long *error, const char *argument)
{
    machine.calls[call]++;
    machine.call_log.push_back(call);
    machine.call_args.push_back(argument == nullptr ? "" : argument);
    if (machine.kill_at > 0 && (int)machine.call_log.size() == machine.kill_at) {
        machine.kill_at = 0;
        throw Killed{};
    }
    auto it = machine.faults.find(call);
    if (it == machine.faults.end())
        return false;
    if (!it->second.argument.empty() &&
        (argument == nullptr || Lower(argument).find(it->second.argument) == std::string::npos))
        return false;
    Fault &f = it->second;
    if (f.skip > 0) {
        f.skip--;
        return false;
    }
    if (f.times == 0)
        return false;
    if (f.times > 0)
        f.times--;
    if (error != nullptr)
        *error = f.error;
    machine.last_error = (DWORD)f.error; /* a failed call's last error, also where it answers it */
    return true;
}

const std::vector<Event> &Events()
{
    return machine.events;
}

uintptr_t NewObject(const Object &object)
{
    uintptr_t h = machine.next_handle;
    machine.next_handle += 4;
    machine.objects.emplace(h, object);
    return h;
}

Object *FindObject(const void *handle, Object::Kind kind)
{
    auto it = machine.objects.find((uintptr_t)handle);
    if (it == machine.objects.end() || it->second.kind != kind)
        return nullptr;
    return &it->second;
}

void DropObject(const void *handle)
{
    machine.objects.erase((uintptr_t)handle);
}

int LeftOpen()
{
    int n =
        blocks_at_end + machine.objects_at_end + (int)(machine.streams.size() + machine.fds.size());
    for (auto &o : machine.objects)
        n += !(o.second.kind == Object::Module && o.second.resident);
    return n;
}

/* --- power ---------------------------------------------------------------------------------- */

/* A change of the registry or the disks (kept in order, for a power cut to keep the first of
** them), or a flush of all their changes so far. */
template <typename State>
static void Record(const State &now, State &flushed, std::vector<State> &unflushed, bool flush)
{
    if (!machine.power_cut)
        return;
    if (flush)
        unflushed.clear();
    (flush ? flushed : unflushed.emplace_back()) = now;
}

void RegistryChanged()
{
    Record(machine.keys, machine.flushed_keys, machine.unflushed_keys, false);
}

void RegistryFlushed()
{
    Record(machine.keys, machine.flushed_keys, machine.unflushed_keys, true);
}

void FilesChanged()
{
    Record(machine.disk, machine.flushed_files, machine.unflushed_files, false);
}

void FilesFlushed()
{
    Record(machine.disk, machine.flushed_files, machine.unflushed_files, true);
}

void PowerCutBeforeCall(int n)
{
    KillBeforeCall(n);
    machine.power_cut = true;
}

std::pair<int, int> UnflushedChanges()
{
    return {(int)machine.unflushed_keys.size(), (int)machine.unflushed_files.size()};
}

void KeepAfterPowerCut(int registry_changes, int file_changes)
{
    machine.keys =
        registry_changes ? machine.unflushed_keys[registry_changes - 1] : machine.flushed_keys;
    machine.disk = file_changes ? machine.unflushed_files[file_changes - 1] : machine.flushed_files;
}

int RunLauncher(const char *command_line)
{
    static char cmdline_copy[40000];
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
    exit_armed = true;
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
    exit_armed = false;
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
    blocks_at_end = exited ? 0 : (int)heap_blocks.size();
    for (void *p : heap_blocks)
        free(p);
    heap_blocks.clear();
    return code;
}

} // namespace hw

[[noreturn]] void hw_exit(int code)
{
    hw::Failing("exit");
    if (!hw::exit_armed)
        _Exit(code);
    throw hw::ExitCalled{code};
}

void *hw_malloc(size_t size)
{
    if (hw::Failing("malloc"))
        return nullptr;
    void *p = malloc(size);
    hw::heap_blocks.insert(p);
    return p;
}

void *hw_realloc(void *p, size_t size)
{
    if (hw::Failing("realloc"))
        return nullptr;
    void *grown = realloc(p, size);
    if (grown != nullptr) {
        hw::heap_blocks.erase(p);
        hw::heap_blocks.insert(grown);
    }
    return grown;
}

void hw_free(void *p)
{
    hw::Failing("free");
    hw::heap_blocks.erase(p);
    free(p);
}
