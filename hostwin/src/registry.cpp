/* The registry of the simulated machine: keys under HKEY_LOCAL_MACHINE, values of any type
** and size, stored as exact bytes. */
#include <string.h>

#include "machine.h"

namespace hw
{

/* The key at its lower-case path, made with its parents where it is not there. */
static RegKey &MakeKey(const std::string &name)
{
    for (size_t at = 0; (at = name.find('\\', at + 1)) != std::string::npos;)
        M().keys[name.substr(0, at)];
    return M().keys[name];
}

void SetWow64(bool on)
{
    M().wow64 = on;
    RegSetString("SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                 "C:\\Program Files (x86)");
}

/* The native path of subkey (lower case) as a 32-bit process opened with sam reaches it; ""
** where a view is asked for without WoW64. */
static std::string InView(const char *subkey, REGSAM sam)
{
    std::string name = Lower(subkey);
    const REGSAM views = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
    if ((sam & views) == views || ((sam & views) && !M().wow64))
        return "";
    if (M().wow64 && !(sam & KEY_WOW64_64KEY) && name.rfind("software\\", 0) == 0)
        name.insert(9, "wow6432node\\");
    return name;
}

void RegRemoveKey(const std::string &path)
{
    std::string name = Lower(path);
    for (auto it = M().keys.begin(); it != M().keys.end();) {
        if (it->first == name || it->first.rfind(name + "\\", 0) == 0)
            it = M().keys.erase(it);
        else
            ++it;
    }
}

bool RegKeyExists(const std::string &path)
{
    return M().keys.count(Lower(path)) != 0;
}

void RegSet(const std::string &key, const std::string &name, DWORD type, const std::string &bytes,
            bool wide)
{
    MakeKey(Lower(key)).values[Lower(name)] = RegValue{type, bytes, wide};
}

/* The stored value as the A calls (wide false) or the W calls read it. */
static RegValue View(const RegValue &v, bool wide)
{
    RegValue out = v;
    out.wide = wide;
    if ((v.type != REG_SZ && v.type != REG_EXPAND_SZ && v.type != REG_MULTI_SZ) || v.wide == wide)
        return out;
    out.bytes.clear();
    if (wide) {
        for (unsigned char c : v.bytes)
            out.bytes += std::string{(char)c, '\0'};
    } else {
        std::u16string text(v.bytes.size() / 2, u'\0');
        memcpy(&text[0], v.bytes.data(), text.size() * 2);
        out.bytes = AnsiOfWide(text);
    }
    return out;
}

void RegSetString(const std::string &key, const std::string &name, const std::string &text)
{
    RegSet(key, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

bool RegGet(const std::string &key, const std::string &name, RegValue *value, bool wide)
{
    auto k = M().keys.find(Lower(key));
    if (k == M().keys.end())
        return false;
    auto v = k->second.values.find(Lower(name));
    if (v == k->second.values.end())
        return false;
    if (value != nullptr)
        *value = View(v->second, wide);
    return true;
}

void RegRemoveValue(const std::string &key, const std::string &name)
{
    auto k = M().keys.find(Lower(key));
    if (k != M().keys.end())
        k->second.values.erase(Lower(name));
}

/* The key behind an open handle, or null with *status set where the handle is no key's or its
** key has been deleted since. */
static RegKey *OpenedKey(HKEY handle, LONG *status)
{
    Object *o = FindObject(handle, Object::Key);
    auto k = o == nullptr ? M().keys.end() : M().keys.find(o->name);
    *status = ERROR_INVALID_HANDLE;
    return k == M().keys.end() ? nullptr : &k->second;
}

} // namespace hw

using hw::M;

/* Opens subkey of HKEY_LOCAL_MACHINE in the view of sam for RegOpenKeyExA and RegCreateKeyExA
** (call), making it first where create is set. */
static LONG OpenKey(const char *call, LPCSTR subkey, REGSAM sam, bool create, HKEY *result)
{
    long error = 0;
    *result = nullptr;
    if (hw::Failing(call, &error, subkey))
        return (LONG)error;
    std::string name = hw::InView(subkey, sam);
    if (name.empty())
        return ERROR_INVALID_PARAMETER;
    bool exists = M().keys.count(name) != 0;
    if (!exists && !create)
        return ERROR_FILE_NOT_FOUND;
    if (!exists) {
        hw::MakeKey(name);
        hw::RegistryChanged();
    }
    hw::Object o{};
    o.kind = hw::Object::Key;
    o.name = name;
    *result = (HKEY)hw::NewObject(o);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY, LPCSTR subkey, DWORD, REGSAM sam, HKEY *result)
{
    return OpenKey("RegOpenKeyExA", subkey, sam, false, result);
}

/* The key behind an open handle for a call that has been counted and was not made to fail
** (then null, with *status set). */
static hw::RegKey *KeyOfCall(const char *call, HKEY key, const char *argument, LONG *status)
{
    long error = 0;
    if (hw::Failing(call, &error, argument)) {
        *status = (LONG)error;
        return nullptr;
    }
    return hw::OpenedKey(key, status);
}

/* Answers as the registry does: with no data buffer only the size; a buffer too small gives
** ERROR_MORE_DATA and the size needed; data is delivered as stored, terminator or not, in the
** form of the A or the W calls. */
static LONG Query(const char *call, HKEY key, const std::string &name, bool wide, DWORD *type,
                  BYTE *data, DWORD *size)
{
    LONG status = 0;
    hw::RegKey *k = KeyOfCall(call, key, name.c_str(), &status);
    if (k == nullptr)
        return status;
    auto v = k->values.find(hw::Lower(name));
    if (v == k->values.end())
        return ERROR_FILE_NOT_FOUND;
    const std::string bytes = hw::View(v->second, wide).bytes;
    if (type != nullptr)
        *type = v->second.type;
    if (data != nullptr && *size < bytes.size()) {
        *size = (DWORD)bytes.size();
        return ERROR_MORE_DATA;
    }
    if (data != nullptr)
        memcpy(data, bytes.data(), bytes.size());
    if (size != nullptr)
        *size = (DWORD)bytes.size();
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, DWORD *, DWORD *type, BYTE *data, DWORD *size)
{
    return Query("RegQueryValueExA", key, name, false, type, data, size);
}

static LONG SimRegQueryValueExW(HKEY key, LPCWSTR name, DWORD *, DWORD *type, BYTE *data,
                                DWORD *size)
{
    return Query("RegQueryValueExW", key, hw::Narrow(name), true, type, data, size);
}

static LONG Set(const char *call, HKEY key, const std::string &name, bool wide, DWORD type,
                const BYTE *data, DWORD size)
{
    LONG status = 0;
    hw::RegKey *k = KeyOfCall(call, key, name.c_str(), &status);
    if (k == nullptr)
        return status;
    k->values[hw::Lower(name)] = hw::RegValue{type, std::string((const char *)data, size), wide};
    hw::RegistryChanged();
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE *data, DWORD size)
{
    return Set("RegSetValueExA", key, name, false, type, data, size);
}

static LONG SimRegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data,
                              DWORD size)
{
    return Set("RegSetValueExW", key, hw::Narrow(name), true, type, data, size);
}

LONG RegDeleteValueA(HKEY key, LPCSTR name)
{
    LONG status = 0;
    hw::RegKey *k = KeyOfCall("RegDeleteValueA", key, name, &status);
    if (k == nullptr)
        return status;
    if (k->values.erase(hw::Lower(name)) == 0)
        return ERROR_FILE_NOT_FOUND;
    hw::RegistryChanged();
    return ERROR_SUCCESS;
}

/* A call that only needs key to be open. */
static LONG OnOpenKey(const char *call, HKEY key)
{
    long error = 0;
    if (hw::Failing(call, &error))
        return (LONG)error;
    return hw::FindObject(key, hw::Object::Key) == nullptr ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    LONG status = OnOpenKey("RegCloseKey", key);
    if (status == ERROR_SUCCESS)
        hw::DropObject(key);
    return status;
}

LONG RegCreateKeyExA(HKEY, LPCSTR subkey, DWORD, LPSTR, DWORD, REGSAM sam, SECURITY_ATTRIBUTES *,
                     HKEY *result, DWORD *)
{
    return OpenKey("RegCreateKeyExA", subkey, sam, true, result);
}

/* The direct subkeys of an open key, by their lower-case paths. */
static std::vector<std::string> Subkeys(HKEY key)
{
    std::vector<std::string> names;
    std::string prefix = hw::FindObject(key, hw::Object::Key)->name + "\\";
    for (auto &other : M().keys)
        if (other.first.rfind(prefix, 0) == 0 &&
            other.first.find('\\', prefix.size()) == std::string::npos)
            names.push_back(other.first.substr(prefix.size()));
    return names;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD *name_size, DWORD *, LPSTR, DWORD *,
                   void *)
{
    LONG status = 0;
    if (KeyOfCall("RegEnumKeyExA", key, nullptr, &status) == nullptr)
        return status;
    std::vector<std::string> names = Subkeys(key);
    if (index >= names.size())
        return ERROR_NO_MORE_ITEMS;
    if (names[index].size() + 1 > *name_size)
        return ERROR_MORE_DATA;
    memcpy(name, names[index].c_str(), names[index].size() + 1);
    *name_size = (DWORD)names[index].size();
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR, DWORD *, DWORD *, DWORD *subkeys, DWORD *, DWORD *,
                      DWORD *values, DWORD *, DWORD *, DWORD *, void *)
{
    LONG status = 0;
    hw::RegKey *k = KeyOfCall("RegQueryInfoKeyA", key, nullptr, &status);
    if (k == nullptr)
        return status;
    if (subkeys != nullptr)
        *subkeys = (DWORD)Subkeys(key).size();
    if (values != nullptr)
        *values = (DWORD)k->values.size();
    return ERROR_SUCCESS;
}

/* Deletes a key with its values; a key that has subkeys is refused, as on the NT family. */
LONG RegDeleteKeyA(HKEY, LPCSTR subkey)
{
    long error = 0;
    if (hw::Failing("RegDeleteKeyA", &error, subkey))
        return (LONG)error;
    std::string name = hw::InView(subkey, 0);
    auto k = M().keys.find(name);
    if (k == M().keys.end())
        return ERROR_FILE_NOT_FOUND;
    for (auto &other : M().keys)
        if (other.first.rfind(name + "\\", 0) == 0)
            return ERROR_ACCESS_DENIED;
    M().keys.erase(k);
    hw::RegistryChanged();
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY key)
{
    LONG status = OnOpenKey("RegFlushKey", key);
    if (status == ERROR_SUCCESS)
        hw::RegistryFlushed();
    return status;
}

const hw::Call hw::kRegistryCalls[] = {
    {"RegQueryValueExW", kAdvapi32, Entry(SimRegQueryValueExW)},
    {"RegSetValueExW", kAdvapi32, Entry(SimRegSetValueExW)},
    {nullptr},
};
