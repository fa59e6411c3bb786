#include <functional>

#include "fixture.h"

TEST_F(LauncherTest, EngineCommandLineIsEnginePathSasAndTheArgumentsNeverCutAndLogTraces)
{
    const std::string engine = "C:\\Setup Package\\bv_setup.exe";
    const size_t longest = 32767 - (engine.size() + 5); /* with the terminator, 32768 */
    const std::string cases[][2] = {
        /* command line after the launcher's path; "": not run */
        {std::string(longest, 'a'), " SAS " + std::string(longest, 'a')},
        {"", " SAS "}, /* after a longer one: the buffer is terminated anew */
        {"/q  \"a b\" x", " SAS /q  \"a b\" x"},
        {"/logfile", " SAS /logfile"}, /* no trace: the old one is left as it is */
        {"CATALOG", " SAS CATALOG"},   /* a trace: LOG may be inside a word */
        {std::string(longest + 1, 'a'), ""}};
    for (auto &c : cases) {
        NewMachine();
        hw::WriteFile(kTraceLog, "old\r\n");
        EXPECT_EQ(c[1].empty() ? 1 : 0, Run(c[0])) << c[0].size();
        EXPECT_EQ(c[0].find("LOG") != std::string::npos ? "End: WinMain()." : "old",
                  TraceLines().back());
        /* The full path as application name keeps "C:\Setup.exe" from being tried first. */
        const std::vector<std::string> starts = hw::Arguments("CreateProcessA");
        EXPECT_EQ(c[1].empty() ? "" : engine + "|" + engine + c[1],
                  starts.empty() ? "" : starts[0]);
        EXPECT_EQ(c[1].empty() ? "Could not run BV_SETUP.EXE" : "", Boxes());
    }
}

/* One row per course that ends early or goes on without something: the run's exit code, its
** boxes, its launches, and the last line it traced (or the line it must hold). */
struct Outcome {
    const char *what;
    std::function<void()> setup;
    std::string expected, line; /* exit | boxes | launches | last trace line; a line traced */
};

static void WriteGuid(const std::string &line)
{
    hw::WriteFile(std::string(kPackageDir) + "data.tag", "[TagInfo]\n" + line + "\n");
}

/* Another launcher holds the run lock, on XP or NT 4 (as on 98: no Global namespace). */
static void HoldRunLock(DWORD version, const char *name)
{
    hw::SetVersion(version);
    hw::HoldMutex(name);
}

static const std::string kGuidStop = "1 | Error reading GUID from DATA.TAG | 0 | "
                                     "Error reading GUID from DATA.TAG - aborting";
static const std::string kDataTagStop =
    "1 | Cannot find DATA.TAG | 0 | Cannot find DATA.TAG - aborting";
static const std::string kLockStop = "1 | " + std::string(kRunning) + " | 0 | earlier trace";
static const std::string kCompleted = "0 |  | 1 | End: WinMain().";
static const std::string kChangedStop =
    "1 | " + std::string(kChanged) + " | 0 | " + kChanged + " - aborting";
static const char kEngine[] = "C:\\Setup Package\\bv_setup.exe";

/* An engine of three blocks and more, stamped; with a byte changed after the stamp (-1: none). */
static void StampedEngine(int changed_at = -1)
{
    std::string engine = PeImage(0x14C) + std::string(150000, 'e');
    Stamp(engine);
    if (changed_at >= 0)
        engine[changed_at] ^= 1;
    hw::WriteFile(kEngine, engine);
}

