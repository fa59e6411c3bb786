#include <algorithm>

#include "fixture.h"

TEST_F(LauncherTest, TracedRunWithoutInstallationWritesEveryStepInOrder)
{
    ASSERT_EQ(0, Run("LOG"));
    std::vector<std::string> expected = {
        "Begin: WinMain().",
        "GetModuleFileName returned 29",
        "Launcher path=C:\\Setup Package\\launcher.exe",
        "Data.tag path/name=C:\\Setup Package\\data.tag",
        "GUID={1234-ABCD}",
        "Begin: RecoverInterruptedRun().",
        "End: RecoverInterruptedRun().",
        "Begin: MakeUninstLogFile().",
        "Couldn't open Uninstall key: RegOpenKeyEx() returned: 2",
        "ProgramFilesDir=C:\\Program Files",
        "zmf_loc=C:\\Program Files\\Brevane Installation Information\\{1234-ABCD}\\setup.zmf",
        "zmf_loc access()=-1",
        "End: MakeUninstLogFile().",
        "Log file (setup.zmf) NOT found",
        "Setup.exe, path and filename: C:\\Setup Package\\bv_setup.exe",
        "Command line args:  SAS LOG",
        "Launch of BV setup: return from LaunchApp(): 1",
        "Waiting for bv_setup.exe to terminate: 5 seconds elapsed",
        "End: WinMain().",
    };
    EXPECT_EQ(expected, TraceLines());
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_EQ(0, hw::OpenStreamCount());
}

TEST_F(LauncherTest, EngineCommandLineIsEnginePathSasAndArgumentText)
{
    ASSERT_EQ(0, Run(""));
    ASSERT_EQ(1u, hw::Launches().size());
    EXPECT_EQ("C:\\Setup Package\\bv_setup.exe SAS ", hw::Launches()[0].command_line);
    /* The full path as application name keeps "C:\Setup.exe" from being tried first. */
    EXPECT_EQ("C:\\Setup Package\\bv_setup.exe", hw::Launches()[0].application);
    EXPECT_FALSE(hw::Exists(kTraceLog));

    ASSERT_EQ(0, Run("/q  \"a b\" x"));
    EXPECT_EQ("C:\\Setup Package\\bv_setup.exe SAS /q  \"a b\" x", hw::Launches()[1].command_line);
}

TEST_F(LauncherTest, LogInsideAWordTurnsTracingOnButLowerCaseDoesNot)
{
    Run("CATALOG");
    EXPECT_TRUE(hw::Exists(kTraceLog));
    hw::WriteFile(kTraceLog, "old");
    Run("/logfile");
    EXPECT_EQ("old", hw::ReadFile(kTraceLog)) << "a run without LOG must not touch the log";
    Run("/LOGFILE");
    EXPECT_EQ("Begin: WinMain().", TraceLines().front()) << "the old log is truncated";
}

TEST_F(LauncherTest, LogInTheQuotedLauncherPathIsNoArgument)
{
    hw::SetModulePath("C:\\My Setup\\LOG\\launcher.exe");
    hw::WriteFile("C:\\My Setup\\LOG\\data.tag", "[TagInfo]\nProjectGUID=X\n");
    EXPECT_EQ(0, RunProcess("\"C:\\My Setup\\LOG\\launcher.exe\""));
    EXPECT_FALSE(hw::Exists(kTraceLog));
    /* Unquoted, everything after the first blank is argument text. */
    EXPECT_EQ(0, RunProcess("C:\\My Setup\\LOG\\launcher.exe"));
    EXPECT_TRUE(hw::Exists(kTraceLog));
}

TEST_F(LauncherTest, MissingDataTagBoxesFirstThenTracesAndExitsOne)
{
    std::remove(hw::HostPath(std::string(kPackageDir) + "data.tag").c_str());
    EXPECT_EQ(1, Run("LOG"));
    std::vector<std::string> t = Timeline();
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ("box:Cannot find DATA.TAG", t[t.size() - 2]);
    EXPECT_EQ("trace:Cannot find DATA.TAG - aborting\n", t.back());
    EXPECT_EQ("Cannot find DATA.TAG - aborting", TraceLines().back());
    EXPECT_TRUE(hw::Launches().empty());
    for (const hw::Event &e : hw::Events())
        if (e.kind == hw::Event::Box) {
            EXPECT_EQ("Launcher Error", e.caption);
            EXPECT_EQ(0x10u, e.flags);
            EXPECT_FALSE(e.has_owner);
        }
}

static int Count(const std::vector<std::string> &names, const std::string &name)
{
    return (int)std::count(names.begin(), names.end(), name);
}

