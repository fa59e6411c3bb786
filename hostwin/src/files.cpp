/* The simulated disks, in memory, with the C runtime's and kernel32's Windows file semantics:
** names match without regard to letter case and keep the case they were made with, streams
** write CR LF (the launcher writes only text streams), rename never replaces, remove fails on a
** folder, links are followed on the way to a name. */
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <string.h>

#include "machine.h"

namespace hw
{

static Node *Find(const std::string &path)
{
    auto it = M().disk.nodes.find(Lower(path));
    return it == M().disk.nodes.end() ? nullptr : &it->second;
}

static std::string ParentOf(const std::string &path)
{
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

/* path as "C:\a\b": the drive's letter in capitals (a path without one, or relative to a
** drive's current folder as "C:" alone, lies on "_"), the names as given, "." left out; links
** on the way followed, the last name's too where follow is set. A chain of links too long for
** Windows ends where it is. */
static std::string Resolve(const std::string &path, bool follow, int depth = 0)
{
    std::string out = "_", part;
    size_t at = 0;
    if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) {
        out = std::string(1, (char)toupper((unsigned char)path[0])) + ":";
        at = 2;
    }
    for (size_t i = at; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '\\' && path[i] != '/') {
            part += path[i];
            continue;
        }
        if (!part.empty() && part != ".")
            out += "\\" + part;
        part.clear();
        Node *n = Find(out);
        bool last = path.find_first_not_of("\\/", i) == std::string::npos;
        if (n != nullptr && n->kind == Node::Link && (follow || !last) && depth < 32)
            return Resolve(n->target + "\\" + path.substr(std::min(i, path.size())), follow,
                           depth + 1);
    }
    return out;
}

/* The node of path (links followed where follow is set), or null. */
static Node *NodeAt(const std::string &path, bool follow)
{
    return Find(Resolve(path, follow));
}

static bool FolderExists(const std::string &path)
{
    Node *n = Find(path);
    return n != nullptr && n->kind == Node::Folder;
}

/* A resolved path whose folder exists, its folders' names as they were made, its own as given. */
static std::string AsMade(const std::string &resolved)
{
    size_t slash = resolved.rfind('\\');
    return slash == std::string::npos ? resolved
                                      : Find(ParentOf(resolved))->path + resolved.substr(slash);
}

/* A new node at a resolved path whose folder exists, named as given there. */
static Node *Make(const std::string &resolved, Node::Kind kind)
{
    Disk &disk = M().disk;
    Node n;
    n.kind = kind;
    n.path = AsMade(resolved);
    n.id = disk.next_id++;
    if (kind == Node::File)
        disk.contents[n.id] = "";
    return &(disk.nodes[Lower(resolved)] = n);
}

static void MakeFolders(const std::string &resolved)
{
    if (resolved.find('\\') != std::string::npos)
        MakeFolders(ParentOf(resolved));
    if (Find(resolved) == nullptr)
        Make(resolved, Node::Folder);
}

/* Where a test puts a name: its folders made first. */
static std::string Place(const std::string &path)
{
    std::string resolved = Resolve(path, true);
    MakeFolders(ParentOf(resolved));
    return resolved;
}

void WriteFile(const std::string &windows_path, const std::string &bytes)
{
    std::string resolved = Place(windows_path);
    Node *n = Find(resolved);
    M().disk.contents[(n != nullptr ? n : Make(resolved, Node::File))->id] = bytes;
}

void MakeDir(const std::string &windows_path)
{
    MakeFolders(Resolve(windows_path, true));
}

