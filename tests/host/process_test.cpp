/* The engine's launch and wait, the running-image test on both routes, and the DLLs that the
** launcher's own process loads. */
#include "fixture.h"
#include "process/engineimage.h"
#include "process/imagerunning.h"
#include "process/launchapp.h"
#include "platform/systemlib.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers" /* processes and engines by {} */

static const char kImage[] = "bv_setup.exe", kNoFault[] = "Sleep"; /* its failure changes nothing */

/* The engine's exit code; waits that fail first (the engine still runs: STILL_ACTIVE); a call
** that fails `times` times after `skip` calls; LaunchApp's answer (-1: no code to pass on) and
** the waits it made. */
TEST_F(LauncherTest, EngineIsStartedHiddenAndItsEndReadAsTheLaunchResult)
{
    const std::tuple<DWORD, int, const char *, int, int, int, int> cases[] = {
        {0, 0, kNoFault, 0, 0, 1, 1},
        {1, 0, kNoFault, 0, 0, 0, 1},
        {0xFFFFFFFFu, 0, kNoFault, 0, 0, 0, 1},
        {STILL_ACTIVE, 0, kNoFault, 0, 0, 0, 1}, /* after a reported end: its own */
        {0, 150, kNoFault, 0, 0, 1, 151},
        {0, 0, "GetExitCodeProcess", 0, 99, 1, 1}, /* repeated 100 times */
        {0, 0, "GetExitCodeProcess", 0, 100, -1, 1},
        {0, 1, "GetExitCodeProcess", 1, 100, -1, 2},
        {0, 0, "CreateProcessA", 0, -1, -1, 0},
    };
    for (const auto &[code, failed_waits, fail, skip, times, result, waits] : cases) {
        NewMachine();
        hw::NextEngine().exit_code = code;
        hw::FailCall("WaitForSingleObject", 0, failed_waits);
        hw::FailCall(fail, 0, times, skip);
        char cmdline[] = "x";
        DWORD read = 12345;
        EXPECT_EQ(result, LaunchApp("C:\\Setup Package\\bv_setup.exe", cmdline,
                                    INVALID_HANDLE_VALUE, &read))
            << code << times;
        EXPECT_TRUE(result == -1 || read == code) << code;
        EXPECT_EQ(waits, hw::CallCount("WaitForSingleObject")) << code << " " << times;
        EXPECT_EQ(0, hw::LeftOpen());
    }
    EXPECT_EQ("C:\\Setup Package\\bv_setup.exe|x", hw::Arguments("CreateProcessA").at(0));
}

/* The stand-in's CryptoAPI, by the published test vectors of SHA-256. */
TEST(StandIn, Sha256AnswersThePublishedTestVectors)
{
    const std::pair<std::string, const char *> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &[text, hex] : vectors) {
        std::string digest;
        char byte[3];
        for (unsigned char c : hw::Sha256(text)) {
            snprintf(byte, sizeof byte, "%02x", c);
            digest += byte;
        }
        EXPECT_EQ(hex, digest) << text.size();
    }
}

/* From the look at the engine to its start nobody may write, rename or delete it; no longer. */
TEST_F(LauncherTest, EngineIsHeldFromItsCheckToItsStartAndNoLonger)
{
    const char engine[] = "C:\\Setup Package\\bv_setup.exe";
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    struct EngineImage image;
    bool written = false;
    char cmdline[] = "x";
    DWORD code;
    Stamp("MZ");
    OpenEngineImage(engine, &image);
    EXPECT_EQ(ENGINE_VERIFIED, image.verdict);
    EXPECT_FALSE(hw::OpenElsewhere(engine, GENERIC_WRITE, all));
    EXPECT_FALSE(hw::OpenElsewhere(engine, DELETE, all)); /* a rename too */
    EXPECT_TRUE(hw::OpenElsewhere(engine, GENERIC_READ, all));
    hw::NextEngine().on_run = [&] { written = hw::OpenElsewhere(engine, GENERIC_WRITE, all); };
    EXPECT_EQ(1, LaunchApp(engine, cmdline, image.file, &code));
    EXPECT_TRUE(written);
    EXPECT_EQ(0, hw::LeftOpen());
}