TEST_F(LauncherTest, User32IsLoadedOnlyToShowABoxAndAStopWithoutItStillExitsOne)
{
    ASSERT_EQ(0, Run("LOG"));
    EXPECT_EQ(0, Count(hw::LoadedLibraryNames(), kUser32)) << "a run without a box";

    std::remove(hw::HostPath(std::string(kPackageDir) + "data.tag").c_str());
    EXPECT_EQ(1, Run(""));
    EXPECT_EQ(std::vector<std::string>{"Cannot find DATA.TAG"}, BoxTexts());
    EXPECT_EQ(1, Count(hw::LoadedLibraryNames(), kUser32));
    EXPECT_EQ(0, hw::LoadedLibraryCount()) << "freed after the box";

    /* No user32, or no MessageBoxA in it: no box, the same stop, nothing left loaded. */
    hw::SetLibrary(kUser32, true, {});
    EXPECT_EQ(1, Run("LOG"));
    EXPECT_EQ(0, hw::LoadedLibraryCount());
    hw::SetLibrary(kUser32, false, {});
    EXPECT_EQ(1, Run("LOG"));
    EXPECT_EQ(1u, BoxTexts().size());
    EXPECT_EQ("Cannot find DATA.TAG - aborting", TraceLines().back());
}

TEST_F(LauncherTest, GuidMissingEmptyOrTooLongWithBracesIsTheGuidStop)
{
    const std::string tag = std::string(kPackageDir) + "data.tag";
    for (const std::string &content :
         {std::string("[Other]\nProjectGUID=X\n"), std::string("[TagInfo]\nName=X\n"),
          std::string("[TagInfo]\nProjectGUID=\n"),
          "[TagInfo]\nProjectGUID=" + std::string(98, 'G') + "\n"}) {
        hw::WriteFile(tag, content);
        EXPECT_EQ(1, Run("")) << content;
        EXPECT_EQ("Error reading GUID from DATA.TAG", BoxTexts().back()) << content;
    }
    EXPECT_TRUE(hw::Launches().empty());
    /* 97 characters still fit with their braces. */
    hw::WriteFile(tag, "[TagInfo]\nProjectGUID=" + std::string(97, 'G') + "\n");
    EXPECT_EQ(0, Run("LOG"));
    EXPECT_TRUE(Contains(TraceLines(), "GUID={" + std::string(97, 'G') + "}"));
}

TEST_F(LauncherTest, ModulePathThatFailsOrDoesNotFitIsTheDataTagStop)
{
    const std::string cut = "C:\\" + std::string(300, 'd') + "\\launcher.exe";
    const struct {
        bool fails;
        std::vector<std::string> lines;
    } cases[] = {
        {false, {"GetModuleFileName returned 260", "Launcher path=" + cut.substr(0, 259)}},
        {true, {"GetModuleFileName returned 0", "Launcher path="}}, /* nothing to trace */
    };
    for (auto &c : cases) {
        NewMachine();
        hw::SetModulePath(c.fails ? kLauncher : cut);
        if (c.fails)
            hw::FailCall("GetModuleFileNameA");
        EXPECT_EQ(1, Run("LOG"));
        EXPECT_EQ(std::vector<std::string>{"Cannot find DATA.TAG"}, BoxTexts());
        std::vector<std::string> lines = TraceLines();
        ASSERT_EQ(5u, lines.size());
        EXPECT_EQ(c.lines, std::vector<std::string>(lines.begin() + 1, lines.begin() + 3));
        EXPECT_EQ("Data.tag path/name=", lines[3]);
    }
}

TEST_F(LauncherTest, RunLockIsMachineWideWhereThePlatformHasTheGlobalNamespace)
{
    const struct {
        DWORD version;
        const char *name;
    } platforms[] = {
        {0x0A280105, "Global\\Brevane.SetupLauncher.RunLock"}, /* XP */
        {0x05650004, "Brevane.SetupLauncher.RunLock"},         /* NT 4 */
        {0xC0000A04, "Brevane.SetupLauncher.RunLock"},         /* 98 */
    };
    for (auto &p : platforms) {
        NewMachine();
        hw::SetVersion(p.version);
        EXPECT_EQ(0, Run(""));
        EXPECT_EQ(std::vector<std::string>{p.name}, hw::MutexRequests());
        /* Held by a launcher that runs: refused before the trace log is touched. */
        hw::HoldMutex(p.name);
        hw::WriteFile(kTraceLog, "first launcher's trace");
        EXPECT_EQ(1, Run("LOG"));
        EXPECT_EQ(std::vector<std::string>{"An instance of this Setup is already running.  Please "
                                           "close all Setups before running this one."},
                  BoxTexts());
        EXPECT_EQ("first launcher's trace", hw::ReadFile(kTraceLog));
        EXPECT_EQ(1u, hw::Launches().size());
    }
}

