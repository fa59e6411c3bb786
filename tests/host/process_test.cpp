#include "fixture.h"
#include "process/imagerunning.h"
#include "process/launchapp.h"

class ProcessTest : public LauncherTest
{
  protected:
    static void AddExe(DWORD pid, const std::string &exe, std::vector<std::string> modules = {})
    {
        hw::Process p;
        p.pid = pid;
        p.exe_file = exe;
        p.modules = modules.empty() ? std::vector<std::string>{"C:\\x\\" + exe} : modules;
        hw::AddProcess(p);
    }
    static void UseNt4()
    {
        hw::SetVersion(0x05650004); /* NT 4.0, build 1381 */
    }
    static int Launch(char *cmdline)
    {
        return LaunchApp("C:\\Setup Package\\bv_setup.exe", cmdline);
    }
};

TEST_F(ProcessTest, EngineExitCodesMapToTheLaunchResult)
{
    char cmdline[] = "C:\\Setup Package\\bv_setup.exe SAS ";
    const struct {
        DWORD code;
        int result;
    } cases[] = {{0, 1}, {1, 0}, {0xFFFFFFFFu, 0}, {STILL_ACTIVE, 0}};
    for (auto c : cases) {
        hw::NextEngine().exit_code = c.code;
        EXPECT_EQ(c.result, Launch(cmdline)) << c.code;
    }
    EXPECT_EQ(0, hw::OpenHandleCount());
    const hw::Launch &l = hw::Launches().back();
    EXPECT_EQ((DWORD)(CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP), l.flags);
    EXPECT_TRUE(l.inherit);
    EXPECT_TRUE(l.environment_null && l.current_dir_null);
    EXPECT_EQ((DWORD)sizeof(STARTUPINFOA), l.startup.cb);
    EXPECT_EQ((DWORD)STARTF_USESHOWWINDOW, l.startup.dwFlags);
    EXPECT_EQ(SW_HIDE, l.startup.wShowWindow);
    EXPECT_EQ(nullptr, l.startup.hStdInput);
}

TEST_F(ProcessTest, ExitCodeReadsThatKeepFailingEndAsANonZeroCode)
{
    char cmdline[] = "x";
    hw::NextEngine().failed_exit_reads = 3;
    EXPECT_EQ(1, Launch(cmdline)) << "a few failed reads are repeated";
    hw::NextEngine().failed_exit_reads = 1000000;
    EXPECT_EQ(0, Launch(cmdline));
    EXPECT_LT(hw::CallCount("GetExitCodeProcess"), 1000);
    EXPECT_EQ(0, hw::OpenHandleCount());
}

TEST_F(ProcessTest, WaitThatDidNotSeeTheEndIsRepeatedWhileTheEngineRuns)
{
    char cmdline[] = "x";
    hw::NextEngine().wait_result = WAIT_FAILED;
    hw::NextEngine().still_active_reads = 150;
    EXPECT_EQ(1, Launch(cmdline)) << "the engine's own exit code 0, once it has ended";
    EXPECT_EQ(151, hw::CallCount("WaitForSingleObject"));
    hw::NextEngine().wait_result = WAIT_OBJECT_0;
    hw::NextEngine().still_active_reads = 1;
    EXPECT_EQ(0, Launch(cmdline)) << "after a reported end, 259 is the engine's own code";
    EXPECT_EQ(152, hw::CallCount("WaitForSingleObject"));
}

TEST_F(ProcessTest, MissingEngineIsMinusOneWithoutAWait)
{
    char cmdline[] = "x";
    EXPECT_EQ(-1, LaunchApp("C:\\nowhere\\bv_setup.exe", cmdline));
    EXPECT_EQ(0, hw::CallCount("WaitForSingleObject"));
}

TEST_F(ProcessTest, ToolhelpMatchesTheWholeFileNameIgnoringAsciiCase)
{
    AddExe(10, "BV_SETUP.EXE");
    EXPECT_EQ(1, IsImageRunning("bv_setup.exe"));
    hw::Processes().clear();
    AddExe(11, "Bv_Setup.Exe");
    EXPECT_EQ(1, IsImageRunning("bv_setup.exe"));
    hw::Processes().clear();
    AddExe(12, "xbv_setup.exe");
    AddExe(13, "bv_setup.exe ");
    AddExe(14, "bv_setup.ex\xc5");
    EXPECT_EQ(0, IsImageRunning("bv_setup.exe"));
    /* The consumer family reports the full path: its file name part is compared. */
    AddExe(15, "C:\\SETUP\\BV_SETUP.EXE");
    EXPECT_EQ(1, IsImageRunning("bv_setup.exe"));
    EXPECT_EQ(0, hw::LoadedLibraryCount());
    EXPECT_EQ(0, hw::OpenHandleCount());
}

TEST_F(ProcessTest, PsapiOnNt4SearchesEveryModulePathCaseSensitively)
{
    UseNt4();
    AddExe(20, "a.exe", {"C:\\SETUP\\BV_SETUP.EXE"});
    EXPECT_EQ(0, IsImageRunning("bv_setup.exe"));
    AddExe(21, "b.exe", {"C:\\b.exe", "C:\\bv_setup.exe.old\\lib.dll"});
    EXPECT_EQ(1, IsImageRunning("bv_setup.exe"));
    EXPECT_EQ(std::string("C:\\WINDOWS\\system32\\psapi.dll"), hw::LoadedLibraryNames().back());
    for (DWORD mask : hw::OpenProcessMasks())
        EXPECT_EQ(0x410u, mask);
    EXPECT_EQ(0, hw::LoadedLibraryCount());
    EXPECT_EQ(0, hw::OpenHandleCount());
}

