#include "fixture.h"

static const char kInfoDir[] = "C:\\Program Files\\Brevane Installation Information\\{1234-ABCD}\\";

class InstallationTest : public LauncherTest
{
  protected:
    std::string Log()
    {
        return std::string(kInfoDir) + "setup.zmf";
    }
    std::string Backup()
    {
        return std::string(kInfoDir) + "setup.z_f";
    }
    std::string Record()
    {
        return std::string(kInfoDir) + "uninst.dat";
    }
    hw::RegValue Value()
    {
        hw::RegValue v;
        EXPECT_TRUE(hw::RegGet(kUninstallKey, "UninstallString", &v));
        return v;
    }
};

TEST_F(InstallationTest, EarlierInstallationSurvivesAnEngineThatRewritesItsLog)
{
    const std::string command = "C:\\Brevane\\LaunchSetup \"C:\\Program Files\\Brevane "
                                "Installation Information\\{1234-ABCD}\\bv_setup.exe\" -u";
    hw::WriteFile(Log(), "original log\n");
    hw::RegSet(kUninstallKey, "UninstallString", REG_EXPAND_SZ,
               std::string(command.c_str(), command.size() + 1));
    bool value_absent_during_run = false, backup_during_run = false;
    hw::NextEngine().on_run = [&] {
        value_absent_during_run = !hw::RegGet(kUninstallKey, "UninstallString", nullptr);
        backup_during_run = hw::ReadFile(Backup()) == "original log\n";
        hw::WriteFile(Log(), "engine's new log");
    };
    ASSERT_EQ(0, Run("LOG"));
    EXPECT_TRUE(value_absent_during_run);
    EXPECT_TRUE(backup_during_run);
    EXPECT_EQ("original log\n", hw::ReadFile(Log()));
    EXPECT_FALSE(hw::Exists(Backup()));
    EXPECT_FALSE(hw::Exists(Record()));
    hw::RegValue v = Value();
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, v.type) << "the value comes back with its own type";
    EXPECT_EQ(std::string(command.c_str(), command.size() + 1), v.bytes);
    EXPECT_EQ(0, hw::OpenKeyCount());
    for (REGSAM sam : hw::RegOpenMasks())
        EXPECT_EQ((REGSAM)KEY_ALL_ACCESS, sam);
}

TEST_F(InstallationTest, UninstallCommandNamesTheDirectoryInAnyLetterCase)
{
    hw::WriteFile("C:\\Apps\\Info\\setup.zmf", "log");
    hw::RegSetString(kUninstallKey, "UninstallString",
                     "C:\\Apps\\Info\\launchsetup \"C:\\Apps\\Info\\Bv_Setup.exe\" /u");
    ASSERT_EQ(0, Run("LOG"));
    std::vector<std::string> lines = TraceLines();
    EXPECT_TRUE(Contains(lines, "zmf_loc=C:\\APPS\\INFO\\"));
    EXPECT_TRUE(Contains(lines, "Log file (setup.zmf) found at:C:\\APPS\\INFO\\setup.zmf"));
    EXPECT_TRUE(Contains(lines, "Rename of log file to C:\\APPS\\INFO\\setup.z_f returned: 0"));
    EXPECT_EQ("log", hw::ReadFile("C:\\Apps\\Info\\setup.zmf"));
}

TEST_F(InstallationTest, StashRecordHoldsPrefixTextAndZeroWithCrLfForLineFeeds)
{
    hw::WriteFile(Log(), "log");
    hw::RegSetString(kUninstallKey, "UninstallString", "run\nme");
    std::string record;
    hw::NextEngine().on_run = [&] { record = hw::ReadFile(Record()); };
    ASSERT_EQ(0, Run(""));
    EXPECT_EQ(std::string("UninstallString=run\r\nme\0", 24), record);
}

TEST_F(InstallationTest, ValueWrittenDuringTheRunIsKept)
{
    hw::WriteFile(Log(), "log");
    hw::RegSetString(kUninstallKey, "UninstallString", "old");
    hw::NextEngine().on_run = [] { hw::RegSetString(kUninstallKey, "UninstallString", "new"); };
    ASSERT_EQ(0, Run("LOG"));
    EXPECT_EQ(std::string("new\0", 4), Value().bytes);
    EXPECT_TRUE(Contains(TraceLines(), "Query UninstallString: return from ReqQueryValueEx(): 0"));
}

