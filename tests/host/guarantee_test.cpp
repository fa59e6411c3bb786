/* Nothing of an earlier installation is lost: a table of earlier installations against engines
** that do what engines do, the launcher killed at every step or a call failing at every step,
** then a run that completes; the installation must be as it was, or as the engine left it. */
#include <stdio.h>

#include <set>

#include "fixture.h"

namespace
{

const std::string kCommandDir = "C:\\Apps\\Brevane\\{1234-ABCD}\\";
const std::string kInfoDir = "C:\\Program Files\\Brevane Installation Information\\{1234-ABCD}\\";
const std::string kOriginalLog = "original log\r\nof the earlier installation";

enum Action { NewLog, NoLog, DeleteValue, OwnValue, DeleteKey };
const char *const kActionNames[] = {"new log", "no log", "deletes value", "own value",
                                    "deletes key"};

struct Scenario {
    std::string dir;     /* where the earlier installation's setup log lies */
    std::string command; /* its UninstallString */
    DWORD type;
    bool terminated; /* stored with its zero byte */
    Action action;   /* what the engine does */

    std::string Bytes() const
    {
        return terminated ? std::string(command.c_str(), command.size() + 1) : command;
    }
    std::string OwnValue() const
    {
        return command + " /new";
    }
    std::string Name() const
    {
        return dir + " type " + std::to_string(type) + (terminated ? "" : " unterminated") +
               ", engine " + kActionNames[action];
    }
};

/* Both routes to the setup log; the value as REG_SZ, REG_EXPAND_SZ and without terminator;
** every engine action. */
std::vector<Scenario> AllScenarios()
{
    const struct {
        std::string dir, command;
    } routes[] = {
        {kCommandDir, "C:\\Apps\\LaunchSetup \"" + kCommandDir + "bv_setup.exe\" /u"},
        {kInfoDir, "C:\\Apps\\uninstall.exe /x"},
    };
    const struct {
        DWORD type;
        bool terminated;
    } kinds[] = {{REG_SZ, true}, {REG_EXPAND_SZ, true}, {REG_SZ, false}};
    std::vector<Scenario> all;
    for (auto &r : routes)
        for (auto &k : kinds)
            for (Action a : {NewLog, NoLog, DeleteValue, OwnValue, DeleteKey})
                all.push_back({r.dir, r.command, k.type, k.terminated, a});
    return all;
}

/* Calls that change what a later run finds: a kill before any other call leaves the same
** disk and registry as a kill before the next one of these. (Writes to a stream stay in its
** buffer until it is closed.) */
bool ChangesState(const std::string &call)
{
    static const std::set<std::string> calls = {
        "RegCreateKeyExA", "RegSetValueExA", "RegDeleteValueA", "RegDeleteKeyA", "fopen",
        "fclose",          "remove",         "rename",          "CreateProcessA"};
    return calls.count(call) != 0;
}

std::vector<int> StateChangingCalls(const std::vector<std::string> &log)
{
    std::vector<int> points;
    for (size_t i = 0; i < log.size(); i++)
        if (ChangesState(log[i]))
            points.push_back((int)i + 1);
    return points;
}

class GuaranteeTest : public LauncherTest
{
  protected:
    bool engine_ran = false;

    void Plant(const Scenario &s)
    {
        NewMachine();
        engine_ran = false;
        hw::WriteFile(s.dir + "setup.zmf", kOriginalLog);
        hw::RegSet(kUninstallKey, "UninstallString", s.type, s.Bytes());
    }

    /* One launcher run with the scenario's engine, killed before call kill_at (0: not). */
    int RunWithEngine(const Scenario &s, int kill_at = 0, const char *args = "LOG")
    {
        hw::NextEngine() = hw::Engine();
        hw::NextEngine().on_run = [this, s] {
            engine_ran = true;
            if (s.action == NewLog)
                hw::WriteFile(s.dir + "setup.zmf", "engine's new log");
            else if (s.action == DeleteValue)
                hw::RegRemoveValue(kUninstallKey, "UninstallString");
            else if (s.action == OwnValue)
                hw::RegSetString(kUninstallKey, "UninstallString", s.OwnValue());
            else if (s.action == DeleteKey)
                hw::RegRemoveKey(kUninstallKey);
        };
        if (kill_at > 0)
            hw::KillBeforeCall(kill_at);
        return Run(args);
    }

    /* A run that completes, with an engine that changes nothing, then the end state: "" when it
    ** is the earlier installation as it was, or as the engine left it; else what differs. */
    std::string CleanRunThenDifference(const Scenario &s)
    {
        hw::NextEngine() = hw::Engine();
        int code = Run("");
        if (code != 0)
            return "the clean run ended with " + std::to_string(code);
        if (hw::ReadFile(s.dir + "setup.zmf") != kOriginalLog)
            return "setup log holds \"" + hw::ReadFile(s.dir + "setup.zmf") + "\"";
        if (hw::Exists(s.dir + "setup.z_f") || hw::Exists(s.dir + "uninst.dat"))
            return "a backup log or stash record is left";
        if (hw::RegKeyExists(kJournalKey))
            return "the journal is left";
        bool key_gone = engine_ran && s.action == DeleteKey;
        if (key_gone)
            return hw::RegKeyExists(kUninstallKey) ? "the deleted key came back" : "";
        hw::RegValue v;
        if (!hw::RegGet(kUninstallKey, "UninstallString", &v))
            return "UninstallString is gone";
        if (engine_ran && s.action == OwnValue)
            return v.bytes == s.OwnValue() + '\0' ? "" : "the engine's own value was replaced";
        if (v.type != s.type || v.bytes != s.Bytes())
            return "UninstallString came back as type " + std::to_string(v.type) + " \"" + v.bytes +
                   "\"";
        return "";
    }

