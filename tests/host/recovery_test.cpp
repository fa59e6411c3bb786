#include "fixture.h"

static const std::string kDir =
    "C:\\Program Files\\Brevane Installation Information\\{1234-ABCD}\\";

class RecoveryTest : public LauncherTest
{
  protected:
    const std::string command = "C:\\x\\LaunchSetup \"" + kDir + "bv_setup.exe\" /u";
    std::string Terminated(const std::string &s)
    {
        return std::string(s.c_str(), s.size() + 1);
    }

    /* What a run killed while its engine ran leaves behind. */
    void LeaveInterruptedRun(bool with_journal, bool with_new_log)
    {
        hw::RegCreateKey(kUninstallKey);
        if (with_journal)
            hw::RegSet(kUninstallKey, "LauncherSavedUninstallString", REG_EXPAND_SZ,
                       Terminated(command));
        hw::WriteFile(kDir + "setup.z_f", "original log");
        hw::WriteFile(kDir + "uninst.dat", "UninstallString=" + Terminated(command));
        if (with_new_log)
            hw::WriteFile(kDir + "setup.zmf", "interrupted engine's log");
    }

    void ExpectNothingLost(DWORD type)
    {
        EXPECT_EQ("original log", hw::ReadFile(kDir + "setup.zmf"));
        EXPECT_FALSE(hw::Exists(kDir + "setup.z_f"));
        EXPECT_FALSE(hw::Exists(kDir + "uninst.dat"));
        hw::RegValue v;
        ASSERT_TRUE(hw::RegGet(kUninstallKey, "UninstallString", &v));
        EXPECT_EQ(type, v.type);
        EXPECT_EQ(Terminated(command), v.bytes);
        EXPECT_FALSE(hw::RegGet(kUninstallKey, "LauncherSavedUninstallString", nullptr));
    }
};

TEST_F(RecoveryTest, JournalAndBackupOfAKilledRunComeBackWithTheirTypeAndBytes)
{
    for (bool new_log : {false, true}) {
        SetUp();
        LeaveInterruptedRun(true, new_log);
        bool set_aside_again = false;
        hw::NextEngine().on_run = [&] {
            set_aside_again = hw::ReadFile(kDir + "setup.z_f") == "original log" &&
                              !hw::RegGet(kUninstallKey, "UninstallString", nullptr);
        };
        ASSERT_EQ(0, Run("LOG"));
        EXPECT_TRUE(set_aside_again) << "the run goes on with the recovered installation";
        ExpectNothingLost(REG_EXPAND_SZ);
    }
}

TEST_F(RecoveryTest, StashRecordIsTheOnlyRecordWithoutAJournal)
{
    LeaveInterruptedRun(false, true);
    ASSERT_EQ(0, Run("LOG"));
    ExpectNothingLost(REG_SZ);
}

TEST_F(RecoveryTest, StashRecordTextEndsAtItsZeroOrAtTheEndOfTheFile)
{
    const std::string longest(499, 'c'); /* with its terminator it just fits the stash */
    const struct {
        std::string record, restored;
    } cases[] = {
        {"UninstallString=" + Terminated("C:\\u.exe") + "junk", Terminated("C:\\u.exe")},
        {"UninstallString=C:\\u.exe", Terminated("C:\\u.exe")},
        {"UninstallString=" + Terminated(longest), Terminated(longest)},
        {"UninstallString=" + longest + "c", ""},
    };
    for (const auto &c : cases) {
        SetUp();
        hw::RegCreateKey(kUninstallKey);
        hw::WriteFile(kDir + "setup.z_f", "original log");
        hw::WriteFile(kDir + "uninst.dat", c.record);
        ASSERT_EQ(0, Run(""));
        hw::RegValue v;
        EXPECT_EQ(!c.restored.empty(), hw::RegGet(kUninstallKey, "UninstallString", &v));
        if (!c.restored.empty()) {
            EXPECT_EQ(c.restored, v.bytes);
        }
        EXPECT_FALSE(hw::Exists(kDir + "uninst.dat"));
    }
}

TEST_F(RecoveryTest, ValueWrittenMeanwhileIsKept)
{
    LeaveInterruptedRun(true, false);
    hw::RegSetString(kUninstallKey, "UninstallString",
                     "C:\\x\\LaunchSetup \"" + kDir + "bv_setup.exe\" new");
    ASSERT_EQ(0, Run(""));
    hw::RegValue v;
    ASSERT_TRUE(hw::RegGet(kUninstallKey, "UninstallString", &v));
    EXPECT_EQ(Terminated("C:\\x\\LaunchSetup \"" + kDir + "bv_setup.exe\" new"), v.bytes);
    EXPECT_FALSE(hw::RegGet(kUninstallKey, "LauncherSavedUninstallString", nullptr));
}

TEST_F(RecoveryTest, OddOrOversizedRecordRestoresNothingAndGoes)
{
    for (const std::string &record :
         {std::string("Something=else"), "UninstallString=" + std::string(600, 'r'),
          std::string("UninstallString=")}) {
        SetUp();
        hw::RegCreateKey(kUninstallKey);
        hw::WriteFile(kDir + "setup.z_f", "original log");
        hw::WriteFile(kDir + "uninst.dat", record);
        ASSERT_EQ(0, Run(""));
        EXPECT_FALSE(hw::RegGet(kUninstallKey, "UninstallString", nullptr)) << record;
        EXPECT_FALSE(hw::Exists(kDir + "uninst.dat")) << record;
        EXPECT_EQ("original log", hw::ReadFile(kDir + "setup.zmf"));
    }
}

TEST_F(RecoveryTest, NewLogThatCannotBeRemovedKeepsBoth)
{
    LeaveInterruptedRun(false, false);
    hw::MakeDir(kDir + "setup.zmf");
    ASSERT_EQ(0, Run(""));
    EXPECT_EQ("original log", hw::ReadFile(kDir + "setup.z_f"));
}

TEST_F(RecoveryTest, FailedJournalWriteLeavesUninstallStringInPlace)
{
    hw::WriteFile(kDir + "setup.zmf", "log");
    hw::RegSetString(kUninstallKey, "UninstallString", command);
    hw::FailCall("RegSetValueExA", 5, 1);
    bool present_during_run = false;
    hw::NextEngine().on_run = [&] {
        present_during_run = hw::RegGet(kUninstallKey, "UninstallString", nullptr);
    };
    ASSERT_EQ(0, Run("LOG"));
    EXPECT_TRUE(present_during_run);
    EXPECT_TRUE(Contains(TraceLines(), "UninstallString not saved: not deleted"));
}

TEST_F(RecoveryTest, CompletedRunLeavesNoJournalAndAJournalDuringTheRun)
{
    hw::WriteFile(kDir + "setup.zmf", "log");
    hw::RegSetString(kUninstallKey, "UninstallString", command);
    hw::RegValue during;
    hw::NextEngine().on_run = [&] {
        EXPECT_TRUE(hw::RegGet(kUninstallKey, "LauncherSavedUninstallString", &during));
    };
    ASSERT_EQ(0, Run(""));
    EXPECT_EQ(Terminated(command), during.bytes);
    EXPECT_FALSE(hw::RegGet(kUninstallKey, "LauncherSavedUninstallString", nullptr));
}