TEST_F(InstallationTest, EngineThatDeletesTheWholeKeyGetsNoKeyBack)
{
    hw::WriteFile(Log(), "log");
    hw::RegSetString(kUninstallKey, "UninstallString", "old");
    hw::NextEngine().on_run = [] { hw::RegRemoveKey(kUninstallKey); };
    ASSERT_EQ(0, Run("LOG"));
    EXPECT_FALSE(hw::RegKeyExists(kUninstallKey));
    EXPECT_TRUE(Contains(TraceLines(), "OpenUninstallStringKey failed."));
    EXPECT_FALSE(hw::RegKeyExists(kJournalKey)) << "nothing is owed for a removed product";
}

TEST_F(InstallationTest, NothingTakenAwayMeansNothingWrittenBack)
{
    hw::WriteFile(Log(), "log");
    hw::RegCreateKey(kUninstallKey); /* key without UninstallString */
    ASSERT_EQ(0, Run(""));
    EXPECT_FALSE(hw::RegGet(kUninstallKey, "UninstallString", nullptr));

    hw::RegSetString(kUninstallKey, "UninstallString", "keep");
    hw::FailCall("RegDeleteValueA", 5, 1);
    ASSERT_EQ(0, Run(""));
    EXPECT_EQ(std::string("keep\0", 5), Value().bytes);
    EXPECT_FALSE(hw::RegKeyExists(kJournalKey));
}

TEST_F(InstallationTest, ValueTooLongForTheStashStaysInPlace)
{
    hw::WriteFile(Log(), "log");
    std::string big(400, 'v');
    hw::RegSetString(kUninstallKey, "UninstallString", big);
    std::string record;
    bool present_during_run = false;
    hw::NextEngine().on_run = [&] {
        record = hw::ReadFile(Record());
        present_during_run = hw::RegGet(kUninstallKey, "UninstallString", nullptr);
    };
    ASSERT_EQ(0, Run(""));
    EXPECT_TRUE(present_during_run);
    EXPECT_EQ("UninstallString=", record);
    EXPECT_EQ(big + '\0', Value().bytes);
}

TEST_F(InstallationTest, InstallationThatCannotGoAsideStopsTheRunWithEverythingInPlace)
{
    const struct {
        const char *what;
        const char *call, *argument; /* fails, from its skip-th call on that argument */
        int skip;
    } cases[] = {
        {"a folder of the backup name: neither removed nor renamed onto", nullptr, nullptr, 0},
        {"the journal cannot be made", "RegCreateKeyExA", "Setup Launcher", 0},
        {"the log cannot be renamed", "rename", "setup.zmf", 0},
        {"the key cannot be opened to take the value", "RegOpenKeyExA", "Uninstall\\", 1},
        {"the value's size cannot be read", "RegQueryValueExA", "UninstallString", 1},
    };
    for (auto &c : cases) {
        NewMachine();
        hw::WriteFile(Log(), "original");
        hw::RegSetString(kUninstallKey, "UninstallString", "keep");
        if (c.call == nullptr)
            hw::MakeDir(Backup());
        else
            hw::FailCall(c.call, ERROR_ACCESS_DENIED, 1, c.skip, c.argument);
        EXPECT_EQ(1, Run("LOG")) << c.what;
        EXPECT_EQ(std::vector<std::string>{"Could not set the earlier installation aside"},
                  BoxTexts())
            << c.what;
        EXPECT_EQ("Could not set the earlier installation aside - aborting", TraceLines().back());
        EXPECT_TRUE(hw::Launches().empty()) << c.what;
        EXPECT_EQ("original", hw::ReadFile(Log())) << c.what;
        EXPECT_EQ(std::string("keep\0", 5), Value().bytes) << c.what;
        EXPECT_FALSE(hw::RegKeyExists(kJournalKey)) << c.what;
        EXPECT_FALSE(hw::Exists(Record())) << c.what;
        EXPECT_EQ(c.call == nullptr, hw::Exists(Backup())) << c.what;
    }
}