static bool HasChildren(const std::string &resolved)
{
    std::string prefix = Lower(resolved) + "\\";
    auto it = M().disk.nodes.lower_bound(prefix);
    return it != M().disk.nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

void RemoveFile(const std::string &windows_path)
{
    std::string resolved = Resolve(windows_path, false);
    Node *n = Find(resolved);
    if (n != nullptr && !HasChildren(resolved))
        M().disk.nodes.erase(Lower(resolved));
}

bool Exists(const std::string &windows_path)
{
    return NodeAt(windows_path, true) != nullptr;
}

std::string ReadFile(const std::string &windows_path)
{
    Node *n = NodeAt(windows_path, true);
    return n != nullptr && n->kind == Node::File ? M().disk.contents[n->id] : "";
}

void HardLink(const std::string &target, const std::string &link_path)
{
    Node *t = NodeAt(target, true);
    std::string resolved = Place(link_path);
    if (t != nullptr && t->kind == Node::File && Find(resolved) == nullptr)
        Make(resolved, Node::File)->id = t->id;
}

void SymLink(const std::string &target, const std::string &link_path, bool object_manager)
{
    std::string resolved = Place(link_path);
    if (Find(resolved) == nullptr) {
        Node *n = Make(resolved, Node::Link);
        n->target = target;
        n->object_manager = object_manager;
    }
}

/* Writes bytes at the stream's place in its file, or at the end for an append. */
static void Put(Stream &s, const std::string &bytes)
{
    std::string &content = M().disk.contents[s.id];
    if (s.append)
        s.pos = content.size();
    if (content.size() < s.pos + bytes.size())
        content.resize(s.pos + bytes.size());
    content.replace(s.pos, bytes.size(), bytes);
    s.pos += bytes.size();
}

void CloseAllStreams()
{
    for (auto &s : M().streams)
        Put(s.second, s.second.pending);
    M().streams.clear();
}

static FILE *NewStream(const Stream &s)
{
    FILE *fp = (FILE *)M().next_handle;
    M().next_handle += 4;
    M().streams[fp] = s;
    return fp;
}

/* Moves the node at from (a resolved path) to the resolved path to, whose folder exists. */
static void Move(const std::string &from, const std::string &to)
{
    Node n = *Find(from);
    M().disk.nodes.erase(Lower(from));
    n.path = AsMade(to);
    M().disk.nodes[Lower(to)] = n;
}

bool IsFile(const std::string &windows_path)
{
    Node *n = NodeAt(windows_path, true);
    return n != nullptr && n->kind == Node::File;
}

} // namespace hw

using hw::M;
using hw::Node;