    void Expect(const std::string &difference, const std::string &what, int *failures)
    {
        if (!difference.empty() && ++*failures <= 5)
            ADD_FAILURE() << what << ": " << difference;
    }
};

TEST_F(GuaranteeTest, KillAtEveryStepThenACompletedRunLosesNothing)
{
    int scenarios = 0, kill_points = 0, failures = 0;
    for (const Scenario &s : AllScenarios()) {
        Plant(s);
        ASSERT_EQ(0, RunWithEngine(s)) << s.Name();
        ASSERT_TRUE(engine_ran) << s.Name();
        Expect(CleanRunThenDifference(s), s.Name() + ", not killed", &failures);
        int calls = (int)hw::CallLog().size();
        ASSERT_GT(calls, 50);
        for (int n = 1; n <= calls; n++) {
            Plant(s);
            ASSERT_EQ(hw::kKilled, RunWithEngine(s, n)) << s.Name() << ", kill " << n;
            Expect(CleanRunThenDifference(s),
                   s.Name() + ", killed before call " + std::to_string(n), &failures);
            kill_points++;
        }
        scenarios++;
    }
    printf("%d scenarios, %d kill points\n", scenarios, kill_points);
    EXPECT_EQ(0, failures);
}

/* Untraced: the trace log's own writes would only multiply the pairs. */
TEST_F(GuaranteeTest, TwoKilledRunsThenACompletedRunLoseNothing)
{
    int pairs = 0, failures = 0;
    for (const Scenario &s : AllScenarios()) {
        Plant(s);
        RunWithEngine(s, 0, "");
        for (int first : StateChangingCalls(hw::CallLog())) {
            Plant(s);
            RunWithEngine(s, first, "");
            RunWithEngine(s, 0, "");
            for (int second : StateChangingCalls(hw::CallLog())) {
                Plant(s);
                RunWithEngine(s, first, "");
                ASSERT_EQ(hw::kKilled, RunWithEngine(s, second, ""));
                Expect(CleanRunThenDifference(s),
                       s.Name() + ", killed before call " + std::to_string(first) +
                           ", then before call " + std::to_string(second),
                       &failures);
                pairs++;
            }
        }
    }
    printf("%d pairs of kill points\n", pairs);
    EXPECT_EQ(0, failures);
}

TEST_F(GuaranteeTest, FailedCallAtEveryStepThenACompletedRunLosesNothing)
{
    /* Statuses that say nothing of whether a key, a value or a file is there. */
    const struct {
        const char *call;
        long error;
    } faults[] = {
        {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
        {"RegQueryValueExA", ERROR_ACCESS_DENIED},
        {"RegSetValueExA", ERROR_ACCESS_DENIED},
        {"RegDeleteValueA", ERROR_ACCESS_DENIED},
        {"RegCreateKeyExA", ERROR_ACCESS_DENIED},
        {"RegDeleteKeyA", ERROR_ACCESS_DENIED},
        {"RegCloseKey", ERROR_INVALID_HANDLE},
        {"GetFileAttributesA", ERROR_ACCESS_DENIED},
        {"fopen", 0},
        {"fread", 0},
        {"fwrite", 0},
        {"fclose", 0},
        {"remove", 0},
        {"rename", 0},
    };
    int failed_calls = 0, failures = 0;
    for (const Scenario &s : AllScenarios()) {
        Plant(s);
        RunWithEngine(s);
        std::vector<std::string> log = hw::CallLog();
        for (auto &f : faults) {
            int count = (int)std::count(log.begin(), log.end(), f.call);
            for (int k = 0; k < count; k++) {
                Plant(s);
                hw::FailCall(f.call, f.error, 1, k);
                RunWithEngine(s);
                Expect(CleanRunThenDifference(s),
                       s.Name() + ", " + f.call + " number " + std::to_string(k + 1) + " failing",
                       &failures);
                failed_calls++;
            }
        }
    }
    printf("%d failed calls\n", failed_calls);
    EXPECT_EQ(0, failures);
}

TEST_F(GuaranteeTest, RecoveryThatCannotPutBackKeepsEveryRecordForTheNextRun)
{
    const Scenario s = AllScenarios()[0];
    const struct {
        const char *call; /* its first call in the recovering run fails */
        const char *what;
    } faults[] = {
        {"RegOpenKeyExA", "the journal cannot be opened"},
        {"RegQueryValueExA", "the journal's copy cannot be read"},
        {"RegSetValueExA", "the copy cannot be written back"},
    };
    Plant(s);
    RunWithEngine(s);
    std::vector<std::string> log = hw::CallLog();
    int engine_runs = (int)(std::find(log.begin(), log.end(), "WaitForSingleObject") - log.begin());
    for (auto &f : faults) {
        Plant(s);
        ASSERT_EQ(hw::kKilled, RunWithEngine(s, engine_runs + 1));
        hw::FailCall(f.call, ERROR_ACCESS_DENIED, 1);
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

TEST_F(GuaranteeTest, StaleBackupLogWithoutAJournalGivesWayToTheSetupLog)
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

} // namespace
