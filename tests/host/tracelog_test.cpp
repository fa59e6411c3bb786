/* The trace log lies in the unelevated user's TEMP: whatever is planted there, the elevated
** launcher never writes another file through it. Where nobody can see a box, it is traced. */
#include "fixture.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers" /* processes by {} */

static const char kTarget[] = "C:\\WINDOWS\\system.ini"; /* only the administrator may write */
static const char kEnd[] = "trace:End: WinMain().\n";
static const char kReopenBox[] = "box:Could not re-open logfile for append - logging terminated";
static const std::string kNotShown = "trace:Box not shown, no interactive window station: ";

static void Plant(bool hard)
{
    hw::RemoveFile(kTraceLog);
    if (hard)
        hw::HardLink(kTarget, kTraceLog);
    else
        hw::SymLink(kTarget, kTraceLog);
}

/* A link planted before the run or while the engine runs, a failing call, the version; what the
** run traced or showed last ("": nothing; nullptr: nor was a file deleted or created). */
TEST_F(LauncherTest, TraceLogIsNeverWrittenThroughALinkNorAtAPathThatCannotBeMade)
{
    enum Plan { None, Hard, Symbolic, HardLate, SymbolicLate, EmptyTemp, LongTemp };
    const DWORD xp = 0x0A280105, nt4 = 0x05650004;
    const std::tuple<Plan, const char *, DWORD, const char *> cases[] = {
        {Hard, "", xp, kEnd},           {Symbolic, "", xp, kEnd},
        {HardLate, "", xp, kReopenBox}, {SymbolicLate, "", xp, kReopenBox},
        {Hard, "remove", xp, ""},       {None, "_open_osfhandle", xp, ""},
        {None, "_fdopen", xp, ""},      {None, "", nt4, kEnd},
        {EmptyTemp, "", xp, nullptr},   {LongTemp, "", xp, nullptr},
    };
    for (const auto &[plan, fail, version, last] : cases) {
        NewMachine();
        hw::SetVersion(version);
        hw::WriteFile(kTarget, "[boot]\r\n");
        hw::NextEngine().copies = {{4300, "bv_setup.exe", {}, 3}};
        if (plan == Hard || plan == Symbolic)
            Plant(plan == Hard);
        if (plan == HardLate || plan == SymbolicLate)
            hw::NextEngine().on_run = [hard = plan == HardLate] { Plant(hard); };
        if (plan == EmptyTemp || plan == LongTemp) /* with "\launcher.log" 300 characters */
            hw::SetEnv("TEMP", plan == EmptyTemp ? "" : "C:\\" + std::string(284, 't'));
        hw::FailCall(fail[0] != '\0' ? fail : "Sleep"); /* Sleep's failure changes nothing */
        EXPECT_EQ(0, Run("LOG"));
        const std::vector<std::string> timeline = Timeline();
        std::vector<std::string> opens; /* of the trace log, and of its folder to flush it */
        for (const std::string &path : hw::Arguments("CreateFileA"))
            if (path.rfind("C:\\Temp", 0) == 0)
                opens.push_back(path);
        EXPECT_EQ(std::string(last ? last : ""), timeline.empty() ? "" : timeline.back())
            << plan << fail << version;
        EXPECT_TRUE(last != kEnd || TraceText().rfind("Begin: WinMain().\n", 0) == 0)
            << "a new file";
        EXPECT_TRUE(last || hw::CallCount("remove") + opens.size() == 0);
        EXPECT_TRUE(opens.size() < 2 ||
                    (version == xp) == (opens.back().find("link itself") != std::string::npos));
        EXPECT_EQ("[boot]\r\n", hw::ReadFile(kTarget));
        EXPECT_EQ(0, hw::LeftOpen());
        EXPECT_EQ(1, hw::CallCount("CreateProcessA"));
        EXPECT_EQ(5u, hw::SleptMs()) << "the copy is waited on, not polled";
    }
}

/* Where the window station is known to be invisible a box is traced instead and the run goes on
** as after OK; without window stations (9x) or their answer it is shown; without user32 or its
** MessageBoxA there is none. user32 is loaded by its full path, for a box only. */
TEST_F(LauncherTest, BoxesNobodyCanSeeAreTracedInsteadAndTheRunGoesOn)
{
    enum Box { Shown, Traced, None };
    const std::string m = "MessageBoxA", s = "GetProcessWindowStation",
                      i = "GetUserObjectInformationA";
    const std::tuple<bool, bool, std::vector<std::string>, std::string, Box> sessions[] = {
        {true, true, {m, s, i}, "", Shown}, /* the run the others are compared with */
        {false, true, {m, s, i}, "", Traced}, {false, true, {m}, "", Shown},
        {false, true, {m, s}, "", Shown},     {false, true, {m, s, i}, s, Shown},
        {false, true, {m, s, i}, i, Shown},   {true, false, {m, s, i}, "", None},
        {true, true, {s, i}, "", None},
    };
    const std::tuple<std::string, std::string, int, std::string> stops[] = {
        /* an engine runs, or a fault; the line traced after the box */
        {"", kRunning, 1, ""},
        {"GetFileAttributesA", "Cannot find DATA.TAG", 1, "Cannot find DATA.TAG - aborting"},
        {"CreateProcessA", "Could not run BV_SETUP.EXE", 1,
         "Waiting for bv_setup.exe to terminate: 5 seconds elapsed"},
    };
    auto user32_loads = [] {
        const std::vector<std::string> names = hw::Arguments("LoadLibraryA");
        return std::count(names.begin(), names.end(), kUser32);
    };
    ASSERT_EQ(0, Run("LOG"));
    EXPECT_EQ(0, user32_loads()) << "a run without a box";
    for (const auto &[cause, box, exit_code, after] : stops) {
        std::vector<std::string> seen;
        for (const auto &[visible, loadable, calls, fail, shown] : sessions) {
            NewMachine();
            hw::SetWindowStationVisible(visible);
            hw::SetLibrary(kUser32, loadable, calls);
            hw::AddProcess({1, cause.empty() ? "bv_setup.exe" : "other.exe"});
            hw::FailCall(cause.empty() ? "Sleep" : cause);
            hw::FailCall(fail.empty() ? "Sleep" : fail);
            EXPECT_EQ(exit_code, Run("LOG")) << box;
            std::vector<std::string> want = seen = seen.empty() ? Timeline() : seen;
            auto at = std::find(want.begin(), want.end(), "box:" + box);
            ASSERT_NE(want.end(), at) << box;
            if (shown == Traced)
                *at = kNotShown + box + "\n";
            else if (shown == None)
                want.erase(at);
            EXPECT_EQ(want, Timeline()) << visible << loadable << calls.size() << fail;
            for (const hw::Event &e : hw::Events())
                EXPECT_TRUE(e.kind != hw::Event::Box ||
                            (e.caption == "Launcher Error" && e.flags == 0x10u && !e.has_owner));
            EXPECT_EQ(1, user32_loads());
            EXPECT_EQ(cause == "CreateProcessA", hw::CallCount("CreateProcessA"));
            EXPECT_EQ(0, hw::LeftOpen());
        }
        /* The box comes before the line that tells the stop; the engine guard traces none. */
        auto at = std::find(seen.begin(), seen.end(), "box:" + box);
        EXPECT_EQ(after.empty() ? "" : "trace:" + after + "\n", at + 1 < seen.end() ? at[1] : "");
        EXPECT_TRUE(!cause.empty() || seen.size() == 2);
    }
}