TEST_F(InstallationTest, ProgramFilesFailuresAreFatalWithBoxAndTraceInTheirOrder)
{
    const char *cv = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    hw::FailCall("malloc", 0, 1);
    EXPECT_EQ(1, Run("LOG"));
    std::vector<std::string> t = Timeline();
    EXPECT_EQ("box:Memory allocation failed for 'progfiles'", t[t.size() - 2]);
    EXPECT_EQ("trace:Malloc for 'progfiles' failed\n", t.back());

    hw::RegSetString(cv, "ProgramFilesDir", "C:\\" + std::string(300, 'p'));
    hw::FailCall("realloc", 0, 1);
    EXPECT_EQ(1, Run("LOG"));
    t = Timeline();
    EXPECT_EQ("box:Memory reallocation failed for 'progfiles'", t[t.size() - 2]);
    EXPECT_EQ("trace:Realloc for 'progfiles' failed\n", t.back());

    hw::RegDenyOpen(cv);
    EXPECT_EQ(1, Run("LOG"));
    t = Timeline();
    EXPECT_EQ("box:Error reading registry: Open failed on CurrentVersion key", t[t.size() - 2]);
    EXPECT_EQ("trace:RegOpenKeyEx() returned: 5\n", t.back());
    EXPECT_TRUE(hw::Launches().empty());
}

TEST_F(InstallationTest, DirectoryNoWindowsFileCanBeInHoldsNoSetupLog)
{
    /* A wildcard in the uninstall command's folder: nothing can be there, so nothing is found,
    ** and the run goes on as for a first installation. */
    hw::RegSetString(kUninstallKey, "UninstallString", "LaunchSetup \"C:\\App?\\bv_setup.exe\"");
    EXPECT_EQ(0, Run("LOG"));
    EXPECT_TRUE(Contains(TraceLines(), "Log file (setup.zmf) NOT found"));
    EXPECT_EQ(1u, hw::Launches().size());
}

TEST_F(InstallationTest, ProgramFilesQueryFailuresTraceBeforeTheBox)
{
    const char *cv = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    hw::RegRemoveValue(cv, "ProgramFilesDir");
    EXPECT_EQ(1, Run("LOG"));
    std::vector<std::string> t = Timeline();
    EXPECT_EQ("trace:RegQueryValueEx() returned: 2\n", t[t.size() - 2]);
    EXPECT_EQ("box:Error reading registry: Failed to read ProgramFilesDir", t.back());

    hw::RegSetString(cv, "ProgramFilesDir", "C:\\" + std::string(300, 'p'));
    hw::FailCall("RegQueryValueExA", 31, 1, 1); /* the first query works, the second fails */
    EXPECT_EQ(1, Run("LOG"));
    t = Timeline();
    EXPECT_EQ("trace:RegQueryValueEx() returned ERROR_MORE_DATA, required buffer size=304\n",
              t[t.size() - 3]);
    EXPECT_EQ("box:Error reading registry: Second attempt to read ProgramFilesDir has failed",
              t.back());
}

TEST_F(InstallationTest, LongProgramFilesDirIsReadTwiceAndTooLongAPathIsNotFound)
{
    const char *cv = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    std::string dir = "C:";
    while (dir.size() < 280)
        dir += "\\" + std::string(60, 'p');
    hw::RegSetString(cv, "ProgramFilesDir", dir);
    ASSERT_EQ(0, Run("LOG"));
    std::vector<std::string> lines = TraceLines();
    EXPECT_TRUE(Contains(lines, "RegQueryValueEx() returned ERROR_MORE_DATA, required buffer "
                                "size=" +
                                    std::to_string(dir.size() + 1)));
    EXPECT_TRUE(Contains(lines, "ProgramFilesDir=" + dir));
    EXPECT_TRUE(Contains(lines, "Log file (setup.zmf) NOT found"));
    EXPECT_EQ(0, hw::OpenKeyCount());
    EXPECT_EQ(0, hw::HeapBlocksAtEnd()) << "progfiles is released";
}
