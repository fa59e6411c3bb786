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
#include "platform/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* The stand-in logs each IsDBCSLeadByte: a fresh machine now and then keeps that short. */
    if (hw::CallLog().size() > 1000000)
        hw::Reset();
    const std::string in = std::string((const char *)data, size) + std::string(4, '\0');
    const std::string text = &in[0], name = &in[text.size() + 1],
                      ext = &in[text.size() + name.size() + 2];
    const long d = (signed char)in[text.size() + name.size() + ext.size() + 3];
    auto heap = [](const std::string &s) { return std::vector<char>(&s[0], &s[s.size()] + 1); };

    /* Made where it only just fits, or just does not: the result made with ample room, or
    ** refused. */
    auto fit_or_refuse = [&](auto make) {
        std::vector<char> ample(size + 300);
        const int made = make(ample.data(), ample.size());
        const std::string result = ample.data();
        std::vector<char> dest(std::max(0L, (long)result.size() + 1 + d), 1);
        const int fits = make(dest.data(), dest.size());
        assert(fits == (made && result.size() < dest.size()));
        assert(!fits || dest.data() == result);
    };

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

        fit_or_refuse([&](char *out, size_t room) {
            return ComposePath(out, room, drv.data(), dir.data(), n.data(), e.data());
        });
        fit_or_refuse([&](char *out, size_t room) { return MakeBackupLogPath(out, room, &t[0]); });
        fit_or_refuse(
            [&](char *out, size_t room) { return MakeStashRecordPath(out, room, &t[0]); });

        /* Cut in place, never longer; empty unless the keyword is there in some case. */
        UninstallCommandDirectory(t.data());
        assert(strlen(t.data()) <= text.size());
        assert(strcasestr(text.c_str(), "launchsetup") != nullptr || t[0] == '\0');
    }
    return 0;
}
