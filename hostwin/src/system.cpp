/* Kernel and user services of the simulated machine: command line, module path, environment,
** profile strings, version, code page, Sleep, named mutexes and private namespaces, and the
** message box. */
#include <string.h>

#include <sstream>

#include "machine.h"

namespace hw
{

void SetModulePath(const std::string &path)
{
    M().module_path = path;
}
void SetEnv(const std::string &name, const std::string &value)
{
    M().env[Lower(name)] = value;
}
void SetSystemDirectory(const std::string &path)
{
    M().system_dir = path;
}
void SetCodePage(int code_page)
{
    M().code_page = code_page;
}
void HoldMutex(const std::string &name)
{
    M().held_mutexes.insert(name);
}
DWORD SleptMs()
{
    return M().slept_ms;
}

static std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

/* Finds key in section of an INI file; false when the file, section or key is missing. */
static bool ProfileValue(const std::string &file, const std::string &section,
                         const std::string &key, std::string *value)
{
    std::istringstream in(ReadFile(file));
    std::string line;
    bool in_section = false;
    while (std::getline(in, line)) {
        std::string t = Trim(line);
        if (!t.empty() && t[0] == '[') {
            size_t close = t.find(']');
            in_section =
                close != std::string::npos && Lower(t.substr(1, close - 1)) == Lower(section);
            continue;
        }
        size_t eq = t.find('=');
        if (!in_section || eq == std::string::npos || Lower(Trim(t.substr(0, eq))) != Lower(key))
            continue;
        std::string v = Trim(t.substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        *value = v;
        return true;
    }
    return false;
}

} // namespace hw

using hw::M;

LPSTR GetCommandLineA(void)
{
    hw::Failing("GetCommandLineA");
    return &M().command_line[0];
}

/* As on Windows XP: a path that does not fit is cut to size bytes, without a terminator. */
DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size)
{
    if (hw::Failing("GetModuleFileNameA"))
        return 0;
    return hw::CopyOut(hw::AnsiOf(M().module_path), buffer, size, true);
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size)
{
    if (hw::Failing("GetEnvironmentVariableA", nullptr, name))
        return 0;
    auto it = M().env.find(hw::Lower(name));
    if (it == M().env.end())
        return 0;
    return hw::CopyOut(hw::AnsiOf(it->second), buffer, size);
}

/* Copies the value, or the default, cut to size - 1 characters; answers the count copied. */
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR dflt, LPSTR buffer, DWORD size,
                               LPCSTR file)
{
    std::string value = dflt == nullptr ? "" : dflt;
    if (size == 0)
        return 0;
    if (!hw::Failing("GetPrivateProfileStringA", nullptr, file))
        hw::ProfileValue(file, section, key, &value);
    if (value.size() > size - 1)
        value.resize(size - 1);
    memcpy(buffer, value.c_str(), value.size() + 1);
    return (DWORD)value.size();
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    if (hw::Failing("GetSystemDirectoryA"))
        return 0;
    return hw::CopyOut(M().system_dir, buffer, size);
}

void Sleep(DWORD ms)
{
    hw::Failing("Sleep");
    M().slept_ms += ms;
    M().clock_ms += ms;
}

DWORD GetTickCount(void)
{
    hw::Failing("GetTickCount");
    return 0x7FFFF000u + M().clock_ms; /* near a wrap, as after 24 days up */
}

BOOL IsDBCSLeadByte(BYTE c)
{
    hw::Failing("IsDBCSLeadByte");
    if (M().code_page == 932)
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    return FALSE;
}

DWORD GetVersion(void)
{
    hw::Failing("GetVersion");
    return M().version;
}

/* A name that another process holds, or this one made already, answers a handle and
** ERROR_ALREADY_EXISTS; a failure answers NULL with the fault's error. */
HANDLE CreateMutexA(SECURITY_ATTRIBUTES *, BOOL, LPCSTR name)
{
    if (hw::Failing("CreateMutexA", nullptr, name))
        return nullptr;
    bool exists = M().held_mutexes.count(name) || M().run_mutexes.count(name);
    M().run_mutexes.insert(name);
    hw::Object o{};
    o.kind = hw::Object::Mutex;
    hw::SetLastError(exists ? ERROR_ALREADY_EXISTS : 0);
    return (HANDLE)hw::NewObject(o);
}

/* kernel32's private namespaces (Vista on): one boundary, and a namespace that exists while
** this run or another process (HoldMutex("namespace:" + alias)) has it. */
static HANDLE SimCreateBoundaryDescriptorW(LPCWSTR, ULONG)
{
    return hw::Failing("CreateBoundaryDescriptorW") ? nullptr : (HANDLE)(uintptr_t)0xB0;
}

static BOOL SimAddSIDToBoundaryDescriptor(HANDLE *boundary, void *)
{
    return !hw::Failing("AddSIDToBoundaryDescriptor") && *boundary != nullptr;
}

static HANDLE Namespace(const char *call, bool create)
{
    const std::string name = "namespace:Brevane.SetupLauncher";
    bool exists = M().held_mutexes.count(name) || M().run_mutexes.count(name);
    if (hw::Failing(call) || exists == create) {
        hw::SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    M().run_mutexes.insert(name);
    hw::Object o{};
    o.kind = hw::Object::Mutex; /* gone with the process, as the lock */
    return (HANDLE)hw::NewObject(o);
}

static HANDLE SimCreatePrivateNamespaceW(SECURITY_ATTRIBUTES *, void *, LPCWSTR)
{
    return Namespace("CreatePrivateNamespaceW", true);
}

static HANDLE SimOpenPrivateNamespaceW(void *, LPCWSTR)
{
    return Namespace("OpenPrivateNamespaceW", false);
}

/* user32's: records the box in order with the writes. */
static int SimMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    M().events.push_back({hw::Event::Box, "", text, caption, type, owner != nullptr});
    return hw::Failing("MessageBoxA") ? 0 : 1; /* the OK button */
}

const hw::Call hw::kSystemCalls[] = {
    {"AddSIDToBoundaryDescriptor", kKernel32, Entry(SimAddSIDToBoundaryDescriptor), true},
    {"CreateBoundaryDescriptorW", kKernel32, Entry(SimCreateBoundaryDescriptorW), true},
    {"CreatePrivateNamespaceW", kKernel32, Entry(SimCreatePrivateNamespaceW), true},
    {"MessageBoxA", kUser32, Entry(SimMessageBoxA)},
    {"OpenPrivateNamespaceW", kKernel32, Entry(SimOpenPrivateNamespaceW), true},
    {nullptr},
};