TEST_F(LauncherTest, RunLockMadeByAnotherUserRefusesAndOneThatCannotBeMadeIsTraced)
{
    hw::FailCall("CreateMutexA", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(1, Run("LOG"));
    EXPECT_TRUE(hw::Launches().empty());
    hw::FailCall("CreateMutexA", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(0, Run("LOG"));
    std::vector<std::string> lines = TraceLines();
    EXPECT_EQ("Run lock not taken: CreateMutex() failed: 8", lines[1]);
    EXPECT_EQ(1u, hw::Launches().size());
}

TEST_F(LauncherTest, EngineThatCannotStartIsBoxedAndTheRunGoesOn)
{
    std::remove(hw::HostPath(std::string(kPackageDir) + "bv_setup.exe").c_str());
    EXPECT_EQ(0, Run("LOG"));
    EXPECT_EQ(std::vector<std::string>{"Could not run BV_SETUP.EXE"}, BoxTexts());
    std::vector<std::string> lines = TraceLines();
    EXPECT_TRUE(Contains(lines, "Launch of BV setup: return from LaunchApp(): -1"));
    EXPECT_EQ(1, hw::SleepCount()) << "the wait loop still polls once";
    EXPECT_EQ("End: WinMain().", lines.back());
}

TEST_F(LauncherTest, FailedReopenOfTheTraceLogBoxesAndStopsTracing)
{
    /* The trace log is created, the reopen fails. */
    hw::FailCall("CreateFileA", 0, 1, 1);
    EXPECT_EQ(0, Run("LOG"));
    EXPECT_EQ(std::vector<std::string>{"Could not re-open logfile for append - logging terminated"},
              BoxTexts());
    EXPECT_EQ("Command line args:  SAS LOG", TraceLines().back());
}

TEST_F(LauncherTest, TempUnsetOrTooLongLeavesTracingOff)
{
    /* TEMP and "\launcher.log" must fit 299 characters: TEMP of 286 does, 287 does not. */
    const struct {
        size_t length; /* 0: unset */
        bool traced;
    } cases[] = {{0, false}, {286, true}, {287, false}};
    for (auto &c : cases) {
        NewMachine();
        std::string temp = "C:"; /* in folders of at most 50 characters, as the host allows */
        while (temp.size() < c.length)
            temp += "\\" + std::string(std::min<size_t>(50, c.length - temp.size() - 1), 't');
        if (c.length == 0) {
            hw::UnsetEnv("TEMP");
        } else {
            hw::SetEnv("TEMP", temp);
            hw::MakeDir(temp);
        }
        EXPECT_EQ(0, Run("LOG")) << c.length;
        EXPECT_EQ(c.traced, c.length > 0 && hw::Exists(temp + "\\launcher.log")) << c.length;
        EXPECT_EQ(1u, hw::Launches().size()) << c.length;
    }
}

TEST_F(LauncherTest, TempWithTrailingBackslashGivesTwoBackslashes)
{
    hw::SetEnv("TEMP", "C:\\Temp\\");
    EXPECT_EQ(0, Run("LOG"));
    EXPECT_EQ("Begin: WinMain().", TraceLines().front());
}

TEST_F(LauncherTest, CommandLineTooLongForWindowsIsNeverCut)
{
    std::string args = "LOG" + std::string(32760, 'a');
    EXPECT_EQ(0, Run(args));
    EXPECT_TRUE(hw::Launches().empty());
    EXPECT_EQ(std::vector<std::string>{"Could not run BV_SETUP.EXE"}, BoxTexts());
    std::string shorter = std::string(32000, 'a');
    EXPECT_EQ(0, Run(shorter));
    ASSERT_EQ(1u, hw::Launches().size());
    EXPECT_EQ("C:\\Setup Package\\bv_setup.exe SAS " + shorter, hw::Launches()[0].command_line);
}

TEST_F(LauncherTest, GuidThatClimbsOutOfItsFolderIsTheGuidStopAndNearMissesRun)
{
    /* Where the climbing value would lead on the Program Files route. */
    const std::string outside = "C:\\escape\\{}\\setup.zmf";
    const struct {
        std::string value;
        bool refused;
    } cases[] = {
        {"x}\\..\\..\\..\\escape\\{", true},
        {"..", true},
        {"1234..ABCD", true},
        {"x/y", true},
        {"C:x", true},
        {"x\\y", true},
        {"1234 ABCD", false},
        {"1234-abcd", false},
        {"1234.ABCD", false},
        {std::string(97, 'G'), false},
        {"{1234-ABCD}", false},
    };
    hw::WriteFile(outside, "not the launcher's");
    for (const auto &c : cases) {
        hw::WriteFile(std::string(kPackageDir) + "data.tag",
                      "[TagInfo]\nProjectGUID=" + c.value + "\n");
        size_t launches = hw::Launches().size();
        EXPECT_EQ(c.refused ? 1 : 0, Run("LOG")) << c.value;
        if (c.refused) {
            EXPECT_EQ("Error reading GUID from DATA.TAG", BoxTexts().back()) << c.value;
            EXPECT_EQ(launches, hw::Launches().size()) << c.value;
        } else {
            EXPECT_TRUE(Contains(TraceLines(), "GUID={" + c.value + "}")) << c.value;
        }
    }
    EXPECT_EQ("not the launcher's", hw::ReadFile(outside));
}
