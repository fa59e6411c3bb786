#include "earlier_installation.h"

TEST_F(EarlierInstallationTest, RecoveryThatCannotPutBackKeepsEveryRecordForTheNextRun)
{
    const Scenario s = AllScenarios()[0];
    const struct {
        const char *call, *argument; /* its first call on that argument fails */
        const char *what;
    } faults[] = {
        {"RegOpenKeyExA", "Setup Launcher", "the journal cannot be opened"},
        {"RegQueryValueExA", "UninstallString", "the journal's copy cannot be read"},
        {"RegSetValueExA", "UninstallString", "the copy cannot be written back"},
    };
    Plant(s);
    RunWithEngine(s);
    std::vector<std::string> log = hw::CallLog();
    int engine_runs = (int)(std::find(log.begin(), log.end(), "WaitForSingleObject") - log.begin());
    for (auto &f : faults) {
        Plant(s);
        ASSERT_EQ(hw::kKilled, RunWithEngine(s, engine_runs + 1));
        hw::FailCall(f.call, ERROR_ACCESS_DENIED, 1, 0, f.argument);
        EXPECT_EQ(1, Run("LOG")) << f.what;
        EXPECT_EQ(
            std::vector<std::string>{"Could not put back what an interrupted Setup set aside"},
            BoxTexts())
            << f.what;
        EXPECT_TRUE(hw::Launches().size() == 1) << "no engine is started: " << f.what;
        EXPECT_TRUE(hw::RegKeyExists(kJournalKey)) << f.what;
        EXPECT_TRUE(hw::Exists(s.dir + "uninst.dat")) << f.what;
        EXPECT_EQ("", CleanRunThenDifference(s)) << f.what;
    }
}

TEST_F(EarlierInstallationTest, StaleBackupLogWithoutAJournalGivesWayToTheSetupLog)
{
    const Scenario s = AllScenarios()[0];
    Plant(s);
    hw::WriteFile(s.dir + "setup.z_f", "stale backup of no run");
    std::string aside;
    hw::NextEngine().on_run = [&] { aside = hw::ReadFile(s.dir + "setup.z_f"); };
    ASSERT_EQ(0, Run(""));
    EXPECT_EQ(kOriginalLog, aside);
    EXPECT_EQ(kOriginalLog, hw::ReadFile(s.dir + "setup.zmf"));
    EXPECT_FALSE(hw::Exists(s.dir + "setup.z_f"));
}

TEST(StandIn, FaultOnACallItDoesNotKnowStopsTheTestProgram)
{
    EXPECT_DEATH(hw::FailCall("RegOpenKeyEx"), "no call named \"RegOpenKeyEx\"");
}

/* The lines of a trace from the first line that starts with `from` up to the first after it
** that starts with `to`, both included. */
static std::vector<std::string> Slice(const std::vector<std::string> &lines,
                                      const std::string &from, const std::string &to)
{
    auto begin = std::find_if(lines.begin(), lines.end(),
                              [&](const std::string &l) { return l.rfind(from, 0) == 0; });
    auto end =
        std::find_if(begin, lines.end(), [&](const std::string &l) { return l.rfind(to, 0) == 0; });
    return std::vector<std::string>(begin, end == lines.end() ? end : end + 1);
}

