/* The trace log lies in the unelevated user's TEMP: whatever they plant there, the elevated
** launcher never writes into another file through it. */
#include <functional>

#include "fixture.h"

static const char kTarget[] =
    "C:\\WINDOWS\\system.ini"; /* a file only the administrator may write */

TEST_F(LauncherTest, TraceLogIsNeverWrittenThroughALink)
{
    enum Outcome { Traced, Off, Stopped }; /* whole trace; no trace; trace stops at the launch */
    const struct {
        const char *what;
        std::function<void()> plant;
        Outcome outcome;
    } cases[] = {
        {"hard link before the run", [] { hw::HardLink(kTarget, kTraceLog); }, Traced},
        {"symbolic link before the run", [] { hw::SymLink(kTarget, kTraceLog); }, Traced},
        {"hard link during the engine's run",
         [] {
             hw::NextEngine().on_run = [] {
                 std::remove(hw::HostPath(kTraceLog).c_str());
                 hw::HardLink(kTarget, kTraceLog);
             };
         },
         Stopped},
        {"symbolic link during the engine's run",
         [] {
             hw::NextEngine().on_run = [] {
                 std::remove(hw::HostPath(kTraceLog).c_str());
                 hw::SymLink(kTarget, kTraceLog);
             };
         },
         Stopped},
        {"hard link that cannot be deleted",
         [] {
             hw::HardLink(kTarget, kTraceLog);
             hw::FailCall("DeleteFileA");
         },
         Off},
        {"descriptor refused", [] { hw::FailCall("_open_osfhandle"); }, Off},
        {"stream refused", [] { hw::FailCall("_fdopen"); }, Off},
    };
    for (const auto &c : cases) {
        SetUp();
        hw::WriteFile(kTarget, "[boot]\r\n");
        c.plant();
        EXPECT_EQ(0, Run("LOG")) << c.what;
        EXPECT_EQ("[boot]\r\n", hw::ReadFile(kTarget)) << c.what;
        EXPECT_EQ(1u, hw::Launches().size()) << c.what;
        EXPECT_EQ(0, hw::OpenFileCount()) << c.what;
        if (c.outcome == Stopped) {
            EXPECT_EQ(std::vector<std::string>{"Could not re-open logfile for append - "
                                               "logging terminated"},
                      BoxTexts())
                << c.what;
            continue;
        }
        EXPECT_TRUE(BoxTexts().empty()) << c.what;
        if (c.outcome == Traced) {
            std::vector<std::string> lines = TraceLines();
            EXPECT_EQ("Begin: WinMain().", lines.front()) << c.what;
            EXPECT_EQ("End: WinMain().", lines.back()) << c.what;
        } else {
            for (const hw::Event &e : hw::Events())
                EXPECT_NE(hw::Event::Write, e.kind) << c.what;
        }
    }
}

TEST_F(LauncherTest, ReopenOpensALinkAsItselfWhereTheSystemKnowsReparsePoints)
{
    const struct {
        DWORD version;
        bool reparse_flag;
    } cases[] = {
        {0x0A280105, true},  /* XP */
        {0x08930005, true},  /* 2000 */
        {0x05650004, false}, /* NT 4 */
        {0xC0000A04, false}, /* 98 */
    };
    for (const auto &c : cases) {
        SetUp();
        hw::SetVersion(c.version);
        EXPECT_EQ(0, Run("LOG")) << std::hex << c.version;
        EXPECT_EQ("End: WinMain().", TraceLines().back()) << std::hex << c.version;
        std::vector<DWORD> flags = hw::CreateFileFlags();
        ASSERT_EQ(2u, flags.size()) << "created, reopened";
        EXPECT_EQ(0u, flags[0] & FILE_FLAG_OPEN_REPARSE_POINT) << "CREATE_NEW never follows";
        EXPECT_EQ(c.reparse_flag, (flags[1] & FILE_FLAG_OPEN_REPARSE_POINT) != 0)
            << std::hex << c.version;
    }
}
