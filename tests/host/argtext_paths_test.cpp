#include "fixture.h"
#include "installrecord/uninstcmd.h"
#include "launcher/argtext.h"
#include "installrecord/setuplog.h"
#include "launcher/paths.h"

TEST(ArgumentText, SkipsTheFirstTokenAndTheBlanksAfterIt)
{
    hw::Reset(SandboxDir("argtext"));
    EXPECT_STREQ("", ArgumentText(nullptr));
    EXPECT_STREQ("a b", ArgumentText("\"C:\\x y\\l.exe\"  \t a b"));
    EXPECT_STREQ("tail x", ArgumentText("\"C:\\l.exe\"tail x")) << "right after the quote";
    EXPECT_STREQ("", ArgumentText("\"C:\\unclosed"));
    EXPECT_STREQ("Dir\\l.exe LOG", ArgumentText("C:\\LOG Dir\\l.exe LOG"));
    EXPECT_STREQ("x", ArgumentText(" x")) << "a leading blank is an empty first token";
}

TEST(ArgumentText, StepsOverDoubleByteCharactersInAQuotedToken)
{
    hw::Reset(SandboxDir("argtext-dbcs"));
    hw::SetCodePage(932);
    /* 0x83 0x22: a lead byte whose trail byte is a quote must not close the token. */
    EXPECT_STREQ("LOG", ArgumentText("\"C:\\\x83\"\\l.exe\" LOG"));
    EXPECT_STREQ("", ArgumentText("\"C:\\\x83")) << "a lead byte at the end is not overrun";
}

TEST(Paths, SplitKeepsDriveAndDirectoryAndNeverSplitsADoubleByteCharacter)
{
    char drive[DRIVE_SIZE], dir[DIR_SIZE];
    hw::Reset(SandboxDir("split"));
    SplitPath("C:\\a b/c\\l.exe", drive, dir);
    EXPECT_STREQ("C:", drive);
    EXPECT_STREQ("\\a b/c\\", dir);
    SplitPath("l.exe", drive, dir);
    EXPECT_STREQ("", drive);
    EXPECT_STREQ("", dir);
    const std::string deep = "\\" + std::string(254, 'd') + "\\x\\"; /* 258 characters */
    SplitPath(("C:" + deep + "l.exe").c_str(), drive, dir);
    EXPECT_EQ(deep.substr(0, DIR_SIZE - 1), dir) << "cut to the directory buffer";
    hw::SetCodePage(932);
    SplitPath("C:\\\x95\\l.exe", drive, dir); /* 0x95 0x5C is one character */
    EXPECT_STREQ("\\", dir);
}

TEST(Paths, ComposeAddsSeparatorsAndRefusesWhatDoesNotFit)
{
    char out[32];
    hw::Reset(SandboxDir("compose"));
    ASSERT_TRUE(ComposePath(out, sizeof out, "C:", "\\pkg", "data", "tag"));
    EXPECT_STREQ("C:\\pkg\\data.tag", out);
    ASSERT_TRUE(ComposePath(out, sizeof out, "", "\\pkg/", "bv_setup", ".exe"));
    EXPECT_STREQ("\\pkg/bv_setup.exe", out);
    EXPECT_FALSE(ComposePath(out, sizeof out, "C:", "\\a-long-directory-name\\", "data", "tag"));
    EXPECT_STREQ("", out);
    hw::SetCodePage(932);
    ASSERT_TRUE(ComposePath(out, sizeof out, "", "\\\x95\\", "n", ""));
    EXPECT_STREQ("\\\x95\\\\n", out) << "a trail byte is not a separator";
}