/* Windows 10: the trace log is deleted, created and reopened only where TEMP really lies. A
** link on TEMP's way takes the log with it; a link in its name's place that every open follows
** (an object-manager link behind a mount point), planted before the run or while the engine
** runs, leaves the file it names untouched and the run going. */
TEST_F(LauncherTest, TraceLogIsTouchedOnlyWhereTempReallyLies)
{
    enum Plan { TempLinked, ParentLinked, NameLinked, NameLinkedLate, NameLinkedBeside };
    const std::tuple<Plan, const char *, const char *, const char *> cases[] = {
        /* TEMP, where the log lies ("": nowhere), what the run traced or showed last */
        {TempLinked, "C:\\Link", "C:\\Real\\launcher.log", kEnd},
        {ParentLinked, "C:\\Users\\u\\Temp", "C:\\Real\\u\\Temp\\launcher.log", kEnd},
        {NameLinked, "C:\\Temp", "", ""},
        {NameLinkedLate, "C:\\Temp", "", kReopenBox},
        {NameLinkedBeside, "C:\\Temp", "", ""}, /* to a name as long, in TEMP itself */
    };
    for (const auto &[plan, temp, log, last] : cases) {
        NewMachine();
        hw::WriteFile(kTarget, "[boot]\r\n");
        hw::SetEnv("TEMP", temp);
        if (plan == TempLinked || plan == ParentLinked) {
            hw::MakeDir(plan == TempLinked ? "C:\\Real" : "C:\\Real\\u\\Temp");
            hw::SymLink("C:\\Real", plan == TempLinked ? "C:\\Link" : "C:\\Users");
        }
        if (plan == NameLinked)
            hw::SymLink(kTarget, kTraceLog, true);
        if (plan == NameLinkedBeside) {
            hw::WriteFile("C:\\Temp\\launcher.ini", "[boot]\r\n");
            hw::SymLink("C:\\Temp\\launcher.ini", kTraceLog, true);
        }
        if (plan == NameLinkedLate)
            hw::NextEngine().on_run = [] {
                hw::RemoveFile(kTraceLog);
                hw::SymLink(kTarget, kTraceLog, true);
            };
        EXPECT_EQ(0, Run("LOG")) << plan;
        const std::vector<std::string> timeline = Timeline();
        EXPECT_EQ(last, timeline.empty() ? "" : timeline.back()) << plan;
        EXPECT_TRUE(*log == '\0' ||
                    hw::ReadFile(log).find("End: WinMain().\r\n") != std::string::npos)
            << plan;
        EXPECT_EQ("[boot]\r\n", hw::ReadFile(kTarget)) << plan;
        EXPECT_TRUE(plan != NameLinkedBeside ||
                    hw::ReadFile("C:\\Temp\\launcher.ini") == "[boot]\r\n");
        EXPECT_EQ(0, hw::LeftOpen()) << plan;
    }
}

/* The wait for the engine's copies may last hours and be ended from outside: a run killed while
** it waits has left its launch result, the engine's exit code and each round in the file. */
TEST_F(LauncherTest, TraceOfAWaitKilledFromOutsideShowsTheEnginesCodeAndTheRounds)
{
    auto run = [&](int kill_at) {
        NewMachine();
        hw::NextEngine().exit_code = 3010;
        hw::NextEngine().copies = {{4300, "bv_setup.exe", {}, 3}};
        hw::KillBeforeCall(kill_at);
        return Run("LOG");
    };
    ASSERT_EQ(3010, run(0));
    const std::vector<std::string> &log = hw::CallLog();
    const int waiting =
        (int)(std::find(log.rbegin(), log.rend(), "WaitForMultipleObjects").base() - log.begin());
    ASSERT_EQ(hw::kKilled, run(waiting));
    const std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "BV setup exit code=3010 (0x00000BC2)"));
    EXPECT_EQ("Waiting for bv_setup.exe to terminate: 5 seconds elapsed", lines.back());
}
