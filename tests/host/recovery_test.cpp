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