TEST_F(ProcessTest, PsapiPassesOverProcessesItCannotOpenOrList)
{
    UseNt4();
    hw::Process locked;
    locked.pid = 30;
    locked.modules = {"C:\\bv_setup.exe"};
    locked.openable = false;
    hw::AddProcess(locked);
    locked.pid = 31;
    locked.openable = true;
    locked.modules_listable = false;
    hw::AddProcess(locked);
    locked.pid = 32;
    locked.modules_listable = true;
    locked.unreadable_modules = {0};
    hw::AddProcess(locked);
    EXPECT_EQ(0, IsImageRunning("bv_setup.exe"));
    EXPECT_EQ(0, hw::OpenHandleCount());
}

TEST_F(ProcessTest, OnlyTheFirst1024ProcessesAndModulesAreExamined)
{
    UseNt4();
    for (DWORD i = 0; i < 1024; i++)
        AddExe(100 + i, "other.exe");
    AddExe(5000, "bv_setup.exe");
    EXPECT_EQ(0, IsImageRunning("bv_setup.exe"));
    hw::Processes().clear();
    std::vector<std::string> modules(1024, "C:\\m.dll");
    modules.push_back("C:\\bv_setup.exe");
    AddExe(1, "a.exe", modules);
    EXPECT_EQ(0, IsImageRunning("bv_setup.exe"));
    hw::Processes()[0].modules[1023] = "C:\\bv_setup.exe";
    EXPECT_EQ(1, IsImageRunning("bv_setup.exe"));
}

TEST_F(ProcessTest, EveryFailureAnswersNoAndReleasesWhatItTook)
{
    AddExe(1, "bv_setup.exe", {"C:\\bv_setup.exe"});
    struct Case {
        bool nt4;
        const char *call;
        const char *missing_entry;
    } cases[] = {
        {false, "LoadLibraryA", nullptr},
        {false, nullptr, "CreateToolhelp32Snapshot"},
        {false, nullptr, "Process32Next"},
        {false, nullptr, "Module32Next"},
        {false, "CreateToolhelp32Snapshot", nullptr},
        {false, "Process32First", nullptr},
        {true, "LoadLibraryA", nullptr},
        {true, "GetSystemDirectoryA", nullptr},
        {true, nullptr, "GetModuleFileNameExA"},
        {true, "EnumProcesses", nullptr},
    };
    for (const Case &c : cases) {
        NewMachine();
        AddExe(1, "bv_setup.exe", {"C:\\bv_setup.exe"});
        if (c.nt4)
            UseNt4();
        if (c.call != nullptr)
            hw::FailCall(c.call);
        if (c.missing_entry != nullptr) {
            std::vector<std::string> th = {"CreateToolhelp32Snapshot", "Process32First",
                                           "Process32Next", "Module32First", "Module32Next"};
            std::vector<std::string> ps = {"EnumProcesses", "EnumProcessModules",
                                           "GetModuleFileNameExA"};
            std::vector<std::string> &entries = c.nt4 ? ps : th;
            entries.erase(std::find(entries.begin(), entries.end(), c.missing_entry));
            hw::SetLibrary(c.nt4 ? "C:\\WINDOWS\\system32\\psapi.dll" : "kernel32.dll", true,
                           entries);
        }
        EXPECT_EQ(0, IsImageRunning("bv_setup.exe")) << (c.call ? c.call : c.missing_entry);
        EXPECT_EQ(0, hw::LoadedLibraryCount()) << (c.call ? c.call : c.missing_entry);
        EXPECT_EQ(0, hw::OpenHandleCount()) << (c.call ? c.call : c.missing_entry);
    }
}

TEST_F(ProcessTest, GuardRefusesToStartWhileAnEngineRuns)
{
    AddExe(1, "bv_setup.exe");
    EXPECT_EQ(1, Run("LOG"));
    EXPECT_EQ(std::vector<std::string>{"An instance of this Setup is already running.  Please "
                                       "close all Setups before running this one."},
              BoxTexts());
    EXPECT_EQ("Begin: WinMain().", TraceLines().back()) << "no line of its own";
    EXPECT_TRUE(hw::Launches().empty());
    EXPECT_EQ(1u, hw::Processes().size()) << "the running engine is left alone";
}

TEST_F(ProcessTest, WaitLoopPollsUntilTheEnginesCopyHasEnded)
{
    hw::NextEngine().copy_scans = 3;
    ASSERT_EQ(0, Run("LOG"));
    std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(4, hw::SleepCount());
    EXPECT_EQ(20u, hw::SleptMs());
    EXPECT_TRUE(Contains(lines, "Waiting for bv_setup.exe to terminate: 20 seconds elapsed"));
    EXPECT_FALSE(Contains(lines, "Waiting for bv_setup.exe to terminate: 25 seconds elapsed"));
    EXPECT_EQ(1, hw::CallCount("GetVersion")) << "one version query per run";
}
