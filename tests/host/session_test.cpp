/* Runs where nobody can see a box. */
#include <algorithm>

#include "fixture.h"

static const char kNotShown[] =
    "Launcher Error box not shown, the window station is not interactive: ";

/* Each box of the launcher, where nobody can see it: no box, the same exit code and course,
** the text traced where the box would have been. */
TEST_F(LauncherTest, BoxesNobodyCanSeeAreTracedInsteadAndTheRunGoesOn)
{
    struct {
        const char *box;
        int exit_code;
        const char *next_trace; /* the line after the box's */
    } cases[] = {
        {"An instance of this Setup is already running.  Please close all Setups before "
         "running this one.",
         1, ""},
        {"Cannot find DATA.TAG", 1, "Cannot find DATA.TAG - aborting"},
        {"Could not run BV_SETUP.EXE", 0,
         "Waiting for bv_setup.exe to terminate: 5 seconds elapsed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.box);
        for (bool visible : {true, false}) {
            SetUp();
            hw::SetWindowStationVisible(visible);
            if (c.box == cases[0].box) {
                hw::Process engine;
                engine.pid = 40;
                engine.exe_file = "bv_setup.exe";
                hw::AddProcess(engine);
            } else if (c.box == cases[1].box) {
                std::remove(hw::HostPath(std::string(kPackageDir) + "data.tag").c_str());
            } else {
                hw::FailCall("CreateProcessA");
            }

            EXPECT_EQ(c.exit_code, Run("LOG"));
            std::vector<std::string> lines = TraceLines();
            auto at = std::find(lines.begin(), lines.end(), kNotShown + std::string(c.box));
            if (visible) {
                EXPECT_EQ(std::vector<std::string>{c.box}, BoxTexts());
                EXPECT_EQ(lines.end(), at);
                continue;
            }
            EXPECT_TRUE(BoxTexts().empty());
            ASSERT_NE(lines.end(), at);
            EXPECT_EQ(c.next_trace, at + 1 == lines.end() ? "" : *(at + 1));
            EXPECT_EQ(0, hw::LoadedLibraryCount());
        }
    }
}

TEST_F(LauncherTest, WithoutWindowStationsOrTheirAnswerTheBoxIsShown)
{
    std::remove(hw::HostPath(std::string(kPackageDir) + "data.tag").c_str());
    hw::SetWindowStationVisible(false);
    hw::SetLibrary("user32.dll", true, {"MessageBoxA"}); /* the consumer family's user32 */
    EXPECT_EQ(1, Run(""));
    hw::SetLibrary("user32.dll", true,
                   {"MessageBoxA", "GetProcessWindowStation", "GetUserObjectInformationA"});
    hw::FailCall("GetUserObjectInformationA");
    EXPECT_EQ(1, Run(""));
    EXPECT_EQ(2u, BoxTexts().size());
}
