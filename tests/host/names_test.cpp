/* Folders whose names the ANSI code page cannot spell. */
#include "fixture.h"

/* A package and a TEMP folder somewhere on a Western system. The names are given as the wide
** truth (UTF-8); the files lie at package_dir and temp_dir, the ANSI paths that reach them. A
** run that finds the package starts package_dir's engine; one that does not is the data tag
** stop. */
struct NamesCase {
    const char *what;
    const char *module;       /* the launcher's path */
    const char *module_short; /* its short form, "" on a volume without short names */
    const char *package_dir;
    const char *temp;
    const char *temp_short;
    const char *temp_dir;
    DWORD version;
    bool finds_package;
    bool traces;
};

static const DWORD kXP = 0x0A280105, kWin98 = 0xC0000A04;
static const char kCyrillic[] = u8"C:\\Установка\\launcher.exe";
static const char kCyrillicTemp[] = u8"C:\\Темп";
static const char kPruefAnsi[] = "C:\\Pr\xfc"
                                 "f\\"; /* "Prüf" in the Western code page */

static const NamesCase kNamesCases[] = {
    {"spelled: used as it is", u8"C:\\Prüf\\launcher.exe", "C:\\PRF~1\\launcher.exe", kPruefAnsi,
     "C:\\Temp", "", "C:\\Temp", kXP, true, true},
    {"not spelled: the short form", kCyrillic, "C:\\A3B1~1\\launcher.exe", "C:\\A3B1~1\\",
     "C:\\Temp", "", "C:\\Temp", kXP, true, true},
    {"a best-fit look-alike is not spelled", u8"C:\\Łukasz\\launcher.exe",
     "C:\\UKASZ~1\\launcher.exe", "C:\\UKASZ~1\\", "C:\\Temp", "", "C:\\Temp", kXP, true, true},
    {"no short names either: the data tag stop", kCyrillic, "", "C:\\A3B1~1\\", "C:\\Temp", "",
     "C:\\Temp", kXP, false, true},
    {"consumer family: as it always was", kCyrillic, "C:\\A3B1~1\\launcher.exe", "C:\\A3B1~1\\",
     "C:\\Temp", "", "C:\\Temp", kWin98, false, true},
    {"TEMP not spelled: the short form", kLauncher, "", kPackageDir, kCyrillicTemp, "C:\\D0A2~1",
     "C:\\D0A2~1", kXP, true, true},
    {"TEMP without short names: no trace", kLauncher, "", kPackageDir, kCyrillicTemp, "",
     "C:\\D0A2~1", kXP, true, false},
};

TEST_F(LauncherTest, FolderNamesOutsideTheAnsiCodePageAreReachedByTheirShortForm)
{
    for (const NamesCase &c : kNamesCases) {
        SCOPED_TRACE(c.what);
        SetUp();
        hw::SetVersion(c.version);
        hw::SetModulePath(c.module);
        if (c.module_short[0] != '\0')
            hw::SetShortPath(c.module, c.module_short);
        hw::WriteFile(std::string(c.package_dir) + "data.tag", "[TagInfo]\r\nProjectGUID=X\r\n");
        hw::WriteFile(std::string(c.package_dir) + "bv_setup.exe", "MZ");
        hw::SetEnv("TEMP", c.temp);
        if (c.temp_short[0] != '\0')
            hw::SetShortPath(c.temp, c.temp_short);
        hw::MakeDir(c.temp_dir);

        EXPECT_EQ(c.finds_package ? 0 : 1, hw::RunLauncher("launcher.exe LOG"));
        if (c.finds_package) {
            ASSERT_EQ(1u, hw::Launches().size());
            EXPECT_EQ(std::string(c.package_dir) + "bv_setup.exe", hw::Launches()[0].application);
        } else {
            EXPECT_TRUE(hw::Launches().empty());
            EXPECT_EQ(std::vector<std::string>{"Cannot find DATA.TAG"}, BoxTexts());
        }
        std::string trace = hw::ReadFile(std::string(c.temp_dir) + "\\launcher.log");
        EXPECT_EQ(c.traces ? "Begin: WinMain()." : "", trace.substr(0, 17));
        EXPECT_EQ(0, hw::LoadedLibraryCount());
    }
}
