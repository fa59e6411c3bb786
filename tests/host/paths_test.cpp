/* Text cut out of command lines; paths split, composed, derived and made fit for ANSI calls. */
#include "fixture.h"
#include "installrecord/setuplog.h"
#include "installrecord/uninstcmd.h"
#include "platform/ansipath.h"
#include "launcher/argtext.h"
#include "platform/paths.h"

/* Arguments follow the first token; the folder follows "LAUNCHSETUP" and two characters. */
TEST_F(LauncherTest, ArgumentTextAndUninstallFolderAreCutOutOfTheirCommandLines)
{
    enum Cut { Args, Folder };
    const std::tuple<Cut, int, const char *, const char *> cases[] = {
        {Args, 0, "\"C:\\x y\\l.exe\"  \t a b", "a b"},
        {Args, 0, "\"C:\\l.exe\"tail x", "tail x"},
        {Args, 0, "\"C:\\unclosed", ""},
        {Args, 0, "C:\\LOG Dir\\l.exe LOG", "Dir\\l.exe LOG"},
        {Args, 0, " x", "x"},                            /* an empty first token */
        {Args, 932, "\"C:\\\x83\"\\l.exe\" LOG", "LOG"}, /* 0x83 0x22: one character */
        {Args, 932, "\"C:\\\x83", ""},                   /* a lead byte at the end */
        {Folder, 0, "C:\\x\\LaunchSetup \"C:\\Inst\\{G}\\bv_setup.exe\" /u", "C:\\INST\\{G}\\"},
        {Folder, 0, "LAUNCHSETUP C:\\Inst\\setup.exe", ""},         /* one blank: C is lost */
        {Folder, 0, "LAUNCHSETUP \"Apps\\{G}\\bv_setup.exe\"", ""}, /* relative */
        {Folder, 0, "LAUNCHSETUP \"\\\\srv\\s\\bv_setup.exe\"", "\\\\SRV\\S\\"},
        {Folder, 0, "C:\\bv_setup.exe LAUNCHSETUP \"C:\\dir\\", ""},
        {Folder, 0, "LAUNCHSETUP \"C:\\dir\\other.exe", ""},
        {Folder, 0, "LAUNCHSETUP", ""},
        {Folder, 0, "LAUNCHSETUPx", ""},
        {Folder, 0, "launchsetup \"C:\\\xe9t\\setup.exe", "C:\\\xe9T\\"},
        {Folder, 0, "launchsetup \"C:\\az{`@[\\setup.exe", "C:\\AZ{`@[\\"}, /* a to z only */
        {Folder, 0, "LAUNCHSETUP \"A:/a\\setup.exe", "A:/A\\"},             /* drives A to Z */
        {Folder, 0, "LAUNCHSETUP \"Z:\\z\\setup.exe", "Z:\\Z\\"},
        {Folder, 0, "LAUNCHSETUP \"C:z\\setup.exe", ""},
        {Folder, 0, "aSETUP.EXE LAUNCHSETUP \"x", ""}, /* the folder is terminated where cut */
        {Folder, 932, "launchsetup \"C:\\\x83\141d\x83z\\bv_setup.exe\"", "C:\\\x83\141D\x83z\\"},
        {Folder, 932, "launchsetup \"C:\\d\\setup.exe\x83", "C:\\D\\"},
    };
    EXPECT_STREQ("", ArgumentText(nullptr));
    for (const auto &[cut, code_page, text, expected] : cases) {
        hw::SetCodePage(code_page);
        char folder[300];
        snprintf(folder, sizeof folder, "%s", text);
        UninstallCommandDirectory(folder);
        EXPECT_STREQ(expected, cut == Args ? ArgumentText(text) : folder) << text;
    }
}

/* The directory is cut to its buffer, a trail byte is no separator; nullptr: refused. */
TEST_F(LauncherTest, PathsAreSplitAndComposedWithinTheirBuffers)
{
    const std::string fits = "\\" + std::string(253, 'd') + "\\", cut = "\\" + fits;
    const std::tuple<int, std::string, std::string> splits[] = {
        {0, "C:\\a b/c\\l.exe", "C:|\\a b/c\\"},
        {0, "l.exe", "|"},
        {0, "C:" + fits + "l.exe", "C:|" + fits},
        {0, "C:" + cut + "l.exe", "C:|" + cut.substr(0, DIR_SIZE - 1)},
        {932, "C:\\\x95\\l.exe", "C:|\\"},
    };
    for (const auto &[code_page, path, drive_dir] : splits) {
        char drive[DRIVE_SIZE], dir[DIR_SIZE];
        hw::SetCodePage(code_page);
        SplitPath(path.c_str(), drive, dir);
        EXPECT_EQ(drive_dir, std::string(drive) + "|" + dir) << path;
    }
    using S = const char *;
    const std::tuple<int, size_t, S, S, S, S, S> composes[] = {
        {0, 32, "C:", "\\pkg", "data", "tag", "C:\\pkg\\data.tag"},
        {0, 32, "", "\\pkg/", "bv_setup", ".exe", "\\pkg/bv_setup.exe"},
        {0, 16, "C:", "\\pkg", "data", "tag", "C:\\pkg\\data.tag"}, /* and the terminator */
        {0, 15, "C:", "\\pkg", "data", "tag", nullptr},
        {0, 32, "C:", "\\a-long-directory-name\\", "data", "tag", nullptr},
        {0, 0, "", "", "", "", nullptr},
        {932, 32, "", "\\\x95\\", "n", "", "\\\x95\\\\n"},
    };
    for (const auto &[code_page, size, drive, dir, name, ext, composed] : composes) {
        char out[32] = "x";
        hw::SetCodePage(code_page);
        EXPECT_EQ(composed != nullptr, ComposePath(out, size, drive, dir, name, ext)) << size;
        EXPECT_STREQ(composed != nullptr ? composed : size > 0 ? "" : "x", out) << size;
    }
}

