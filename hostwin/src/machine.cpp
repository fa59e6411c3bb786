/* The core of the simulated machine, which needs no other file: its state, the faults and the
** call log, kernel objects, the last error, the change record of the power-cut model, and the
** C runtime's heap and exit. */
#include "machine.h"

#include <stdlib.h>

namespace hw
{

static Machine machine;

Machine &M()
{
    return machine;
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

void SetLastError(DWORD error)
{
    machine.last_error = error;
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
    int n = machine.blocks_at_end + machine.objects_at_end +
            (int)(machine.streams.size() + machine.fds.size());
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

} // namespace hw

DWORD GetLastError(void)
{
    return hw::M().last_error;
}

[[noreturn]] void hw_exit(int code)
{
    hw::Failing("exit");
    if (!hw::M().in_run)
        _Exit(code);
    throw hw::ExitCalled{code};
}

void *hw_malloc(size_t size)
{
    if (hw::Failing("malloc"))
        return nullptr;
    void *p = malloc(size);
    hw::M().heap_blocks.insert(p);
    return p;
}

void *hw_realloc(void *p, size_t size)
{
    if (hw::Failing("realloc"))
        return nullptr;
    void *grown = realloc(p, size);
    if (grown != nullptr) {
        hw::M().heap_blocks.erase(p);
        hw::M().heap_blocks.insert(grown);
    }
    return grown;
}

void hw_free(void *p)
{
    hw::Failing("free");
    hw::M().heap_blocks.erase(p);
    free(p);
}