static const Outcome kOutcomes[] = {
    {"module path cut short", [] { hw::SetModulePath("C:\\" + std::string(300, 'd') + "\\l.exe"); },
     kDataTagStop, "Data.tag path/name="},
    {"a folder the code page spells only as another one's look-alike",
     [] {
         hw::SetModulePath(u8"C:\\Łk\\launcher.exe");
         hw::WriteFile("C:\\Lk\\data.tag", "[TagInfo]\r\nProjectGUID=1234-ABCD\r\n");
         hw::WriteFile("C:\\Lk\\bv_setup.exe", "MZ");
     },
     kDataTagStop, "Launcher path="},
    {"empty GUID", [] { WriteGuid("ProjectGUID="); }, kGuidStop, ""},
    {"GUID of 98", [] { WriteGuid("ProjectGUID=" + std::string(98, 'G')); }, kGuidStop, ""},
    {"GUID of 1", [] { WriteGuid("ProjectGUID=G"); }, kCompleted, "GUID={G}"},
    {"GUID of 97", [] { WriteGuid("ProjectGUID=" + std::string(97, 'G')); }, kCompleted,
     "GUID={" + std::string(97, 'G') + "}"},
    {"GUID climbing", [] { WriteGuid("ProjectGUID=x}\\..\\..\\escape\\{"); }, kGuidStop, ""},
    {"GUID ..", [] { WriteGuid("ProjectGUID=1234..ABCD"); }, kGuidStop, ""},
    {"GUID /", [] { WriteGuid("ProjectGUID=x/y"); }, kGuidStop, ""},
    {"GUID :", [] { WriteGuid("ProjectGUID=C:x"); }, kGuidStop, ""},
    {"GUID .", [] { WriteGuid("ProjectGUID=1234.AB CD"); }, kCompleted, "GUID={1234.AB CD}"},
    {"GUID braced", [] { WriteGuid("ProjectGUID={1-a}"); }, kCompleted, "GUID={{1-a}}"},
    {"no memory for ProgramFilesDir", [] { hw::FailCall("malloc", 0, 1); },
     "1 | Memory allocation failed for 'progfiles' | 0 | Malloc for 'progfiles' failed", ""},
    {"CurrentVersion not opened",
     [] { /* after the uninstall key's open */
          hw::FailCall("RegOpenKeyExA", ERROR_ACCESS_DENIED, -1, 1, "Windows\\CurrentVersion");
     },
     "1 | Error reading registry: Open failed on CurrentVersion key | 0 | RegOpenKeyEx() "
     "returned: 5",
     ""},
    {"ProgramFilesDir not read", [] { hw::FailCall("RegQueryValueExA", 5, 1, 0, "ProgramFiles"); },
     "1 | Error reading registry: Failed to read ProgramFilesDir | 0 | RegQueryValueEx() "
     "returned: 5",
     ""},
    {"no memory for a long ProgramFilesDir",
     [] {
         SetProgramFilesDir(301);
         hw::FailCall("realloc", 0, 1);
     },
     "1 | Memory reallocation failed for 'progfiles' | 0 | Realloc for 'progfiles' failed", ""},
    {"a long ProgramFilesDir not read again",
     [] {
         SetProgramFilesDir(301);
         hw::FailCall("RegQueryValueExA", 5, 1, 1, "ProgramFiles");
     },
     "1 | Error reading registry: Second attempt to read ProgramFilesDir has failed | 0 | "
     "RegQueryValueEx() returned: 5",
     ""},
    {"a long ProgramFilesDir", [] { SetProgramFilesDir(301); }, kCompleted,
     "RegQueryValueEx() returned ERROR_MORE_DATA, required buffer size=302"},
    {"run lock held", [] { HoldRunLock(0x0A280105, "Global\\Brevane.SetupLauncher.RunLock"); },
     kLockStop, ""},
    {"run lock held, NT 4: no Global namespace",
     [] { HoldRunLock(0x05650004, "Brevane.SetupLauncher.RunLock"); }, kLockStop, ""},
    {"run lock's name held by an event",
     [] { hw::FailCall("CreateMutexA", ERROR_INVALID_HANDLE, 1); }, kLockStop, ""},
    /* Vista on: the lock lies in a namespace that only administrators can make or open. */
    {"the Global name held by an event, Vista on",
     [] { hw::FailCall("CreateMutexA", ERROR_INVALID_HANDLE, 1, 0, "Global\\"); }, kCompleted, ""},
    {"the namespace made by another launcher, the lock free",
     [] { hw::HoldMutex("namespace:Brevane.SetupLauncher"); }, kCompleted, ""},
    {"the namespace cannot be made", [] { hw::FailCall("AddSIDToBoundaryDescriptor"); }, kLockStop,
     ""},
    /* Made by another launcher and let go twice between the calls, then opened; or let go thrice.
     */
    {"the namespace let go twice",
     [] {
         hw::HoldMutex("namespace:Brevane.SetupLauncher");
         hw::FailCall("OpenPrivateNamespaceW", ERROR_FILE_NOT_FOUND, 2);
     },
     kCompleted, ""},
    {"thrice",
     [] {
         hw::HoldMutex("namespace:Brevane.SetupLauncher");
         hw::FailCall("OpenPrivateNamespaceW", ERROR_FILE_NOT_FOUND, 3);
     },
     kLockStop, ""},
    /* The engine is the one stamped, or none is started; unstamped, the run goes on. */
    {"unstamped", [] {}, kCompleted, "Engine not verified: no hash stamped"},
    {"stamped", [] { StampedEngine(); }, kCompleted,
     "Engine verified: its SHA-256 is the one stamped"},
    {"stamped, a byte changed in the last block", [] { StampedEngine(150000); }, kChangedStop,
     "Engine not as stamped: its SHA-256 is another"},
    {"the same on XP, by CryptoAPI",
     [] {
         StampedEngine(150000);
         hw::SetVersion(0x0A280105);
     },
     kChangedStop, "Engine not as stamped: its SHA-256 is another"},
    {"stamped, no engine",
     [] {
         StampedEngine();
         hw::RemoveFile(kEngine);
     },
     kChangedStop, "Engine not as stamped: it could not be opened and read whole"},
    {"stamped, the engine a link to its bytes elsewhere",
     [] {
         StampedEngine();
         hw::WriteFile("C:\\Elsewhere\\bv_setup.exe", hw::ReadFile(kEngine));
         hw::RemoveFile(kEngine);
         hw::SymLink("C:\\Elsewhere\\bv_setup.exe", kEngine);
     },
     kChangedStop, "Engine not as stamped: it could not be opened and read whole"},
    {"stamped, the engine open for writing elsewhere",
     [] {
         StampedEngine();
         hw::OpenElsewhere(kEngine, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
     },
     kChangedStop, "Engine not as stamped: it could not be opened and read whole"},
    {"unstamped, the same: not started",
     [] { hw::OpenElsewhere(kEngine, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE); },
     "1 | Could not run BV_SETUP.EXE | 0 | End: WinMain().", ""},
    {"stamped, a read failing after the first block",
     [] {
         StampedEngine();
         hw::FailCall("ReadFile", 0, 1, 1);
     },
     kChangedStop, "Engine not as stamped: it could not be opened and read whole"},
    {"stamped, on XP whose CryptoAPI has no SHA-256",
     [] {
         StampedEngine();
         hw::SetVersion(0x0A280105);
         hw::FailCall("CryptCreateHash", (long)0x80090008);
     },
     kCompleted, "Engine not verified: this system's CryptoAPI has no SHA-256"},
    {"stamped, on Windows 10 the SHA-256 provider failing",
     [] {
         StampedEngine();
         hw::FailCall("BCryptOpenAlgorithmProvider", (long)0xC0000225);
     },
     kChangedStop, "Engine not as stamped: its SHA-256 could not be computed"},
    {"stamped, on Windows 10 without bcrypt.dll",
     [] {
         StampedEngine();
         hw::SetLibrary("C:\\WINDOWS\\system32\\bcrypt.dll", false, {});
     },
     kChangedStop, "Engine not as stamped: its SHA-256 could not be computed"},
    /* The exit code is the engine's own, all 32 bits, or 1 where there is none to pass on. */
    {"engine crashed", [] { hw::NextEngine().exit_code = 0xC0000005; },
     "-1073741819 |  | 1 | End: WinMain().", "BV setup exit code=3221225477 (0xC0000005)"},
};

TEST_F(LauncherTest, EachStopAndFallbackEndsWithItsBoxesLaunchesAndLastTraceLine)
{
    for (const Outcome &c : kOutcomes) {
        NewMachine();
        /* Left as it is by a run that traces nothing. */
        hw::WriteFile(kTraceLog, "earlier trace\r\n");
        c.setup();
        int code = Run("LOG");
        std::vector<std::string> lines = TraceLines();
        EXPECT_EQ(c.expected, std::to_string(code) + " | " + Boxes() + " | " +
                                  std::to_string(hw::CallCount("CreateProcessA")) + " | " +
                                  (lines.empty() ? "" : lines.back()))
            << c.what;
        EXPECT_TRUE(c.line.empty() || std::count(lines.begin(), lines.end(), c.line))
            << c.what << ": " << c.line;
        EXPECT_EQ(0, hw::LeftOpen()) << c.what;
    }
}

/* A run does not begin beside an engine that it cannot rule out: 200 scans, 5 ms apart. */
TEST_F(LauncherTest, GuardGivesUpOnlyAfter200FailedScans5MsApart)
{
    hw::FailCall("CreateToolhelp32Snapshot", ERROR_ACCESS_DENIED);
    EXPECT_EQ(1, Run("LOG"));
    EXPECT_EQ(kRunning, Boxes());
    EXPECT_EQ("Process scan failed: no run beside an engine that may run", TraceLines().back());
    EXPECT_EQ(200, hw::CallCount("CreateToolhelp32Snapshot"));
    EXPECT_EQ(995u, hw::SleptMs());
}

/* TEMP and "\launcher.log" fit 299 characters (a longer or an empty TEMP: the link table). */
TEST_F(LauncherTest, TraceLogIsWrittenWhereTempWithItsNameJustFits)
{
    std::string temp = "C:"; /* 286 characters, in folders of at most 50 as the host allows */
    while (temp.size() < 286)
        temp += "\\" + std::string(std::min<size_t>(50, 286 - temp.size() - 1), 't');
    hw::SetEnv("TEMP", temp);
    hw::MakeDir(temp);
    EXPECT_EQ(0, Run("LOG"));
    EXPECT_TRUE(hw::Exists(temp + "\\launcher.log"));
}