/* Toolhelp: the exe's file name, ASCII letters folded; psapi on NT 4: any module's path. A call
** failing after `skip` calls: a route that does not exist (NT 4 without psapi.dll) answers no; a
** scan that fails, or whose calls are missing (GetProcAddress: that entry), -1. */
TEST_F(LauncherTest, RunningImageIsFoundByItsFileNameOrOnNt4InAnyModulePath)
{
    enum Route { Toolhelp, Toolhelp932, Psapi };
    using Names = std::vector<std::string>;
    const std::tuple<Route, Names, const char *, const char *, int, int> cases[] = {
        {Toolhelp, {"AZ"}, "az", kNoFault, 0, 1}, /* as BV_SETUP.EXE is bv_setup.exe */
        {Toolhelp, {"@"}, "`", kNoFault, 0, 0},
        {Toolhelp, {"["}, "{", kNoFault, 0, 0},
        {Toolhelp, {"xbv_setup.exe", "bv_setup.exe ", "bv_setup.ex"}, kImage, kNoFault, 0, 0},
        {Toolhelp, {"C:\\SETUP\\BV_SETUP.EXE"}, kImage, kNoFault, 0, 1},
        {Toolhelp932, {"C:\\\x95\\bv_setup.exe"}, kImage, kNoFault, 0, 0}, /* 0x95 0x5C: one */
        {Psapi, {"C:\\SETUP\\BV_SETUP.EXE"}, kImage, kNoFault, 0, 0},
        {Psapi, {"C:\\b.exe", "C:\\bv_setup.exe.old\\lib.dll"}, kImage, kNoFault, 0, 1},
        {Toolhelp, {kImage}, kImage, "LoadLibraryA", 0, -1},
        {Toolhelp, {kImage}, kImage, "GetProcAddress", 0, -1}, /* CreateToolhelp32Snapshot */
        {Toolhelp, {kImage}, kImage, "GetProcAddress", 2, -1}, /* Process32Next */
        {Toolhelp, {kImage}, kImage, "GetProcAddress", 4, -1}, /* Module32Next */
        {Toolhelp, {kImage}, kImage, "CreateToolhelp32Snapshot", 0, -1},
        {Toolhelp, {kImage}, kImage, "Process32First", 0, -1},
        {Psapi, {kImage}, kImage, "LoadLibraryA", 0, 0},
        {Psapi, {kImage}, kImage, "GetSystemDirectoryA", 0, 0},
        {Psapi, {kImage}, kImage, "GetProcAddress", 2, -1}, /* GetModuleFileNameExA */
        {Psapi, {kImage}, kImage, "EnumProcesses", 0, -1},
    };
    for (const auto &[route, names, image, fail, skip, found] : cases) {
        NewMachine();
        hw::SetVersion(route == Psapi ? 0x05650004 : 0x0A280105);
        hw::SetCodePage(route == Toolhelp932 ? 932 : 0);
        for (const std::string &name : names)
            hw::AddProcess({(DWORD)hw::Processes().size() + 1, name, {name}});
        hw::FailCall(fail, 0, 1, skip);
        EXPECT_EQ(found, IsImageRunning(image, nullptr))
            << names[0] << " " << image << " " << fail << skip;
        EndImageScans();
        EXPECT_EQ(0, hw::LeftOpen());
    }
}

TEST_F(LauncherTest, PsapiLooksAtTheFirst1024ProcessesAndModulesAndPassesOverLockedOnes)
{
    const std::vector<std::string> engine = {"C:\\bv_setup.exe"};
    hw::SetVersion(0x05650004); /* NT 4 */
    hw::Processes().assign(1024, {100, "", {"C:\\other.exe"}});
    hw::AddProcess({5000, "", engine});
    EXPECT_EQ(0, IsImageRunning(kImage, nullptr));
    std::vector<std::string> modules(1025, "C:\\m.dll");
    modules[1024] = engine[0];
    hw::Processes() = {{1, "", engine}, {2, "", engine}, {3, "", engine}, {4, "", modules}};
    hw::FailCall("OpenProcess", 0, -1, 0, "pid 1:");
    hw::FailCall("EnumProcessModules", 0, -1, 0, "pid 2:");
    hw::FailCall("GetModuleFileNameExA", 0, -1, 0, "pid 3:");
    EXPECT_EQ(0, IsImageRunning(kImage, nullptr)) << "neither a locked process nor a 1025th module";
    hw::Processes()[3].modules[1023] = engine[0];
    EXPECT_EQ(1, IsImageRunning(kImage, nullptr));
    EndImageScans();
    EXPECT_EQ(0, hw::LeftOpen());
}

