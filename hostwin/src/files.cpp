/* The C runtime's Windows file semantics over a sandbox folder: "C:\a\b" lives at
** <sandbox>/C/a/b, names match without regard to letter case, text-mode streams write CR LF,
** rename never replaces, remove fails on a directory or an open file. */
#include <dirent.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <stdarg.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "machine.h"

namespace hw
{

/* Finds the entry of dir whose name equals name without regard to ASCII case. */
static std::string MatchEntry(const std::string &dir, const std::string &name)
{
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) == 0) /* a folder holds no two names of one case */
        return name;
    std::string want = Lower(name);
    DIR *d = opendir(dir.c_str());
    std::string found = name;
    if (d == nullptr)
        return found;
    while (struct dirent *e = readdir(d)) {
        if (Lower(e->d_name) == want) {
            found = e->d_name;
            break;
        }
    }
    closedir(d);
    return found;
}

std::string HostPath(const std::string &windows_path)
{
    std::string rest = windows_path;
    std::string host = M().sandbox;
    if (rest.size() >= 2 && rest[1] == ':') {
        host += "/" + std::string(1, (char)toupper((unsigned char)rest[0]));
        rest = rest.substr(2);
    } else {
        host += "/_relative";
    }
    std::string part;
    for (size_t i = 0; i <= rest.size(); i++) {
        if (i == rest.size() || rest[i] == '\\' || rest[i] == '/') {
            if (!part.empty())
                host += "/" + MatchEntry(host, part);
            part.clear();
        } else {
            part += rest[i];
        }
    }
    return host;
}

static void MakeParents(const std::string &host_path)
{
    std::filesystem::create_directories(std::filesystem::path(host_path).parent_path());
}

void WriteFile(const std::string &windows_path, const std::string &bytes)
{
    std::string host = HostPath(windows_path);
    MakeParents(host);
    std::ofstream(host, std::ios::binary) << bytes;
}

void MakeDir(const std::string &windows_path)
{
    std::filesystem::create_directories(HostPath(windows_path));
}

void RemoveFile(const std::string &windows_path)
{
    std::remove(HostPath(windows_path).c_str());
}

bool Exists(const std::string &windows_path)
{
    struct stat st;
    return stat(HostPath(windows_path).c_str(), &st) == 0;
}

