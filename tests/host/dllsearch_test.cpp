/* The launcher's own process never loads a DLL from the download folder it runs from. */
#include "fixture.h"
#include "process/systemlib.h"

TEST_F(LauncherTest, DllSearchIsRestrictedWithWhatTheSystemHas)
{
    const struct {
        std::vector<std::string> entries; /* of kernel32 */
        const char *failing;
        std::vector<std::string> calls;
    } cases[] = {
        /* Windows 8 on, and 7 or Vista with the loader update. */
        {{"SetDefaultDllDirectories", "SetDllDirectoryA"},
         nullptr,
         {"SetDefaultDllDirectories(0x800)"}},
        /* Present but refusing: the older call still takes the current folder out. */
        {{"SetDefaultDllDirectories", "SetDllDirectoryA"},
         "SetDefaultDllDirectories",
         {"SetDefaultDllDirectories(0x800)", "SetDllDirectoryA(\"\")"}},
        /* XP SP1 to an unpatched 7. */
        {{"SetDllDirectoryA"}, nullptr, {"SetDllDirectoryA(\"\")"}},
        /* NT 4, the consumer family, XP before SP1. */
        {{}, nullptr, {}},
    };
    for (const auto &c : cases) {
        SetUp();
        hw::SetLibrary("kernel32.dll", true, c.entries);
        if (c.failing != nullptr)
            hw::FailCall(c.failing);
        RestrictDllSearch();
        EXPECT_EQ(c.calls, hw::DllSearchCalls()) << c.entries.size();
        EXPECT_TRUE(hw::LoadedLibraryNames().empty()) << "kernel32 is not searched for";
    }
    SetUp();
    hw::SetLibrary("kernel32.dll", false, {});
    RestrictDllSearch();
    EXPECT_TRUE(hw::DllSearchCalls().empty());
}

TEST_F(LauncherTest, SystemLibrariesAreLoadedByTheirFullPathOrNotAtAll)
{
    hw::SetSystemDirectory("C:\\WINNT\\system32");
    hw::SetLibrary("C:\\WINNT\\system32\\user32.dll", true, {"MessageBoxA"});
    HMODULE user32 = LoadSystemLibrary("user32.dll");
    EXPECT_NE(nullptr, user32);
    FreeLibrary(user32);
    EXPECT_EQ(std::vector<std::string>{"C:\\WINNT\\system32\\user32.dll"},
              hw::LoadedLibraryNames());

    /* The full path must fit in MAX_PATH with its terminator; when it does not, or there is no
    ** system directory, nothing is loaded, least of all by the bare name. */
    const std::string fits = "C:\\" + std::string(MAX_PATH - 1 - 11 - 3, 's');
    hw::SetSystemDirectory(fits);
    LoadSystemLibrary("user32.dll");
    EXPECT_EQ(fits + "\\user32.dll", hw::LoadedLibraryNames().back());
    EXPECT_EQ(MAX_PATH - 1, (int)hw::LoadedLibraryNames().back().size());
    for (const std::string &dir : {fits + "s", std::string()}) {
        hw::SetSystemDirectory(dir);
        EXPECT_EQ(nullptr, LoadSystemLibrary("user32.dll")) << dir.size();
    }
    hw::SetSystemDirectory("C:\\WINNT\\system32");
    hw::FailCall("GetSystemDirectoryA");
    EXPECT_EQ(nullptr, LoadSystemLibrary("user32.dll"));
    EXPECT_EQ(2u, hw::LoadedLibraryNames().size());
}