TEST_F(EarlierInstallationTest, TraceShowsEveryStepOfSettingAsideAndPuttingBack)
{
    const std::string open[] = {
        "Begin: OpenUninstallString().",
        "Uninstall key: uninstkey:\"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{1234-"
        "ABCD}\"",
        "End: OpenUninstallString()."};
    const struct {
        const char *course;
        int scenario;             /* the engine writes no log: 1 by uninstall command, 16 not */
        long journal_copy_status; /* the copy's save fails with it; 0: it works */
        size_t value_size;        /* 0: the scenario's own */
        std::vector<std::string> aside, back;
    } courses[] = {
        {"taken away and put back",
         1,
         0,
         0,
         {"Query UninstallString for size: return from ReqQueryValueEx(): 0",
          "Query UninstallString: return from ReqQueryValueEx(): 0",
          "Save UninstallString to journal: return from ReqSetValueEx(): 0",
          "Delete UninstallString: return from ReqDeleteValue(): 0"},
         {"Set UninstallString: return from ReqSetValueEx(): 0"}},
        {"no copy in the journal: left in place",
         1,
         ERROR_ACCESS_DENIED,
         0,
         {"Query UninstallString for size: return from ReqQueryValueEx(): 0",
          "Query UninstallString: return from ReqQueryValueEx(): 0",
          "Save UninstallString to journal: return from ReqSetValueEx(): 5",
          "UninstallString not saved: not deleted"},
         {"Query UninstallString: return from ReqQueryValueEx(): 0"}},
        {"too long for the stash (and the uninstall command route): left in place",
         16,
         0,
         400,
         {"Query UninstallString for size: return from ReqQueryValueEx(): 0",
          "UninstallString of 400 bytes does not fit the stash: left in place",
          "UninstallString not read: not deleted"},
         {}},
    };
    for (auto &c : courses) {
        const Scenario s = AllScenarios()[c.scenario];
        const std::string dir = c.scenario == 1 ? "C:\\APPS\\BREVANE\\{1234-ABCD}\\" : s.dir;
        Plant(s);
        if (c.value_size > 0)
            hw::RegSetString(kUninstallKey, "UninstallString",
                             s.command + std::string(c.value_size - 1 - s.command.size(), 'x'));
        if (c.journal_copy_status != 0)
            hw::FailCall("RegSetValueExA", c.journal_copy_status, 1, 0, "UninstallString");
        ASSERT_EQ(0, RunWithEngine(s)) << c.course;
        std::vector<std::string> aside = {
            "Log file (setup.zmf) found at:" + dir + "setup.zmf",
            "Save SetupLog to journal: return from ReqSetValueEx(): 0",
            "Rename of log file to " + dir + "setup.z_f returned: 0",
            "Begin: RemoveUninstallString()."};
        aside.insert(aside.end(), open, open + 3);
        aside.insert(aside.end(), c.aside.begin(), c.aside.end());
        aside.push_back("End: RemoveUninstallString().");
        std::vector<std::string> back = {"Deleting log file: return from remove(): -1",
                                         "Renaming log file: return from rename(): 0",
                                         "Begin: RestoreUninstallString()."};
        if (c.back.empty()) {
            back.push_back("UninstallString was not read: nothing to set");
        } else {
            back.insert(back.end(), open, open + 3);
            back.insert(back.end(), c.back.begin(), c.back.end());
        }
        back.insert(back.end(),
                    {"End: RestoreUninstallString().",
                     "Delete journal: return from RegDeleteKey(): 0", "End: WinMain()."});
        std::vector<std::string> lines = TraceLines();
        EXPECT_EQ(aside, Slice(lines, "Log file (setup.zmf) found", "End: RemoveUninstallString"))
            << c.course;
        EXPECT_EQ(back, Slice(lines, "Deleting log file", "End: WinMain")) << c.course;
    }
}

TEST_F(EarlierInstallationTest, TraceShowsEveryStepOfARecovery)
{
    const Scenario s = AllScenarios()[1];
    Plant(s);
    RunWithEngine(s, 0, "");
    std::vector<std::string> log = hw::CallLog();
    int engine_runs = (int)(std::find(log.begin(), log.end(), "WaitForSingleObject") - log.begin());
    Plant(s);
    ASSERT_EQ(hw::kKilled, RunWithEngine(s, engine_runs + 1, ""));
    hw::WriteFile(s.dir + "setup.zmf", "the killed run's engine's log");
    hw::NextEngine() = hw::Engine();
    ASSERT_EQ(0, Run("LOG"));
    const std::string dir = "C:\\APPS\\BREVANE\\{1234-ABCD}\\";
    std::vector<std::string> expected = {
        "Begin: RecoverInterruptedRun().",
        "Journal: RegOpenKeyEx() returned: 0",
        "Query journal UninstallString: return from ReqQueryValueEx(): 0",
        "Begin: OpenUninstallString().",
        "Uninstall key: uninstkey:\"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{1234-"
        "ABCD}\"",
        "End: OpenUninstallString().",
        "Set UninstallString: return from ReqSetValueEx(): 0",
        "Journal setup log=" + dir + "setup.zmf",
        "Backup log left by an interrupted run=" + dir + "setup.z_f",
        "Deleting log file: return from remove(): 0",
        "Renaming log file: return from rename(): 0",
        "Stash record left by an interrupted run=" + dir + "uninst.dat",
        "Deleting stash record: return from remove(): 0",
        "Delete journal: return from RegDeleteKey(): 0",
        "End: RecoverInterruptedRun().",
    };
    EXPECT_EQ(expected,
              Slice(TraceLines(), "Begin: RecoverInterruptedRun", "End: RecoverInterrupted"));
    EXPECT_EQ(0, hw::OpenKeyCount());
    EXPECT_EQ("", CleanRunThenDifference(s));
}

