/* Nothing of an earlier installation is lost: each earlier installation of the table against
** an engine, the launcher killed at every step, at every pair of steps, or a call failing at
** every step, then a run that completes. Slow: run apart from the other host tests. */
#include <stdio.h>

#include <map>

#include "../earlier_installation.h"

class Sweep : public EarlierInstallationTest, public ::testing::WithParamInterface<Scenario>
{
  protected:
    int failures = 0;

    /* The calls of a run of the scenario that completes. */
    std::vector<std::string> CompletedRunCalls(const Scenario &s, const char *args = "")
    {
        Plant(s);
        EXPECT_EQ(0, RunWithEngine(s, 0, args));
        return hw::CallLog();
    }

    /* Whether the registry that a power cut kept holds the engine's own value, or lacks the key
    ** it deleted. */
    bool EngineValueKept(const Scenario &s)
    {
        hw::RegValue v;
        if (s.action == DeleteKey)
            return !hw::RegKeyExists(s.Key());
        return s.action == OwnValue && hw::RegGet(s.Key(), "UninstallString", &v, s.wide) &&
               v.bytes == s.Stored(s.command + " /new", true);
    }

    void Expect(const std::string &difference, const std::string &what)
    {
        if (!difference.empty() && ++failures <= 5)
            ADD_FAILURE() << what << ": " << difference;
    }
};

/* Untraced runs: the trace log is no part of the installation, and its lines would only
** multiply the steps. */
TEST_P(Sweep, KilledAtAnyStepThenACompletedRunLosesNothing)
{
    const Scenario &s = GetParam();
    int calls = (int)CompletedRunCalls(s).size();
    ASSERT_TRUE(engine_ran);
    Expect(CleanRunThenDifference(s), "not killed");
    for (int n = 1; n <= calls; n++) {
        Plant(s);
        ASSERT_EQ(hw::kKilled, RunWithEngine(s, n, "")) << "kill " << n;
        Expect(CleanRunThenDifference(s), "killed before call " + std::to_string(n));
    }
    printf("%s: %d kill points\n", s.Name().c_str(), calls);
    EXPECT_EQ(0, failures);
}

TEST_P(Sweep, KilledTwiceThenACompletedRunLosesNothing)
{
    const Scenario &s = GetParam();
    int pairs = 0;
    for (int first : StateChangingCalls(CompletedRunCalls(s))) {
        Plant(s);
        RunWithEngine(s, first, "");
        RunWithEngine(s, 0, "");
        for (int second : StateChangingCalls(hw::CallLog())) {
            Plant(s);
            RunWithEngine(s, first, "");
            ASSERT_EQ(hw::kKilled, RunWithEngine(s, second, ""));
            Expect(CleanRunThenDifference(s), "killed before call " + std::to_string(first) +
                                                  ", then before call " + std::to_string(second));
            pairs++;
        }
    }
    printf("%s: %d pairs of kill points\n", s.Name().c_str(), pairs);
    EXPECT_EQ(0, failures);
}

/* Every call of a traced run, failing in turn, with a status that says nothing of whether a
** key, a value or a file is there. */
TEST_P(Sweep, FailedCallAtAnyStepThenACompletedRunLosesNothing)
{
    const Scenario &s = GetParam();
    const std::vector<std::string> calls = CompletedRunCalls(s, "LOG");
    std::map<std::string, int> made; /* calls of that name before this one */
    for (const std::string &call : calls) {
        Plant(s);
        hw::FailCall(call, ERROR_ACCESS_DENIED, 1, made[call]++);
        RunWithEngine(s, 0, "LOG");
        Expect(CleanRunThenDifference(s),
               call + " number " + std::to_string(made[call]) + " failing");
    }
    printf("%s: %zu failed calls\n", s.Name().c_str(), calls.size());
    EXPECT_EQ(0, failures);
}

/* The power fails before any call of an untraced run that changes what a later run finds; the
** disk keeps whatever was flushed, and of the rest any first changes of the registry and any
** first changes of the files, each apart from the other. Also where the stash record cannot be
** made: the journal is then the only evidence of what was set aside. On each way the launcher
** puts files on disk: from Vista on (Windows 10) by flushing their folder, on NT 4 to XP (XP,
** NT 4) by flushing it or writing through. (Windows 98 has neither, and no run there is safe
** from a power cut.) */
TEST_P(Sweep, PowerCutAtAnyStepThenACompletedRunLosesNothing)
{
    const Scenario &s = GetParam();
    int cuts = 0, kept = 0;
    /* record | GetVersion: Windows 10, XP, NT 4 */
    const std::pair<bool, DWORD> courses[] = {
        {true, 0x4A65000A}, {false, 0x4A65000A}, {true, 0x0A280105}, {true, 0x05650004}};
    for (auto [record, version] : courses) {
        if (s.wow64 && (version & 0xFF) < 5) /* 64-bit Windows began with XP */
            continue;
        auto plant = [&, record = record, version = version] {
            Plant(s);
            hw::SetVersion(version);
            if (!record)
                hw::FailCall("CreateFileA", ERROR_ACCESS_DENIED, -1, 0, "uninst.dat");
        };
        auto cut = [&](int n) {
            plant();
            hw::PowerCutBeforeCall(n);
            return RunWithEngine(s, 0, "") == hw::kKilled;
        };
        plant();
        ASSERT_EQ(0, RunWithEngine(s, 0, ""));
        for (int n : StateChangingCalls(hw::CallLog())) {
            ASSERT_TRUE(cut(n));
            const auto [registry, files] = hw::UnflushedChanges();
            for (int i = 0; i <= registry; i++) {
                for (int j = 0; j <= files; j++, kept++) {
                    cut(n);
                    hw::KeepAfterPowerCut(i, j);
                    engine_ran = EngineValueKept(s); /* else its value or key never was */
                    Expect(CleanRunThenDifference(s),
                           std::string(record ? "" : "no stash record, ") + "GetVersion " +
                               std::to_string(version) + ", power cut before call " +
                               std::to_string(n) + ", " + std::to_string(i) + " of " +
                               std::to_string(registry) + " registry changes kept, " +
                               std::to_string(j) + " of " + std::to_string(files) +
                               " file changes");
                }
            }
            cuts++;
        }
    }
    printf("%s: %d power cuts, %d states kept\n", s.Name().c_str(), cuts, kept);
    EXPECT_EQ(0, failures);
}

INSTANTIATE_TEST_SUITE_P(EarlierInstallations, Sweep, ::testing::ValuesIn(AllScenarios()));
