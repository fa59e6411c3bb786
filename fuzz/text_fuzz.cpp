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

/* One past the last '\' or '/' of s that is no trail byte of a double-byte character. */
static size_t DirEnd(const std::string &s)
{
    size_t end = 0;
    for (size_t i = 0; i < s.size(); i += IsDBCSLeadByte((BYTE)s[i]) && i + 1 < s.size() ? 2 : 1)
        if (s[i] == '\\' || s[i] == '/')
            end = i + 1;
    return end;
}

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

        /* "X:" when the path begins so; the directory up to its last separator, cut to
        ** DIR_SIZE - 1 characters. */
        std::vector<char> drv(DRIVE_SIZE, 1), dir(DIR_SIZE, 1);
        SplitPath(t.data(), drv.data(), dir.data());
        const std::string drive = drv.data(), folder = dir.data(), rest = text.substr(drive.size());
        assert(drive == (text.size() >= 2 && text[1] == ':' ? text.substr(0, 2) : ""));
        assert(folder == rest.substr(0, std::min(DirEnd(rest), (size_t)DIR_SIZE - 1)));

        /* Drive, directory, a backslash unless that is empty or ends in a separator, name, a dot
        ** unless ext has one, ext: written when it fits with its terminator, else dest emptied. */
        std::vector<char> full(size + 300);
        assert(ComposePath(full.data(), full.size(), drv.data(), dir.data(), n.data(), e.data()));
        const std::string path = full.data();
        assert(path == drive + folder + (DirEnd(folder) == folder.size() ? "" : "\\") + name +
                           (ext.empty() || ext[0] == '.' ? "" : ".") + ext);
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

        /* Cut in place: upper-cased but for trail bytes, from 13 characters after the keyword
        ** up to the first BV_SETUP.EXE or else SETUP.EXE; empty without them. */
        std::string up = text;
        for (size_t i = 0; i < up.size(); i++)
            if (IsDBCSLeadByte((BYTE)up[i]) && i + 1 < up.size())
                i++;
            else if (up[i] >= 'a' && up[i] <= 'z')
                up[i] = (char)(up[i] - 32);
        UninstallCommandDirectory(t.data());
        const size_t k = up.find("LAUNCHSETUP"), no = std::string::npos;
        const std::string after = k == no || up.size() < k + 13 ? "" : up.substr(k + 13);
        const size_t end =
            after.find("BV_SETUP.EXE") != no ? after.find("BV_SETUP.EXE") : after.find("SETUP.EXE");
        assert(t.data() == (end == no ? "" : after.substr(0, end)));
    }
    return 0;
}
