/* Runs where nobody can see a box. */
#include <algorithm>

#include "fixture.h"

static const char kNotShown[] = "Box not shown, no interactive window station: ";

/* Each box of the launcher, where nobody can see it: no box, the same exit code and the same
** course (trace and launches) as where the box is seen and OK clicked, the text traced where
** the box would have been. */
TEST_F(LauncherTest, BoxesNobodyCanSeeAreTracedInsteadAndTheRunGoesOn)
{
    enum Cause { EngineRunning, NoDataTag, EngineWillNotStart };
    const struct {
        Cause cause;
        const char *box;
        int exit_code;
    } cases[] = {
        {EngineRunning,
         "An instance of this Setup is already running.  Please close all Setups before running "
         "this one.",
         1},
        {NoDataTag, "Cannot find DATA.TAG", 1},
        {EngineWillNotStart, "Could not run BV_SETUP.EXE", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.box);
        std::vector<std::string> seen_trace;
        size_t seen_launches = 0;
        long lines_before_box = 0;
        for (bool visible : {true, false}) {
            SetUp();
            hw::SetWindowStationVisible(visible);
            if (c.cause == EngineRunning) {
                hw::Process engine;
                engine.pid = 40;
                engine.exe_file = "bv_setup.exe";
                hw::AddProcess(engine);
            } else if (c.cause == NoDataTag) {
                std::remove(hw::HostPath(std::string(kPackageDir) + "data.tag").c_str());
            } else {
                hw::FailCall("CreateProcessA");
            }

            EXPECT_EQ(c.exit_code, Run("LOG"));
            std::vector<std::string> lines = TraceLines();
            if (visible) {
                EXPECT_EQ(std::vector<std::string>{c.box}, BoxTexts());
                seen_trace = lines;
                seen_launches = hw::Launches().size();
                for (const std::string &event : Timeline()) {
                    if (event.rfind("box:", 0) == 0)
                        break;
                    lines_before_box += std::count(event.begin(), event.end(), '\n');
                }
                continue;
            }
            EXPECT_TRUE(BoxTexts().empty());
            auto at = std::find(lines.begin(), lines.end(), kNotShown + std::string(c.box));
            ASSERT_NE(lines.end(), at);
            EXPECT_EQ(lines_before_box, at - lines.begin());
            lines.erase(at);
            EXPECT_EQ(seen_trace, lines);
            EXPECT_EQ(seen_launches, hw::Launches().size());
            EXPECT_EQ(0, hw::LoadedLibraryCount());
        }
    }
}

TEST_F(LauncherTest, WithoutWindowStationsOrTheirAnswerTheBoxIsShown)
{
    std::remove(hw::HostPath(std::string(kPackageDir) + "data.tag").c_str());
    hw::SetWindowStationVisible(false);
    hw::SetLibrary(kUser32, true, {"MessageBoxA"}); /* the consumer family's user32 */
    EXPECT_EQ(1, Run(""));
    hw::SetLibrary(kUser32, true,
                   {"MessageBoxA", "GetProcessWindowStation", "GetUserObjectInformationA"});
    hw::FailCall("GetUserObjectInformationA");
    EXPECT_EQ(1, Run(""));
    EXPECT_EQ(2u, BoxTexts().size());
}
