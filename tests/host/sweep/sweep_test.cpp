/* Nothing of an earlier installation is lost: each earlier installation of the table against
** an engine, the launcher killed at every step, at every pair of steps, or a call failing at
** every step, then a run that completes. Slow: run apart from the other host tests. */
#include <stdio.h>

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

TEST_P(Sweep, FailedCallAtAnyStepThenACompletedRunLosesNothing)
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
        {"CreateFileA", ERROR_ACCESS_DENIED},
        {"DeleteFileA", ERROR_ACCESS_DENIED},
        {"GetFileInformationByHandle", ERROR_ACCESS_DENIED},
        {"fopen", 0},
        {"fread", 0},
        {"fwrite", 0},
        {"fclose", 0},
        {"remove", 0},
        {"rename", 0},
    };
    const Scenario &s = GetParam();
    std::vector<std::string> calls = CompletedRunCalls(s, "LOG");
    int failed_calls = 0;
    for (auto &f : faults) {
        int count = (int)std::count(calls.begin(), calls.end(), f.call);
        for (int k = 0; k < count; k++) {
            Plant(s);
            hw::FailCall(f.call, f.error, 1, k);
            RunWithEngine(s, 0, "LOG");
            Expect(CleanRunThenDifference(s),
                   std::string(f.call) + " number " + std::to_string(k + 1) + " failing");
            failed_calls++;
        }
    }
    printf("%s: %d failed calls\n", s.Name().c_str(), failed_calls);
    EXPECT_EQ(0, failures);
}

INSTANTIATE_TEST_SUITE_P(EarlierInstallations, Sweep, ::testing::ValuesIn(AllScenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &row) {
                             return std::to_string(row.index);
                         });