/* Names with wildcards are invalid; a missing file in an existing folder is not found, one in a
** missing folder is a path not found. */
DWORD GetFileAttributesA(LPCSTR path)
{
    if (hw::Failing("GetFileAttributesA", nullptr, path))
        return INVALID_FILE_ATTRIBUTES;
    if (strpbrk(path, "?*") != nullptr) {
        hw::SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string resolved = hw::Resolve(path, true);
    if (Node *n = hw::Find(resolved))
        return n->kind == Node::Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    hw::SetLastError(hw::FolderExists(hw::ParentOf(resolved)) ? ERROR_FILE_NOT_FOUND
                                                              : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
}

/* The runtime's full buffer: what is written reaches the file by 4096 bytes, and at close. */
#define STREAM_BUFFER_SIZE 4096

/* The launcher opens by name only to read ("rb"): what it writes, it makes by handle. */
FILE *hw_fopen(const char *path, const char *mode)
{
    Node *n = hw::NodeAt(path, true);
    if (hw::Failing("fopen", nullptr, path) || n == nullptr || n->kind != Node::File ||
        strcmp(mode, "rb") != 0)
        return nullptr;
    return hw::NewStream(hw::Stream{path, n->id, 0, false, ""});
}

int hw_fclose(FILE *fp)
{
    hw::Failing("fclose");
    auto it = M().streams.find(fp);
    hw::Put(it->second, it->second.pending);
    M().streams.erase(it);
    hw::FilesChanged(); /* what the buffer held reached the file */
    return 0;
}

int hw_fflush(FILE *fp)
{
    auto it = M().streams.find(fp);
    if (hw::Failing("fflush") || it == M().streams.end())
        return EOF;
    hw::Put(it->second, it->second.pending);
    it->second.pending.clear();
    hw::FilesChanged();
    return 0;
}

size_t hw_fwrite(const void *data, size_t size, size_t count, FILE *fp)
{
    auto it = M().streams.find(fp);
    std::string bytes((const char *)data, size * count);
    if (hw::Failing("fwrite") || it == M().streams.end())
        return 0;
    hw::Stream &s = it->second;
    M().events.push_back({hw::Event::Write, s.windows_path, bytes, "", 0, false});
    for (char c : bytes) {
        if (c == '\n')
            s.pending += '\r';
        s.pending += c;
    }
    size_t full = s.pending.size() - s.pending.size() % STREAM_BUFFER_SIZE;
    hw::Put(s, s.pending.substr(0, full));
    s.pending.erase(0, full);
    return size == 0 ? 0 : count;
}

/* Bytes as they are: the launcher reads its files in binary mode. */
size_t hw_fread(void *data, size_t size, size_t count, FILE *fp)
{
    auto it = M().streams.find(fp);
    if (hw::Failing("fread") || size == 0 || it == M().streams.end())
        return 0;
    hw::Stream &s = it->second;
    const std::string &content = M().disk.contents[s.id];
    size_t got = s.pos < content.size() ? std::min(size * count, content.size() - s.pos) : 0;
    memcpy(data, content.data() + s.pos, got);
    s.pos += got;
    return got / size;
}

int hw_vfprintf(FILE *fp, const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text((size_t)n + 1, '\0');
    vsnprintf(&text[0], text.size(), fmt, ap);
    text.resize((size_t)n);
    return hw_fwrite(text.data(), 1, text.size(), fp) == text.size() ? n : -1;
}

/* A link goes, its target stays; a name whose target is missing or a folder stays. */
int hw_remove(const char *path)
{
    if (hw::Failing("remove", nullptr, path))
        return -1;
    Node *n = hw::NodeAt(path, true);
    if (n == nullptr || n->kind == Node::Folder)
        return -1;
    M().disk.nodes.erase(hw::Lower(hw::Resolve(path, false)));
    hw::FilesChanged();
    return 0;
}

static int Rename(const char *from, const char *to)
{
    std::string source = hw::Resolve(from, false), target = hw::Resolve(to, false);
    Node *n = hw::NodeAt(from, true);
    if (n == nullptr || n->kind == Node::Folder || hw::Find(target) != nullptr ||
        !hw::FolderExists(hw::ParentOf(target)))
        return -1;
    hw::Move(source, target);
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
    if (hw::Failing("MoveFileExA", nullptr, from) || Rename(from, to) != 0)
        return FALSE;
    if (flags & MOVEFILE_WRITE_THROUGH)
        hw::FilesFlushed();
    return TRUE;
}

/* --- files by handle ---------------------------------------------------------------------- */

namespace hw
{

/* Whether an open with access and share may stand beside each handle open on the resolved path,
** the launcher's and other processes': each must let the other do what it asks to. */
static bool MayShare(const std::string &resolved, DWORD access, DWORD share)
{
    auto refuses = [](DWORD asked, DWORD let) {
        return ((asked & GENERIC_READ) && !(let & FILE_SHARE_READ)) ||
               ((asked & GENERIC_WRITE) && !(let & FILE_SHARE_WRITE)) ||
               ((asked & DELETE) && !(let & FILE_SHARE_DELETE));
    };
    std::vector<const Object *> open;
    for (auto &o : M().objects)
        open.push_back(&o.second);
    for (auto &o : M().opened_elsewhere)
        open.push_back(&o);
    for (const Object *o : open)
        if (o->kind == Object::File && Lower(o->path) == Lower(resolved) &&
            (refuses(access, o->share) || refuses(o->access, share)))
            return false;
    return true;
}

bool OpenElsewhere(const std::string &path, DWORD access, DWORD share)
{
    Object o{};
    o.kind = Object::File;
    o.path = Resolve(path, true);
    o.access = access;
    o.share = share;
    if (!MayShare(o.path, access, share))
        return false;
    M().opened_elsewhere.push_back(o);
    return true;
}

} // namespace hw

/* CREATE_NEW fails on anything at the path, a link whose target is missing too; a link is
** followed unless FILE_FLAG_OPEN_REPARSE_POINT asks for the link itself, which then reports
** FILE_ATTRIBUTE_REPARSE_POINT (an object-manager link is followed all the same). A folder
** opens only with FILE_FLAG_BACKUP_SEMANTICS. An open that a handle open on the file refuses
** fails (a sharing violation). Only what the launcher asks for is served: read, write and
** delete access, a folder to look at. */
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES *, DWORD disposition,
                   DWORD flags, HANDLE)
{
    hw::Object o{};
    std::string given = path;
    if (flags & FILE_FLAG_OPEN_REPARSE_POINT)
        given += " (the link itself)";
    if (hw::Failing("CreateFileA", nullptr, given.c_str()) ||
        (access & ~(GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE | FILE_TRAVERSE |
                    FILE_ADD_FILE)) != 0)
        return INVALID_HANDLE_VALUE;
    std::string name = hw::Resolve(path, false), followed = hw::Resolve(path, true);
    Node *link = hw::Find(name), *n = hw::Find(followed);
    hw::SetLastError(link != nullptr ? ERROR_ALREADY_EXISTS : 0);
    o.kind = hw::Object::File;
    o.name = path;
    o.attributes = FILE_ATTRIBUTE_NORMAL;
    bool folder = n != nullptr && n->kind == Node::Folder;
    if (folder != !!(flags & FILE_FLAG_BACKUP_SEMANTICS))
        return INVALID_HANDLE_VALUE;
    if (link != nullptr && link->kind == Node::Link && (flags & FILE_FLAG_OPEN_REPARSE_POINT) &&
        disposition != CREATE_NEW && !link->object_manager) {
        o.path = name;
        o.attributes = FILE_ATTRIBUTE_REPARSE_POINT;
    } else if (n != nullptr && disposition != CREATE_NEW) {
        o.path = followed;
    } else if ((disposition == CREATE_NEW && link == nullptr) ||
               (disposition == OPEN_ALWAYS && n == nullptr)) {
        if (!(access & GENERIC_WRITE) || !hw::FolderExists(hw::ParentOf(followed)))
            return INVALID_HANDLE_VALUE;
        hw::Make(followed, Node::File);
        o.path = followed;
        hw::SetLastError(0); /* made new, also where a link named it */
        hw::FilesChanged();
    } else {
        return INVALID_HANDLE_VALUE;
    }
    if (!hw::MayShare(o.path, access, share))
        return INVALID_HANDLE_VALUE;
    o.access = access;
    o.share = share;
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

/* The node behind a file handle, or null when the handle is no file or its name is gone. */
static Node *NodeOf(HANDLE handle)
{
    Object *o = FindObject(handle, Object::File);
    return o == nullptr ? nullptr : Find(o->path);
}

/* kernel32's GetFinalPathNameByHandleW (Vista on): "\\?\" and the path where the file really
** lies, each byte of a name a character as for the other wide calls, the names as they were
** made. */
static DWORD SimGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    Node *n = NodeOf(file);
    if (Failing("GetFinalPathNameByHandleW") || n == nullptr || flags != 0)
        return 0;
    std::u16string final = u"\\\\?\\";
    for (unsigned char c : n->path)
        final += c;
    if (n->path.find('\\') == std::string::npos)
        final += u'\\'; /* a drive's root ends with its backslash */
    return CopyOut(final, path, size);
}

/* ntdll's NtSetInformationFile for the two classes the launcher uses: a deletion (done at once,
** as it would be at the handle's close) and a rename relative to a folder's handle, which never
** replaces a name in any case. */
static LONG SimNtSetInformationFile(HANDLE file, void *, void *info, ULONG size, int info_class)
{
    struct RenameTo {
        BOOLEAN replace;
        HANDLE root;
        ULONG name_size;
        WCHAR name[1];
    };
    const LONG denied = (LONG)0xC0000022L, collision = (LONG)0xC0000035L;
    Object *o = FindObject(file, Object::File);
    Node *n = NodeOf(file);
    if (Failing("NtSetInformationFile", nullptr, o ? o->name.c_str() : nullptr) || n == nullptr ||
        n->kind == Node::Folder)
        return denied;
    if (info_class == 13 && size >= 1 && *(BOOLEAN *)info) {
        M().disk.nodes.erase(Lower(o->path));
    } else {
        const RenameTo *to = (const RenameTo *)info;
        Node *folder = NodeOf(to->root);
        std::string name;
        if (info_class != 10 || to->replace || folder == nullptr || folder->kind != Node::Folder)
            return denied;
        for (ULONG i = 0; i < to->name_size / sizeof(WCHAR); i++)
            name += (char)to->name[i];
        std::string target = folder->path + "\\" + name;
        if (Find(target) != nullptr)
            return collision;
        Move(o->path, target);
        o->path = target;
    }
    FilesChanged();
    return 0;
}

const Call kFileCalls[] = {
    {"GetFinalPathNameByHandleW", kKernel32, Entry(SimGetFinalPathNameByHandleW), true},
    {"NtSetInformationFile", "ntdll.dll", Entry(SimNtSetInformationFile)},
    {nullptr},
};

} // namespace hw

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    hw::Object *o = hw::FindObject(file, hw::Object::File);
    Node *n = hw::NodeOf(file);
    if (hw::Failing("GetFileInformationByHandle") || n == nullptr)
        return FALSE;
    memset(info, 0, sizeof *info);
    info->dwFileAttributes = o->attributes;
    for (auto &other : M().disk.nodes)
        info->nNumberOfLinks += other.second.id == n->id;
    return TRUE;
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD size, DWORD *read, void *)
{
    hw::Object *o = hw::FindObject(file, hw::Object::File);
    Node *n = hw::NodeOf(file);
    *read = 0;
    if (hw::Failing("ReadFile") || n == nullptr || n->kind != Node::File ||
        !(o->access & GENERIC_READ))
        return FALSE;
    const std::string &content = M().disk.contents[n->id];
    size_t got = o->pos < content.size() ? std::min<size_t>(size, content.size() - o->pos) : 0;
    memcpy(buffer, content.data() + o->pos, got);
    o->pos += got;
    *read = (DWORD)got;
    return TRUE;
}

/* The descriptor takes the handle over: closing the descriptor closes it. */
intptr_t _open_osfhandle(intptr_t handle, int flags)
{
    hw::Object *o = hw::FindObject((HANDLE)handle, hw::Object::File);
    Node *n = hw::NodeOf((HANDLE)handle);
    if (hw::Failing("_open_osfhandle") || n == nullptr || n->kind != Node::File)
        return -1;
    int fd = M().next_fd++;
    M().fds[fd] = hw::Stream{o->name, n->id, 0, (flags & _O_APPEND) != 0, ""};
    hw::DropObject((HANDLE)handle);
    return fd;
}

int _close(int fd)
{
    return M().fds.erase(fd) == 0 ? -1 : 0;
}

/* A stream over a descriptor of _open_osfhandle: the launcher's are text streams, appending
** where the descriptor does. */
FILE *hw__fdopen(int fd, const char *)
{
    auto it = M().fds.find(fd);
    if (hw::Failing("_fdopen") || it == M().fds.end())
        return nullptr;
    hw::Stream s = it->second;
    M().fds.erase(it);
    return hw::NewStream(s);
}