/* The backup and the record beside the setup log; nullptr: refused and, with no room, nothing
** written; "": the log's path with "z_f". The longest log path is 299 characters. */
TEST_F(LauncherTest, BackupAndStashRecordNamesStayInTheLogsFolderAndFitOrAreRefused)
{
    const std::string dir(290, 'p');
    const std::tuple<std::string, size_t, const char *, const char *> cases[] = {
        {"C:\\d\\setup.zmf", 300, "C:\\d\\setup.z_f", "C:\\d\\uninst.dat"},
        {"C:\\setup.zmf\\setup.zmf", 300, "C:\\setup.zmf\\setup.z_f", "C:\\setup.zmf\\uninst.dat"},
        {"setup.zmf", 11, "setup.z_f", "uninst.dat"}, /* both just fit */
        {"setup.zmf", 10, "setup.z_f", nullptr},
        {"setup.zmf", 9, nullptr, nullptr},
        {"etup.zmf", 300, "etup.z_f", nullptr}, /* no log name to replace */
        {"C:\\d\\setup.log", 300, "C:\\d\\setup.l_g", nullptr},
        {"x", 300, nullptr, nullptr},
        {"ab", 300, "_b", nullptr},            /* the shortest name with a character to replace */
        {dir + "setup.zmf", 300, "", nullptr}, /* the record would be 300 long */
        {"p" + dir + "setup.zmf", 300, nullptr, nullptr},
        {"C:\\d\\setup.zmf", 0, nullptr, nullptr},
    };
    for (const auto &[log, size, backup, record] : cases) {
        char out[300] = "x";
        EXPECT_EQ(backup != nullptr, MakeBackupLogPath(out, size, log.c_str())) << log;
        EXPECT_EQ(!backup ? "x" : *backup ? backup : log.substr(0, log.size() - 3) + "z_f", out);
        EXPECT_EQ(record != nullptr, MakeStashRecordPath(out, size, log.c_str())) << log;
        EXPECT_STREQ(record != nullptr ? record : size > 0 ? "" : "x", out) << log;
    }
}

static const char kCyr[] = u8"C:\\Установка\\l.exe", kCyrShort[] = "C:\\A3B1~1\\l.exe";
static const char kCyrAnsi[] = "C:\\?????????\\l.exe", kCyrTemp[] = u8"C:\\Темп";

/* Wide paths (UTF-8) that the Western code page spells exactly, or not ("?", a best-fit "L"):
** then their short form on the NT family, else no path ("": a look-alike may name another
** user's folder); the ANSI answer on the consumer family. A call fails once. */
TEST_F(LauncherTest, PathsTheCodePageCannotSpellAreAnsweredInTheirShortForm)
{
    enum Query { Module, Module98, Temp };
    const std::tuple<Query, std::string, std::string, const char *, DWORD, std::string> cases[] = {
        {Module, u8"C:\\Prüf\\l.exe", "C:\\PRF~1\\l.exe", "", 260, "C:\\Pr\374f\\l.exe"},
        {Module, kCyr, kCyrShort, "", 260, kCyrShort},
        {Module, u8"C:\\Łk\\l.exe", "C:\\LK~1\\l.exe", "", 260, "C:\\LK~1\\l.exe"},
        {Module, u8"C:\\Łk\\l.exe", u8"C:\\Łk\\l.exe", "", 260, ""},
        {Module, kCyr, kCyr, "", 260, ""},
        {Module98, kCyr, kCyrShort, "", 260, kCyrAnsi},
        {Module, kCyr, kCyrShort, "GetModuleHandleA", 260, ""},
        {Module, kCyr, kCyrShort, "", 16, std::string(kCyrAnsi, 16)},
        {Temp, kCyrTemp, "C:\\D0A2~1", "", 10, "C:\\D0A2~1"},
        {Temp, kCyrTemp, "C:\\D0A2~1", "", 9, ""},
        {Temp, kCyrTemp, "C:\\D0A2~1", "GetShortPathNameW", 287, ""},
        {Temp, "C:\\Temp", "C:\\TEMP~1", "WideCharToMultiByte", 287, "C:\\TEMP~1"},
        {Temp, "C:\\Temp", "C:\\TEMP~1", "MultiByteToWideChar", 287, "C:\\TEMP~1"},
    };
    for (const auto &[query, wide, short_form, fail, size, answer] : cases) {
        NewMachine();
        hw::SetVersion(query == Module98 ? 0xC0000A04 : 0x0A280105);
        hw::SetModulePath(wide);
        hw::SetEnv("TEMP", wide);
        hw::SetShortPath(wide, short_form);
        hw::FailCall(fail[0] != '\0' ? fail : "Sleep", 0, 1); /* Sleep's failure changes nothing */
        std::vector<char> out(size); /* exactly: a byte written past it is an error */
        DWORD len =
            query == Temp ? GetTempFolder(out.data(), size) : GetLauncherPath(out.data(), size);
        EXPECT_EQ(answer.size(), len) << wide << " " << fail << " " << size;
        EXPECT_EQ(answer, std::string(out.data(), std::min<size_t>(len + 1, size)).c_str());
    }
}