std::string ReadFile(const std::string &windows_path)
{
    std::ifstream in(HostPath(windows_path), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int OpenStreamCount()
{
    return (int)M().streams.size();
}

void CloseAllStreams()
{
    for (auto &s : M().streams)
        ::fclose(s.first);
    M().streams.clear();
}

void DiscardAllStreams()
{
    for (auto &s : M().streams) {
        __fpurge(s.first);
        ::fclose(s.first);
    }
    M().streams.clear();
}

static bool IsOpen(const std::string &host_path)
{
    for (auto &s : M().streams)
        if (s.second.host_path == host_path)
            return true;
    return false;
}

} // namespace hw

using hw::M;

/* Names with wildcards are invalid; a missing file in an existing folder is not found, one in a
** missing folder is a path not found. */
DWORD GetFileAttributesA(LPCSTR path)
{
    long error = 0;
    struct stat st;
    if (hw::Failing("GetFileAttributesA", &error, path)) {
        SetLastError((DWORD)error);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string host = hw::HostPath(path);
    if (strpbrk(path, "?*") != nullptr) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (stat(host.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    std::string parent = std::filesystem::path(host).parent_path();
    SetLastError(stat(parent.c_str(), &st) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
}

/* The runtime's full buffer: lines reach the file by 4096 bytes, at close and at exit. */
#define STREAM_BUFFER_SIZE 4096

FILE *hw_fopen(const char *path, const char *mode)
{
    std::string m = mode;
    bool text = m.find('b') == std::string::npos;
    if (hw::Failing("fopen", nullptr, path))
        return nullptr;
    std::string host = hw::HostPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return nullptr;
    if (text)
        m += "b";
    FILE *fp = ::fopen(host.c_str(), m.c_str());
    if (fp == nullptr)
        return nullptr;
    setvbuf(fp, nullptr, _IOFBF, STREAM_BUFFER_SIZE);
    M().streams[fp] = hw::Stream{path, host, text};
    return fp;
}

int hw_fclose(FILE *fp)
{
    hw::Failing("fclose");
    M().streams.erase(fp);
    int rc = ::fclose(fp);
    hw::FilesChanged(); /* what the buffer held reached the file */
    return rc;
}

size_t hw_fwrite(const void *data, size_t size, size_t count, FILE *fp)
{
    auto it = M().streams.find(fp);
    std::string bytes((const char *)data, size * count);
    if (hw::Failing("fwrite"))
        return 0;
    if (it != M().streams.end()) {
        M().events.push_back({hw::Event::Write, it->second.windows_path, bytes, "", 0, false});
        if (it->second.text) {
            std::string out;
            for (char c : bytes) {
                if (c == '\n')
                    out += '\r';
                out += c;
            }
            bytes = out;
        }
    }
    size_t written = ::fwrite(bytes.data(), 1, bytes.size(), fp);
    return size == 0 || written != bytes.size() ? 0 : count;
}

size_t hw_fread(void *data, size_t size, size_t count, FILE *fp)
{
    auto it = M().streams.find(fp);
    if (hw::Failing("fread") || size == 0)
        return 0;
    size_t want = size * count, got = 0;
    char *out = (char *)data;
    bool text = it != M().streams.end() && it->second.text;
    while (got < want) {
        int c = ::fgetc(fp);
        if (c == EOF)
            break;
        if (text && c == '\r') {
            int next = ::fgetc(fp);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                ::ungetc(next, fp);
        }
        out[got++] = (char)c;
    }
    return got / size;
}

int hw_vfprintf(FILE *fp, const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0)
        return n;
    std::string text((size_t)n + 1, '\0');
    vsnprintf(&text[0], text.size(), fmt, ap);
    text.resize((size_t)n);
    return hw_fwrite(text.data(), 1, text.size(), fp) == text.size() ? n : -1;
}

int hw_remove(const char *path)
{
    struct stat st;
    if (hw::Failing("remove", nullptr, path))
        return -1;
    std::string host = hw::HostPath(path);
    if (stat(host.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || hw::IsOpen(host) ||
        ::unlink(host.c_str()) != 0)
        return -1;
    hw::FilesChanged();
    return 0;
}

static int Rename(const char *from, const char *to)
{
    struct stat st;
    std::string host_from = hw::HostPath(from), host_to = hw::HostPath(to);
    if (stat(host_from.c_str(), &st) != 0 || stat(host_to.c_str(), &st) == 0 ||
        hw::IsOpen(host_from) || ::rename(host_from.c_str(), host_to.c_str()) != 0)
        return -1;
    hw::FilesChanged();
    return 0;
}

int hw_rename(const char *from, const char *to)
{
    if (hw::Failing("rename", nullptr, from))
        return -1;
    return Rename(from, to);
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    if (hw::Failing("MoveFileExA", nullptr, from) || (M().version & 0x80000000u) ||
        Rename(from, to) != 0)
        return FALSE;
    if (flags & MOVEFILE_WRITE_THROUGH)
        hw::FilesFlushed();
    return TRUE;
}

/* --- files by handle ---------------------------------------------------------------------- */

namespace hw
{

void HardLink(const std::string &target, const std::string &link_path)
{
    std::string host = HostPath(link_path);
    MakeParents(host);
    ::link(HostPath(target).c_str(), host.c_str());
}

void SymLink(const std::string &target, const std::string &link_path)
{
    std::string host = HostPath(link_path);
    MakeParents(host);
    ::symlink(HostPath(target).c_str(), host.c_str());
}

void ObjectManagerLink(const std::string &target, const std::string &link_path)
{
    SymLink(target, link_path);
    M().object_manager_links.insert(HostPath(link_path));
}

std::vector<DWORD> CreateFileFlags()
{
    return M().create_file_flags;
}

int OpenFileCount()
{
    int n = (int)M().osf_fds.size();
    for (auto &o : M().objects)
        n += o.second.kind == Object::File;
    return n;
}

} // namespace hw

/* CREATE_NEW fails on anything at the path, a dangling link too; a symbolic link is followed
** unless FILE_FLAG_OPEN_REPARSE_POINT asks for the link itself, which then reports
** FILE_ATTRIBUTE_REPARSE_POINT. A folder opens only with FILE_FLAG_BACKUP_SEMANTICS, a file
** with DELETE access not while a stream has it open (its sharing allows no delete). Only what
** the launcher asks for is served: write access, delete access, a folder to look at. */
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES *attrs,
                   DWORD disposition, DWORD flags, HANDLE template_file)
{
    struct stat st;
    hw::Object o{};
    (void)share;
    (void)attrs;
    (void)template_file;
    M().create_file_flags.push_back(flags);
    if (hw::Failing("CreateFileA", nullptr, path) ||
        (access & ~(GENERIC_WRITE | DELETE | SYNCHRONIZE | FILE_TRAVERSE | FILE_ADD_FILE)) != 0)
        return INVALID_HANDLE_VALUE;
    std::string host = hw::HostPath(path);
    bool exists = lstat(host.c_str(), &st) == 0;
    bool folder = exists && stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    SetLastError(exists ? ERROR_ALREADY_EXISTS : 0);
    o.kind = hw::Object::File;
    o.name = path;
    o.attributes = FILE_ATTRIBUTE_NORMAL;
    if (folder != !!(flags & FILE_FLAG_BACKUP_SEMANTICS) ||
        ((access & DELETE) && hw::IsOpen(host))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        (flags & FILE_FLAG_OPEN_REPARSE_POINT) && disposition != CREATE_NEW &&
        !M().object_manager_links.count(host)) {
        o.fd = ::open(host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        o.attributes = FILE_ATTRIBUTE_REPARSE_POINT;
    } else if (!(access & GENERIC_WRITE)) {
        o.fd = disposition == OPEN_EXISTING ? ::open(host.c_str(), O_PATH | O_CLOEXEC) : -1;
    } else {
        int oflags = O_WRONLY | O_CLOEXEC;
        if (disposition == CREATE_NEW)
            oflags |= O_CREAT | O_EXCL;
        else if (disposition == OPEN_ALWAYS)
            oflags |= O_CREAT;
        o.fd = ::open(host.c_str(), oflags, 0644);
    }
    if (o.fd < 0)
        return INVALID_HANDLE_VALUE;
    if (!exists)
        hw::FilesChanged();
    o.access = access;
    return (HANDLE)hw::NewObject(o);
}

BOOL FlushFileBuffers(HANDLE file)
{
    hw::Object *o = hw::FindObject(file, hw::Object::File);
    if (hw::Failing("FlushFileBuffers") || o == nullptr ||
        !(o->access & (GENERIC_WRITE | FILE_ADD_FILE)))
        return FALSE;
    hw::FilesFlushed();
    return TRUE;
}

namespace hw
{

/* Where the file behind handle really lies on the host: links on its way resolved, a link
** opened as itself named by its own path. "" when the handle is no file. */
static std::string RealHostPath(HANDLE handle)
{
    Object *o = FindObject(handle, Object::File);
    char target[4096];
    if (o == nullptr)
        return "";
    ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(o->fd)).c_str(), target, sizeof target - 1);
    return n <= 0 ? "" : std::string(target, (size_t)n);
}

/* kernel32's GetFinalPathNameByHandleW (Vista on): "\\?\" and the drive path where the file
** really lies, each byte of a name a character as for the other wide calls, the folders' names
** as they are on disk. */
DWORD SimGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    std::string real = RealHostPath(file);
    std::string sandbox = std::filesystem::canonical(M().sandbox).string();
    long error = 0;
    if (Failing("GetFinalPathNameByHandleW", &error) || real.empty() || flags != 0) {
        SetLastError(error ? (DWORD)error : ERROR_INVALID_HANDLE);
        return 0;
    }
    std::string windows = "\\\\?\\";
    if (real.compare(0, sandbox.size() + 3, sandbox + "/C/") == 0 || real == sandbox + "/C") {
        windows += "C:\\" + real.substr(std::min(real.size(), sandbox.size() + 3));
    } else {
        windows += "\\outside" + real; /* no drive path names it */
    }
    for (char &c : windows)
        if (c == '/')
            c = '\\';
    if (windows.size() + 1 > size)
        return (DWORD)windows.size() + 1;
    for (size_t i = 0; i <= windows.size(); i++)
        path[i] = (WCHAR)(unsigned char)windows.c_str()[i];
    return (DWORD)windows.size();
}

/* ntdll's NtSetInformationFile for the two classes the launcher uses: a deletion (done at once,
** as it would be at the handle's close) and a rename relative to a folder's handle, which never
** replaces a name in any case. */
LONG SimNtSetInformationFile(HANDLE file, void *status, void *info, ULONG size, int info_class)
{
    struct RenameTo {
        BOOLEAN replace;
        HANDLE root;
        ULONG name_size;
        WCHAR name[1];
    };
    const LONG denied = (LONG)0xC0000022L, collision = (LONG)0xC0000035L;
    Object *o = FindObject(file, Object::File);
    std::string from = RealHostPath(file);
    (void)status;
    if (Failing("NtSetInformationFile", nullptr, o ? o->name.c_str() : nullptr) || from.empty())
        return denied;
    std::string to_path;
    if (info_class == 13 && size >= 1 && *(BOOLEAN *)info) {
        if (::unlink(from.c_str()) != 0)
            return denied;
    } else {
        const RenameTo *to = (const RenameTo *)info;
        std::string folder = RealHostPath(to->root), name;
        if (info_class != 10 || to->replace || folder.empty())
            return denied;
        for (ULONG i = 0; i < to->name_size / sizeof(WCHAR); i++)
            name += (char)to->name[i];
        struct stat st;
        if (lstat((folder + "/" + MatchEntry(folder, name)).c_str(), &st) == 0)
            return collision;
        if (::rename(from.c_str(), (folder + "/" + name).c_str()) != 0)
            return denied;
    }
    FilesChanged();
    return 0;
}

} // namespace hw

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    struct stat st;
    hw::Object *o = hw::FindObject(file, hw::Object::File);
    if (hw::Failing("GetFileInformationByHandle") || o == nullptr || fstat(o->fd, &st) != 0)
        return FALSE;
    memset(info, 0, sizeof *info);
    info->dwFileAttributes = o->attributes;
    info->nNumberOfLinks = (DWORD)st.st_nlink;
    info->nFileIndexLow = (DWORD)st.st_ino;
    info->nFileSizeLow = (DWORD)st.st_size;
    return TRUE;
}

/* The descriptor takes the handle over: closing the descriptor closes it. */
intptr_t _open_osfhandle(intptr_t handle, int flags)
{
    hw::Object *o = hw::FindObject((HANDLE)handle, hw::Object::File);
    if (hw::Failing("_open_osfhandle") || o == nullptr)
        return -1;
    int fd = o->fd;
    if (flags & _O_APPEND)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_APPEND);
    M().osf_fds[fd] = o->name;
    hw::DropObject((HANDLE)handle);
    return fd;
}

int _close(int fd)
{
    if (M().osf_fds.erase(fd) == 0)
        return -1;
    return ::close(fd);
}

/* A stream over a descriptor of _open_osfhandle, text unless the mode says "b". */
FILE *hw__fdopen(int fd, const char *mode)
{
    auto it = M().osf_fds.find(fd);
    if (hw::Failing("_fdopen") || it == M().osf_fds.end())
        return nullptr;
    std::string m = mode;
    bool text = m.find('b') == std::string::npos;
    FILE *fp = ::fdopen(fd, text ? (m + "b").c_str() : mode);
    if (fp == nullptr)
        return nullptr;
    M().streams[fp] = hw::Stream{it->second, hw::HostPath(it->second), text};
    M().osf_fds.erase(it);
    return fp;
}
