/* SplitPath, ComposePath, MakeBackupLogPath and MakeStashRecordPath, in the single-byte code
** page and in code page 932.
**
** Input: two little-endian 16-bit sizes (each taken modulo 600: the destination sizes for
** ComposePath and for the two setup log names), then path, and optionally "\0" name "\0" ext.
** Every string and every destination is a heap block of exact size. */
#include "fuzz_common.h"

#include "installrecord/setuplog.h"
#include "launcher/paths.h"

static bool IsSep(unsigned char c)
{
    return c == '\\' || c == '/';
}

/* The last character of s, a double-byte character counting as one (0 for it): the rule
** that decides whether ComposePath adds a backslash. */
static unsigned char LastCharModel(const std::string &s)
{
    unsigned char last = 0;
    for (size_t i = 0; i < s.size();) {
        if (Lead((unsigned char)s[i]) && i + 1 < s.size()) {
            last = 0;
            i += 2;
        } else {
            last = (unsigned char)s[i++];
        }
    }
    return last;
}

static char *Heap(const std::string &s)
{
    char *p = (char *)malloc(s.size() + 1);
    memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

/* A destination of exactly size bytes. AddressSanitizer gives malloc(0) one byte, so a
** destination of 0 bytes is the end of a 1-byte block: any write to it is out of bounds. */
struct Dest {
    char *block, *dest;
    explicit Dest(size_t size)
    {
        block = (char *)malloc(size > 0 ? size : 1);
        dest = size > 0 ? block : block + 1;
        memset(block, 0x7F, size > 0 ? size : 1);
    }
    ~Dest()
    {
        free(block);
    }
};

struct Split {
    std::string drive, dir;
};

static Split CheckedSplit(const std::string &path)
{
    char *p = Heap(path);
    char *drive = (char *)malloc(DRIVE_SIZE);
    char *dir = (char *)malloc(DIR_SIZE);
    memset(drive, 0x7F, DRIVE_SIZE);
    memset(dir, 0x7F, DIR_SIZE);
    SplitPath(p, drive, dir);
    FUZZ_CHECK(memchr(drive, '\0', DRIVE_SIZE) != nullptr);
    FUZZ_CHECK(memchr(dir, '\0', DIR_SIZE) != nullptr);
    Split out{drive, dir};
    free(p);
    free(drive);
    free(dir);

    bool has_drive = path.size() >= 2 && path[1] == ':';
    FUZZ_CHECK(out.drive == (has_drive ? path.substr(0, 2) : std::string()));
    std::string rest = has_drive ? path.substr(2) : path;
    /* The directory: up to and including the last separator that is no trail byte, cut to
    ** 255 characters. */
    size_t dir_end = 0;
    for (size_t i = 0; i < rest.size();) {
        if (Lead((unsigned char)rest[i]) && i + 1 < rest.size()) {
            i += 2;
            continue;
        }
        if (IsSep((unsigned char)rest[i]))
            dir_end = i + 1;
        i++;
    }
    FUZZ_CHECK(out.dir == rest.substr(0, dir_end < DIR_SIZE - 1 ? dir_end : DIR_SIZE - 1));
    return out;
}

/* ComposePath into an exact-size destination; checks the result against the rule of the
** header and returns it ("" on failure). */
static bool CheckedCompose(size_t size, const std::string &drive, const std::string &dir,
                           const std::string &name, const std::string &ext, std::string *out)
{
    std::string want;
    if (!drive.empty())
        want += std::string(1, drive[0]) + ":";
    if (!dir.empty()) {
        want += dir;
        if (!IsSep(LastCharModel(dir)))
            want += "\\";
    }
    want += name;
    if (!ext.empty()) {
        if (ext[0] != '.')
            want += ".";
        want += ext;
    }

    char *d = Heap(drive), *di = Heap(dir), *n = Heap(name), *e = Heap(ext);
    Dest out_block(size);
    char *dest = out_block.dest;
    int ok = ComposePath(dest, size, d, di, n, e);
    /* It fits exactly when the result and its terminator do; otherwise dest is emptied. */
    FUZZ_CHECK(ok == (want.size() < size ? 1 : 0));
    if (ok)
        FUZZ_CHECK(std::string(dest) == want);
    else if (size > 0)
        FUZZ_CHECK(dest[0] == '\0');
    *out = ok ? std::string(dest) : std::string();
    free(d);
    free(di);
    free(n);
    free(e);
    return ok != 0;
}

static void CheckLogNames(size_t size, const std::string &log)
{
    char *l = Heap(log);
    Dest out_block(size);
    char *dest = out_block.dest;

    int ok = MakeBackupLogPath(dest, size, l);
    FUZZ_CHECK(ok == (log.size() >= 2 && log.size() < size ? 1 : 0));
    if (ok) {
        std::string want = log;
        want[want.size() - 2] = '_';
        FUZZ_CHECK(std::string(dest) == want);
    }

    static const std::string log_name = "setup.zmf", record_name = "uninst.dat";
    bool named = log.size() >= log_name.size() &&
                 log.compare(log.size() - log_name.size(), log_name.size(), log_name) == 0;
    std::string want = named ? log.substr(0, log.size() - log_name.size()) + record_name : "";
    ok = MakeStashRecordPath(dest, size, l);
    FUZZ_CHECK(ok == (named && want.size() < size ? 1 : 0));
    if (ok)
        FUZZ_CHECK(std::string(dest) == want);
    else if (size > 0)
        FUZZ_CHECK(dest[0] == '\0');
    free(l);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        hw::Reset(FuzzSandbox("paths"));
        ready = true;
    }
    if (size < 4)
        return 0;
    size_t compose_size = (size_t)(data[0] | data[1] << 8) % 600;
    size_t log_size = (size_t)(data[2] | data[3] << 8) % 600;
    std::string rest((const char *)data + 4, size - 4);
    std::string parts[3];
    for (int i = 0; i < 3; i++) {
        size_t nul = rest.find('\0');
        parts[i] = rest.substr(0, nul);
        if (nul == std::string::npos)
            break;
        rest = rest.substr(nul + 1);
    }
    const std::string &path = parts[0], &name = parts[1], &ext = parts[2];

    for (int code_page : {0, 932}) {
        hw::SetCodePage(code_page);
        Split s = CheckedSplit(path);
        std::string composed;
        if (CheckedCompose(compose_size, s.drive, s.dir, name, ext, &composed) &&
            name.find_first_of("\\/:") == std::string::npos &&
            ext.find_first_of("\\/:") == std::string::npos && s.dir.size() < DIR_SIZE - 1) {
            /* (A directory cut to 255 characters has lost its end: no round trip.) */
            /* A name and an extension without separators leave drive and directory as
            ** they were split (the directory with the backslash that composing added). */
            Split again = CheckedSplit(composed);
            FUZZ_CHECK(again.drive == s.drive);
            std::string dir = s.dir.empty() || IsSep(LastCharModel(s.dir)) ? s.dir : s.dir + "\\";
            FUZZ_CHECK(again.dir == dir.substr(0, DIR_SIZE - 1));
        }
        /* The data tag and engine paths as WinMain composes them. */
        CheckedCompose(MAX_PATH, s.drive, s.dir, "data", "tag", &composed);
        CheckedCompose(MAX_PATH, s.drive, s.dir, "bv_setup", "exe", &composed);
        CheckLogNames(log_size, path);
    }
    return 0;
}