/* The engine's copies, as its run leaves them: each round waits on all that the last scan found
** (they end when waited on), or polls 5 ms where one could not be opened. Without a limit where
** every handle is known to be the engine's: on NT 4, opened before its modules matched, and from
** Vista on, told by its image; else a second, so that a process id that another process has
** taken over holds the wait no longer than that. The rounds' last trace line, the time slept in
** polls, the limits of the waits. */
TEST_F(LauncherTest, EngineCopiesAreWaitedOnUntilNoneIsLeft)
{
    using Copies = std::vector<hw::Process>;
    using Limits = std::vector<std::string>;
    const hw::Process copy = {4400, kImage, {"C:\\Setup Package\\bv_setup.exe"}, 3};
    hw::Process unopenable = copy, copying = copy, taken = copy, unnamed = copy;
    unopenable.pid = 4401; /* OpenProcess fails for it */
    unnamed.pid = 4402;    /* its image cannot be told */
    copying.on_end = [copy] { hw::AddProcess(copy); };
    taken.scans = 1;
    /* for ever; its image's name differs from the engine's in a letter outside ASCII only */
    const hw::Process other = {4400, "?v_setup.exe", {u8"C:\\Ţv_setup.exe"}};
    Copies seventy(70, copy);
    for (size_t i = 0; i < seventy.size(); i++)
        seventy[i].pid = 5000 + (DWORD)i;
    const DWORD xp = 0x0A280105, win10 = 0x4A65000A, nt4 = 0x05650004;
    const Limits second = {"1000 ms"}, none = {"none"};
    const std::tuple<const char *, DWORD, Copies, const char *, DWORD, Limits> cases[] = {
        {"none", win10, {}, "5", 5, {}},
        {"one", win10, {copy}, "6", 5, none},
        {"one on XP", xp, {copy}, "6", 5, second},
        {"one on NT 4", nt4, {copy}, "6", 5, none},
        {"one on Windows 98", 0xC0000A04, {copy}, "6", 5, second},
        {"one that starts another", win10, {copying}, "7", 5, {"none", "none"}},
        {"70", win10, seventy, "7", 5, {"none", "none"}},
        {"two on NT 4", nt4, {seventy[0], seventy[1]}, "6", 5, none},
        {"one that cannot be opened", win10, {unopenable}, "20", 20, {}},
        {"one whose image cannot be told", win10, {unnamed, copy}, "6", 5, second},
        {"one whose id another process takes", win10, {taken, other}, "10", 10, {}},
        {"one whose id another process takes, on XP", xp, {taken, other}, "1005", 5, second},
    };
    for (const auto &[what, version, copies, elapsed, slept, limits] : cases) {
        NewMachine();
        hw::SetVersion(version);
        hw::FailCall("OpenProcess", 0, -1, 0, "pid 4401:");
        hw::FailCall("QueryFullProcessImageNameW", 0, -1, 0, "pid 4402:");
        hw::NextEngine().on_run = [copies = copies] {
            for (const hw::Process &p : copies)
                hw::AddProcess(p);
        };
        EXPECT_EQ(0, Run("LOG")) << what;
        const std::vector<std::string> lines = TraceLines();
        auto last = std::find_if(lines.rbegin(), lines.rend(), [](const std::string &l) {
            return l.rfind("Waiting for bv_setup.exe", 0) == 0;
        });
        ASSERT_NE(lines.rend(), last) << what;
        EXPECT_EQ(std::string("Waiting for bv_setup.exe to terminate: ") + elapsed +
                      " seconds elapsed",
                  *last)
            << what;
        EXPECT_EQ(slept, hw::SleptMs()) << what;
        EXPECT_EQ(limits, hw::Arguments("WaitForMultipleObjects")) << what;
        EXPECT_EQ(0, hw::LeftOpen()) << what;
        EXPECT_TRUE(std::none_of(hw::Processes().begin(), hw::Processes().end(),
                                 [](const hw::Process &p) { return p.exe_file == kImage; }))
            << what;
    }
}

/* kernel32 of Windows 8 (or an updated 7), the same refusing, of XP SP1 to 7, of NT 4 to XP. The
** DLLs the launcher loads itself: by a full path that fits MAX_PATH ("-": none), or not at all. */
TEST_F(LauncherTest, DllsAreSearchedForInTheSystemDirectoryOnlyAndLoadedByTheirFullPath)
{
    using Given = std::vector<std::string>;
    const Given both = {"SetDefaultDllDirectories", "SetDllDirectoryA"};
    const std::tuple<Given, const char *, Given, Given> cases[] = {
        /* kernel32's entries, a failing call, what each of the two calls was given */
        {both, kNoFault, {"0x800"}, {}},
        {both, "SetDefaultDllDirectories", {"0x800"}, {""}},
        {{"SetDllDirectoryA"}, kNoFault, {}, {""}},
        {{"Module32First"}, kNoFault, {}, {}},
        {both, "GetModuleHandleA", {}, {}},
    };
    for (const auto &[entries, fail, newer, older] : cases) {
        NewMachine();
        hw::SetLibrary("kernel32.dll", true, entries);
        hw::FailCall(fail);
        RestrictDllSearch();
        EXPECT_EQ(newer, hw::Arguments("SetDefaultDllDirectories")) << entries.size() << fail;
        EXPECT_EQ(older, hw::Arguments("SetDllDirectoryA")) << entries.size() << fail;
        EXPECT_EQ(0, hw::CallCount("LoadLibraryA")) << "kernel32 is not searched for";
    }
    const std::string fits = "C:\\" + std::string(MAX_PATH - 1 - 11 - 3, 's');
    hw::SetLibrary(fits + "\\user32.dll", true, {});
    for (const std::string &dir : {fits + "s", std::string(), fits, std::string("-")}) {
        hw::SetSystemDirectory(dir);
        hw::FailCall(dir == "-" ? "GetSystemDirectoryA" : kNoFault);
        FreeLibrary(LoadSystemLibrary("user32.dll"));
    }
    EXPECT_EQ(std::vector<std::string>{fits + "\\user32.dll"}, hw::Arguments("LoadLibraryA"));
    EXPECT_EQ(0, hw::LeftOpen());
}
