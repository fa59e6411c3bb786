/* Names outside the ANSI code page and the window station: the wide-character calls, the
** conversions between wide characters and the ANSI code page, short names, and whether the
** process's window station is visible. */
#include <string.h>

#include "machine.h"

namespace hw
{

void SetWindowStationVisible(bool visible)
{
    M().station_visible = visible;
}

/* UTF-8 to UTF-16, as far as tests write it: a two-byte sequence (up to U+07FF: Latin, Greek,
** Cyrillic) is its character; any other byte stands for itself. */
static std::u16string Wide(const std::string &utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size(); i++) {
        unsigned char c = utf8[i], t = i + 1 < utf8.size() ? utf8[i + 1] : 0;
        if (c >= 0xC2 && c < 0xE0 && (t & 0xC0) == 0x80) {
            out.push_back((char16_t)((c & 0x1Fu) << 6 | (t & 0x3Fu)));
            i++;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string AnsiOfWide(const std::u16string &wide, bool *lossy)
{
    std::string out;
    bool unspelled = false;
    for (char16_t c : wide) {
        if (c < 0x100) {
            out.push_back((char)c);
        } else if (c == 0x141 || c == 0x142) {
            out.push_back(c == 0x141 ? 'L' : 'l'); /* best fit, not reported */
        } else {
            out.push_back('?');
            unspelled = true;
        }
    }
    if (lossy != nullptr)
        *lossy = unspelled;
    return out;
}

void SetShortPath(const std::string &long_path, const std::string &short_path)
{
    M().short_paths[Lower(Wide(long_path))] = short_path;
}

std::string AnsiOf(const std::string &utf8)
{
    return AnsiOfWide(Wide(utf8));
}

std::string Narrow(LPCWSTR ascii)
{
    std::string out;
    while (*ascii != 0)
        out.push_back((char)*ascii++);
    return out;
}

std::string Utf16(const std::string &utf8)
{
    std::u16string wide = Wide(utf8);
    return std::string((const char *)wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
}

/* As on Windows XP: a path that does not fit is cut to size characters, unterminated. */
static DWORD SimGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size)
{
    if (Failing("GetModuleFileNameW"))
        return 0;
    return CopyOut(Wide(M().module_path), buffer, size, true);
}

static DWORD SimGetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size)
{
    if (Failing("GetEnvironmentVariableW"))
        return 0;
    auto it = M().env.find(Lower(Narrow(name)));
    if (it == M().env.end())
        return 0;
    return CopyOut(Wide(it->second), buffer, size);
}

static DWORD SimGetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD size)
{
    if (Failing("GetShortPathNameW")) /* its error tells the launcher whether a path is missing */
        return 0;
    std::u16string path(long_path);
    auto it = M().short_paths.find(Lower(path));
    if (it == M().short_paths.end() && !Exists(AnsiOfWide(path))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return CopyOut(it == M().short_paths.end() ? path : Wide(it->second), short_path, size);
}

} // namespace hw

/* A terminated string (a length of -1: the terminator converted too) or wide_len characters;
** answers the bytes written, or 0 when they do not fit. */
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_len, LPSTR ansi,
                        int size, LPCSTR dflt, BOOL *used_default)
{
    bool lossy;
    long error = ERROR_INVALID_PARAMETER;
    if (hw::Failing("WideCharToMultiByte", &error) || code_page != CP_ACP || flags != 0 ||
        wide_len < -1 || dflt != nullptr) {
        hw::SetLastError((DWORD)error);
        return 0;
    }
    size_t length = wide_len < 0 ? std::char_traits<char16_t>::length(wide) + 1 : wide_len;
    std::string out = hw::AnsiOfWide(std::u16string(wide, length), &lossy);
    if (used_default != nullptr)
        *used_default = lossy;
    if ((int)out.size() > size) {
        hw::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(ansi, out.data(), out.size());
    return (int)out.size();
}

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR ansi, int ansi_len, LPWSTR wide,
                        int size)
{
    using hw::Failing;
    if (Failing("MultiByteToWideChar") || code_page != CP_ACP || flags != 0 || ansi_len != -1)
        return 0;
    size_t n = strlen(ansi);
    if ((int)n + 1 > size)
        return 0;
    for (size_t i = 0; i <= n; i++)
        wide[i] = (unsigned char)ansi[i];
    return (int)n + 1;
}

namespace hw
{

/* The window station is a fixed handle; the launcher must not close it. */
static HWINSTA SimGetProcessWindowStation(void)
{
    if (Failing("GetProcessWindowStation"))
        return nullptr;
    return (HWINSTA)(uintptr_t)0x5157;
}

static BOOL SimGetUserObjectInformationA(HANDLE object, int index, void *info, DWORD size,
                                         DWORD *needed)
{
    USEROBJECTFLAGS flags = {M().station_visible ? WSF_VISIBLE : 0};
    if (Failing("GetUserObjectInformationA") || object != (HANDLE)(uintptr_t)0x5157 ||
        index != UOI_FLAGS)
        return FALSE;
    if (needed != nullptr)
        *needed = sizeof flags;
    if (size < sizeof flags)
        return FALSE;
    memcpy(info, &flags, sizeof flags);
    return TRUE;
}

const Call kNameCalls[] = {
    {"GetEnvironmentVariableW", kKernel32, Entry(SimGetEnvironmentVariableW)},
    {"GetModuleFileNameW", kKernel32, Entry(SimGetModuleFileNameW)},
    {"GetProcessWindowStation", kUser32, Entry(SimGetProcessWindowStation)},
    {"GetShortPathNameW", kKernel32, Entry(SimGetShortPathNameW)},
    {"GetUserObjectInformationA", kUser32, Entry(SimGetUserObjectInformationA)},
    {nullptr},
};

} // namespace hw