/* A journal that names the setup log but holds no copy of the value: the stash record beside
** the log is the copy. */
TEST_F(EarlierInstallationTest, StashRecordIsTheCopyWhereTheJournalHoldsNone)
{
    const std::string longest(499, 'c'); /* with its zero it just fits the stash */
    const std::string nul(1, '\0');
    const struct {
        std::string record, restored; /* "" restores nothing */
    } cases[] = {
        {"UninstallString=C:\\u.exe" + nul + "junk", "C:\\u.exe" + nul},
        {"UninstallString=C:\\u.exe", "C:\\u.exe" + nul}, /* ends at the end of the file */
        {"UninstallString=" + longest + nul, longest + nul},
        {"UninstallString=" + longest + "c", ""},
        {"UninstallString=", ""},
        {"Something=else", ""},
    };
    const Scenario s = AllScenarios()[1];
    for (auto &c : cases) {
        NewMachine();
        hw::RegCreateKey(kUninstallKey);
        hw::RegSetString(kJournalKey, "SetupLog", s.dir + "setup.zmf");
        hw::WriteFile(s.dir + "setup.z_f", kOriginalLog);
        hw::WriteFile(s.dir + "uninst.dat", c.record);
        ASSERT_EQ(0, Run("")) << c.record;
        hw::RegValue v;
        EXPECT_EQ(!c.restored.empty(), hw::RegGet(kUninstallKey, "UninstallString", &v));
        if (!c.restored.empty()) {
            EXPECT_EQ(c.restored, v.bytes);
            EXPECT_EQ((DWORD)REG_SZ, v.type);
        }
        EXPECT_EQ(kOriginalLog, hw::ReadFile(s.dir + "setup.zmf"));
        EXPECT_FALSE(hw::Exists(s.dir + "uninst.dat"));
        EXPECT_FALSE(hw::RegKeyExists(kJournalKey));
    }
}

/* What the journal names, and only that, is acted on: a copy of the value alone, or a log
** that cannot be cleared for the backup to come back. */
TEST_F(EarlierInstallationTest, JournalIsActedOnAsFarAsItGoes)
{
    const Scenario s = AllScenarios()[1];
    Plant(s);
    hw::RegRemoveValue(kUninstallKey, "UninstallString");
    hw::RegSet(kJournalKey, "UninstallString", s.type, s.Bytes()); /* no SetupLog */
    EXPECT_EQ(0, Run(""));
    EXPECT_EQ("", CleanRunThenDifference(s));

    Plant(s);
    hw::RegSetString(kJournalKey, "SetupLog", s.dir + "setup.zmf");
    std::remove(hw::HostPath(s.dir + "setup.zmf").c_str());
    hw::WriteFile(s.dir + "setup.z_f", kOriginalLog);
    hw::MakeDir(s.dir + "setup.zmf"); /* a folder where the newer log would be */
    EXPECT_EQ(1, Run(""));
    EXPECT_EQ(kOriginalLog, hw::ReadFile(s.dir + "setup.z_f"));
    EXPECT_TRUE(hw::RegKeyExists(kJournalKey));
    EXPECT_EQ(0, hw::OpenKeyCount());
}
