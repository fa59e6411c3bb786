/* The parsers of outside text, in the single-byte code page and in code page 932: argument
** text, the directory cut from an uninstall command, paths split and composed, the names beside
** a setup log. Input: text ["\0" name "\0" ext "\0" d]; name and ext are composed with text's
** drive and directory, and the signed byte d sizes destinations about an exact fit. Strings and
** destinations are exact-size heap blocks (an empty destination none at all): AddressSanitizer
** stops a write past one, or a read of a result that is not terminated inside it. */
#include "fuzz.h"

#include "installrecord/setuplog.h"
#include "installrecord/uninstcmd.h"
#include "launcher/argtext.h"
#include "launcher/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* The stand-in logs each IsDBCSLeadByte: a fresh machine now and then keeps that short. */
    if (hw::CallLog().size() > 1000000)
        hw::Reset(Sandbox());
    const std::string in = std::string((const char *)data, size) + std::string(4, '\0');
    const std::string text = &in[0], name = &in[text.size() + 1],
                      ext = &in[text.size() + name.size() + 2];
    const long d = (signed char)in[text.size() + name.size() + ext.size() + 3];
    auto dest = [d](size_t len) { return std::vector<char>(std::max(0L, (long)len + 1 + d), 1); };
    auto heap = [](const std::string &s) { return std::vector<char>(&s[0], &s[s.size()] + 1); };

    for (int code_page : {0, 932}) {
        hw::SetCodePage(code_page);
        std::vector<char> t = heap(text), n = heap(name), e = heap(ext);

        /* Inside the command line, and on none of the blanks after its first token. */
        const char *args = ArgumentText(t.data());
        assert(args >= t.data() && args <= t.data() + text.size());
        assert(*args == '\0' || (unsigned char)*args > ' ');

        /* "X:" when the path begins so; a directory from what follows, cut to its buffer. */
        std::vector<char> drv(DRIVE_SIZE, 1), dir(DIR_SIZE, 1);
        SplitPath(t.data(), drv.data(), dir.data());
        const std::string drive = drv.data(), folder = dir.data();
        assert(drive == (text.size() >= 2 && text[1] == ':' ? text.substr(0, 2) : ""));
        assert(text.compare(drive.size(), folder.size(), folder) == 0);

        /* Composed into a destination of any size: whole when it fits with its terminator, else
        ** the destination emptied. */
        std::vector<char> full(size + 300);
        assert(ComposePath(full.data(), full.size(), drv.data(), dir.data(), n.data(), e.data()));
        const std::string path = full.data();
        assert(path.compare(0, drive.size() + folder.size(), drive + folder) == 0);
        std::vector<char> c = dest(path.size());
        int fits = ComposePath(c.data(), c.size(), drv.data(), dir.data(), n.data(), e.data());
        assert(fits == (path.size() < c.size()) && (fits ? c.data() == path : c.empty() || !c[0]));

        /* The backup log: the second-to-last character made '_'. The stash record: uninst.dat
        ** in the folder of a path that ends in setup.zmf, or nothing. */
        const size_t len = text.size();
        std::vector<char> b = dest(len), r = dest(len);
        const int backup = MakeBackupLogPath(b.data(), b.size(), t.data());
        assert(backup == (len >= 2 && len < b.size()));
        assert(!backup || b.data() == text.substr(0, len - 2) + '_' + text.substr(len - 1));
        const bool log = len >= 9 && text.compare(len - 9, 9, "setup.zmf") == 0;
        const int record = MakeStashRecordPath(r.data(), r.size(), t.data());
        assert(record == (log && len + 1 < r.size()));
        assert(record ? r.data() == text.substr(0, len - 9) + "uninst.dat" : r.empty() || !r[0]);

        /* Cut in place, never longer; empty unless the keyword is there in some case. */
        UninstallCommandDirectory(t.data());
        assert(strlen(t.data()) <= len);
        assert(strcasestr(text.c_str(), "launchsetup") != nullptr || t[0] == '\0');
    }
    return 0;
}