TEST(Paths, BackupAndStashRecordNamesStayInTheLogsFolderAndFitOrAreRefused)
{
    const std::string dir(290, 'p'); /* with "setup.zmf", 299 characters: the longest log path */
    const struct {
        std::string log;
        size_t size;
        const char *backup, *record; /* nullptr: refused; "": the log's path with "z_f" */
    } cases[] = {
        {"C:\\d\\setup.zmf", 300, "C:\\d\\setup.z_f", "C:\\d\\uninst.dat"},
        {"C:\\setup.zmf\\setup.zmf", 300, "C:\\setup.zmf\\setup.z_f", "C:\\setup.zmf\\uninst.dat"},
        {"setup.zmf", 11, "setup.z_f", "uninst.dat"}, /* both just fit */
        {"setup.zmf", 10, "setup.z_f", nullptr},
        {"setup.zmf", 9, nullptr, nullptr},
        {"etup.zmf", 300, "etup.z_f", nullptr}, /* no log name to replace */
        {"C:\\d\\setup.log", 300, "C:\\d\\setup.l_g", nullptr},
        {"x", 300, nullptr, nullptr},
        {dir + "setup.zmf", 300, "", nullptr}, /* the record would be 300 long */
        {"p" + dir + "setup.zmf", 300, nullptr, nullptr},
    };
    for (auto &c : cases) {
        char out[300];
        EXPECT_EQ(c.backup != nullptr, MakeBackupLogPath(out, c.size, c.log.c_str())) << c.log;
        if (c.backup != nullptr) {
            EXPECT_EQ(*c.backup ? c.backup : c.log.substr(0, c.log.size() - 3) + "z_f", out);
        }
        EXPECT_EQ(c.record != nullptr, MakeStashRecordPath(out, c.size, c.log.c_str())) << c.log;
        EXPECT_STREQ(c.record != nullptr ? c.record : "", out) << c.log;
    }
}

TEST(UninstallCommand, DirectoryIsCutAfterTheKeywordAndBeforeTheSetupProgram)
{
    hw::Reset(SandboxDir("uninstcmd"));
    const struct {
        const char *command;
        const char *directory;
    } cases[] = {
        {"C:\\x\\LaunchSetup \"C:\\Inst\\{G}\\bv_setup.exe\" /u", "C:\\INST\\{G}\\"},
        {"LAUNCHSETUP C:\\Inst\\setup.exe", ":\\INST\\"}, /* one blank: the C is lost */
        {"C:\\bv_setup.exe LAUNCHSETUP \"C:\\dir\\", ""}, /* name only before the keyword */
        {"LAUNCHSETUP \"C:\\dir\\other.exe", ""},
        {"LAUNCHSETUP", ""},
        {"LAUNCHSETUPx", ""},
        {"launchsetup \"\xe9t\\setup.exe", "\xe9T\\"},
    };
    for (auto c : cases) {
        char text[300];
        snprintf(text, sizeof text, "%s", c.command);
        UninstallCommandDirectory(text);
        EXPECT_STREQ(c.directory, text) << c.command;
    }
}

TEST(UninstallCommandDirectory, SecondBytesOfDoubleByteCharactersKeepTheirCase)
{
    hw::Reset(SandboxDir("UninstallCommandDirectory.Dbcs"));
    hw::SetCodePage(932);
    /* 0x83 0x61 and 0x83 0x7A: lead bytes followed by the bytes of 'a' and 'z'. */
    char text[] = "launchsetup \"C:\\\x83\x61"
                  "d\x83z\\bv_setup.exe\" /u";
    UninstallCommandDirectory(text);
    EXPECT_STREQ("C:\\\x83\x61"
                 "D\x83z\\",
                 text);
    char lead_at_end[] = "launchsetup \"C:\\d\\setup.exe\x83";
    UninstallCommandDirectory(lead_at_end);
    EXPECT_STREQ("C:\\D\\", lead_at_end);
}

TEST(MakeStashRecordPath, ZeroSizedDestinationIsNeverWritten)
{
    char dest[1] = {'x'};
    EXPECT_EQ(0, MakeStashRecordPath(dest, 0, "C:\\d\\setup.zmf"));
    EXPECT_EQ('x', dest[0]);
}
