/* The earlier installation set aside for the engine's run and put back, and what a run that was
** cut short set aside put back by the next one: each course by its trace and its end state. */
#include <functional>

#include "earlier_installation.h"
#include "installrecord/uninstallkey.h"

static const char kNotAside[] = "Could not set the earlier installation aside";
static const char kNotBack[] = "Could not put back what an interrupted Setup set aside";

/* Every "$d" of text replaced by dir, every "$o" by the lines of the product key's opening. */
static std::string Fill(std::string text, const std::string &dir)
{
    const std::string open = "Begin: OpenUninstallString().\nUninstall key: uninstkey:\"" +
                             std::string(kUninstallKey) + "\"\nEnd: OpenUninstallString().";
    for (size_t at; (at = text.find('$')) != std::string::npos;)
        text.replace(at, 2, text[at + 1] == 'd' ? dir : open);
    return text;
}

/* The lines of the trace from the first line of `expected` to its last, as they are. */
static std::string Excerpt(const std::string &trace, const std::string &expected)
{
    size_t last = expected.rfind('\n', expected.size() - 2) + 1;
    return Between(trace, expected.substr(0, expected.find('\n')), expected.substr(last));
}

static void Fail(const char *call, const char *argument, int skip = 0)
{
    hw::FailCall(call, ERROR_ACCESS_DENIED, 1, skip, argument);
}

class InstallationTest : public EarlierInstallationTest
{
  protected:
    /* What a run killed while the engine ran leaves: the log aside, the engine's own log in its
    ** place, the value away, its copies in the journal and the stash record. */
    void PlantInterrupted(const Scenario &s)
    {
        Plant(s);
        hw::WriteFile(s.dir + "setup.z_f", kOriginalLog);
        hw::WriteFile(s.dir + "setup.zmf", "the killed run's engine's log");
        hw::WriteFile(s.dir + "uninst.dat", "UninstallString=" + s.command + '\0');
        hw::RegRemoveValue(kUninstallKey, "UninstallString");
        hw::RegSetString(kJournalKey, "SetupLog", s.dir + "setup.zmf");
        hw::RegSet(kJournalKey, "UninstallString", s.type, s.Bytes());
    }
};

TEST_F(InstallationTest, WholeCourseOfSettingAsideAndPuttingBack)
{
    const Scenario s = AllScenarios()[5]; /* by uninstall command, REG_EXPAND_SZ, new log */
    const std::string dir = "C:\\APPS\\BREVANE\\{1234-ABCD}\\"; /* as the locator spells it */
    Plant(s);
    std::string during; /* backup | stash record | value present | journal's values */
    hw::NextEngine().on_run = [&] {
        hw::RegValue v;
        during = hw::ReadFile(s.dir + "setup.z_f") + "|" + hw::ReadFile(s.dir + "uninst.dat") +
                 "|" + std::to_string(hw::RegGet(kUninstallKey, "UninstallString", nullptr));
        for (const char *name : {"SetupLog", "UninstallString"})
            if (hw::RegGet(kJournalKey, name, &v))
                during += "|" + std::to_string(v.type) + ":" + v.bytes;
        hw::WriteFile(s.dir + "setup.zmf", "engine's new log");
    };
    ASSERT_EQ(0, Run("LOG"));
    EXPECT_EQ(kOriginalLog + "|UninstallString=" + s.Bytes() + "|0|1:" + dir + "setup.zmf" + '\0' +
                  "|2:" + s.Bytes(),
              during);
    EXPECT_EQ("", Difference(s));
    EXPECT_EQ(0, hw::OpenKeyCount());
    for (REGSAM sam : hw::RegOpenMasks())
        EXPECT_EQ((REGSAM)KEY_ALL_ACCESS, sam);
    EXPECT_EQ(Fill(R"(Begin: MakeUninstLogFile().
zmf_loc=$d
zmf_loc=$dsetup.zmf
zmf_loc access()=0
End: MakeUninstLogFile().
Log file (setup.zmf) found at:$dsetup.zmf
Save SetupLog to journal: return from ReqSetValueEx(): 0
Rename of log file to $dsetup.z_f returned: 0
Begin: RemoveUninstallString().
$o
Query UninstallString for size: return from ReqQueryValueEx(): 0
Query UninstallString: return from ReqQueryValueEx(): 0
Save UninstallString to journal: return from ReqSetValueEx(): 0
Delete UninstallString: return from ReqDeleteValue(): 0
End: RemoveUninstallString().
Setup.exe, path and filename: C:\Setup Package\bv_setup.exe
Command line args:  SAS LOG
Launch of BV setup: return from LaunchApp(): 1
Waiting for bv_setup.exe to terminate: 5 seconds elapsed
Deleting log file: return from remove(): 0
Renaming log file: return from rename(): 0
Begin: RestoreUninstallString().
$o
Set UninstallString: return from ReqSetValueEx(): 0
End: RestoreUninstallString().
Delete journal: return from RegDeleteKey(): 0
End: WinMain().
)",
                   dir),
              Between(TraceText(), "Begin: MakeUninstLogFile", "End: WinMain"));
}

static void SetValueOfSize(Scenario &s, size_t size)
{
    s.command = std::string(size - 1, 'v');
    hw::RegSet(kUninstallKey, "UninstallString", s.type, s.Bytes());
}

static void SetProgramFilesDir(size_t length, bool terminated = true)
{
    std::string dir = "C:\\" + std::string(length - 3, 'p');
    hw::RegSet("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", REG_SZ,
               terminated ? dir + '\0' : dir);
}

/* One course per row: a scenario (1: by uninstall command, 16: under Program Files, the engine
** writes no log) and what is made to differ once it is planted, the run's exit code, the lines
** of its trace that tell the course, and the earlier installation's end state ("": intact). */
struct Course {
    const char *what;
    int scenario;
    std::function<void(Scenario &)> setup;
    int exit_code;
    const char *end, *trace;
};

static const Course kSetAsideCourses[] = {
    {"the journal keeps no copy: the value is left in place", 1,
     [](Scenario &) { Fail("RegSetValueExA", "UninstallString"); }, 0, "",
     R"(Save UninstallString to journal: return from ReqSetValueEx(): 5
UninstallString not saved: not deleted
End: RemoveUninstallString().
)"},
    {"the value cannot be deleted: it is left in place", 1,
     [](Scenario &) { Fail("RegDeleteValueA", "UninstallString"); }, 0, "",
     R"(Delete UninstallString: return from ReqDeleteValue(): 5
End: RemoveUninstallString().
)"},
    {"the largest value the stash holds is taken away", 16,
     [](Scenario &s) { SetValueOfSize(s, 284); }, 0, "",
     R"(Query UninstallString for size: return from ReqQueryValueEx(): 0
Query UninstallString: return from ReqQueryValueEx(): 0
)"},
    {"one byte more is left in place", 16, [](Scenario &s) { SetValueOfSize(s, 285); }, 0, "",
     R"(UninstallString of 285 bytes does not fit the stash: left in place
UninstallString not read: not deleted
)"},
    {"a key without the value: the Program Files route, nothing taken away", 16,
     [](Scenario &) { hw::RegRemoveValue(kUninstallKey, "UninstallString"); }, 0,
     "UninstallString is gone", R"(Uninstall key not found: RegQueryValueEx() returned: 2
ProgramFilesDir=C:\Program Files
)"},
    {"the engine writes its own value: it is kept", 3, [](Scenario &) {}, 0, "",
     R"(Begin: RestoreUninstallString().
$o
Query UninstallString: return from ReqQueryValueEx(): 0
End: RestoreUninstallString().
)"},
    {"the engine deletes the key: it is not made anew", 4, [](Scenario &) {}, 0, "",
     R"(RegOpenKeyEx() returned: 2
OpenUninstallStringKey failed.
End: RestoreUninstallString().
Delete journal: return from RegDeleteKey(): 0
)"},
    {"the stash record cannot be created", 1, [](Scenario &) { Fail("CreateFileA", "uninst.dat"); },
     0, "", R"(Stash record not created: $duninst.dat
End: RemoveUninstallString().
)"},
    {"the stash record cannot be deleted: the journal stays with it", 1,
     [](Scenario &) { Fail("remove", "uninst.dat"); }, 0, "a backup log or stash record is left",
     R"(End: RestoreUninstallString().
End: WinMain().
)"},
    {"a stale backup log of no run gives way", 1,
     [](Scenario &) { hw::WriteFile(kCommandDir + "setup.z_f", "stale"); }, 0, "",
     R"(Save SetupLog to journal: return from ReqSetValueEx(): 0
Rename of log file to $dsetup.z_f returned: 0
)"},
    {"the locator cannot open the key", 1, [](Scenario &) { Fail("RegOpenKeyExA", "Uninstall\\"); },
     1, "", R"(Couldn't open Uninstall key: RegOpenKeyEx() returned: 5
End: MakeUninstLogFile().
Could not set the earlier installation aside - aborting
)"},
    {"the locator cannot read the value", 1,
     [](Scenario &) { Fail("RegQueryValueExA", "UninstallString"); }, 1, "",
     R"(Uninstall key not found: RegQueryValueEx() returned: 5
End: MakeUninstLogFile().
Could not set the earlier installation aside - aborting
)"},
    {"the journal cannot be made", 1, [](Scenario &) { Fail("RegCreateKeyExA", "Setup Launcher"); },
     1, "", R"(Save SetupLog to journal: return from ReqSetValueEx(): 5
Begin: RestoreUninstallString().
)"},
    {"a folder of the backup's name", 1, [](Scenario &) { hw::MakeDir(kCommandDir + "setup.z_f"); },
     1, "a backup log or stash record is left", R"(Log file (setup.zmf) found at:$dsetup.zmf
Begin: RestoreUninstallString().
)"},
    {"the log cannot be renamed", 1, [](Scenario &) { Fail("rename", "setup.zmf"); }, 1, "",
     R"(Rename of log file to $dsetup.z_f returned: -1
Begin: RestoreUninstallString().
UninstallString was not read: nothing to set
)"},
    {"the key cannot be opened to take the value", 1,
     [](Scenario &) { Fail("RegOpenKeyExA", "Uninstall\\", 1); }, 1, "",
     R"(RegOpenKeyEx() returned: 5
OpenUninstallStringKey failed.
End: RemoveUninstallString().
Deleting log file: return from remove(): -1
)"},
    {"the value's size cannot be read", 1,
     [](Scenario &) { Fail("RegQueryValueExA", "UninstallString", 1); }, 1, "",
     R"(Query UninstallString for size: return from ReqQueryValueEx(): 5
UninstallString not read: not deleted
End: RemoveUninstallString().
Deleting log file: return from remove(): -1
)"},
    {"the longest setup log path under Program Files", 16,
     [](Scenario &) { SetProgramFilesDir(244); }, 0, "", R"(zmf_loc access()=-1
End: MakeUninstLogFile().
)"},
    {"one character more: no setup log", 16, [](Scenario &) { SetProgramFilesDir(245); }, 0, "",
     R"(Setup log path would not fit in zmf_loc: no setup log
End: MakeUninstLogFile().
Log file (setup.zmf) NOT found
)"},
    {"ProgramFilesDir filling its buffer without a terminator", 16,
     [](Scenario &) { SetProgramFilesDir(260, false); }, 0, "",
     R"(Setup log path would not fit in zmf_loc: no setup log
End: MakeUninstLogFile().
)"},
};

TEST_F(InstallationTest, EachCourseOfSettingAsideTracesItsStepsAndEndsAsItShould)
{
    for (const Course &c : kSetAsideCourses) {
        SCOPED_TRACE(c.what);
        Scenario s = AllScenarios()[c.scenario];
        Plant(s);
        c.setup(s);
        EXPECT_EQ(c.exit_code, RunWithEngine(s));
        const std::string expected = Fill(c.trace, "C:\\APPS\\BREVANE\\{1234-ABCD}\\");
        EXPECT_EQ(expected, Excerpt(TraceText(), expected));
        EXPECT_EQ(c.end, Difference(s));
        EXPECT_EQ(c.exit_code ? std::vector<std::string>{kNotAside} : std::vector<std::string>{},
                  BoxTexts());
        EXPECT_EQ(c.exit_code ? 0u : 1u, hw::Launches().size());
    }
}

/* One course of the recovery per row: what a cut-short run left (or only the installation)
** with the row's changes, the run's exit code, the lines of its trace that tell the course,
** and the end state: after this run when it went on, else after a further run. */
struct Recovery {
    const char *what;
    bool interrupted;
    std::function<void(const Scenario &)> setup;
    int exit_code;
    const char *end, *trace;
};

static void RemoveFile(const std::string &path)
{
    std::remove(hw::HostPath(path).c_str());
}

static const Recovery kRecoveries[] = {
    {"everything a killed run set aside", true, [](const Scenario &) {}, 0, "",
     R"(Begin: RecoverInterruptedRun().
Journal: RegOpenKeyEx() returned: 0
Query journal UninstallString: return from ReqQueryValueEx(): 0
$o
Set UninstallString: return from ReqSetValueEx(): 0
Journal setup log=$dsetup.zmf
Backup log left by an interrupted run=$dsetup.z_f
Deleting log file: return from remove(): 0
Renaming log file: return from rename(): 0
Stash record left by an interrupted run=$duninst.dat
Deleting stash record: return from remove(): 0
Delete journal: return from RegDeleteKey(): 0
End: RecoverInterruptedRun().
)"},
    {"no stash record", true, [](const Scenario &s) { RemoveFile(s.dir + "uninst.dat"); }, 0, "",
     R"(Renaming log file: return from rename(): 0
Delete journal: return from RegDeleteKey(): 0
)"},
    {"no newer setup log", true, [](const Scenario &s) { RemoveFile(s.dir + "setup.zmf"); }, 0, "",
     R"(Backup log left by an interrupted run=$dsetup.z_f
Renaming log file: return from rename(): 0
)"},
    {"the journal holds only the value's copy", false,
     [](const Scenario &s) {
         hw::RegRemoveValue(kUninstallKey, "UninstallString");
         hw::RegSet(kJournalKey, "UninstallString", s.type, s.Bytes());
     },
     0, "", R"(Set UninstallString: return from ReqSetValueEx(): 0
Delete journal: return from RegDeleteKey(): 0
)"},
    {"a stash record without a value and no copy in the journal", true,
     [](const Scenario &s) {
         hw::RegRemoveValue(kJournalKey, "UninstallString");
         hw::WriteFile(s.dir + "uninst.dat", "Something=else");
     },
     0, "UninstallString is gone", R"(Stash record left by an interrupted run=$duninst.dat
Stash record holds no value to recover
Deleting stash record: return from remove(): 0
)"},
    {"a journal naming no setup log", false,
     [](const Scenario &) {
         hw::RegSetString(kJournalKey, "SetupLog", "C:\\d\\boot.ini");
         hw::WriteFile("C:\\d\\boot.ini", "boot");
         hw::WriteFile("C:\\d\\boot.i_i", "not a backup");
     },
     0, "", R"(Journal setup log=C:\d\boot.ini
Delete journal: return from RegDeleteKey(): 0
)"},
    {"the journal cannot be opened", true,
     [](const Scenario &) { Fail("RegOpenKeyExA", "Setup Launcher"); }, 1, "",
     R"(Journal: RegOpenKeyEx() returned: 5
End: RecoverInterruptedRun().
)"},
    {"the journal's copy cannot be read", true,
     [](const Scenario &) { Fail("RegQueryValueExA", "UninstallString"); }, 1, "",
     R"(Query journal UninstallString: return from ReqQueryValueEx(): 5
Journal setup log=$dsetup.zmf
)"},
    {"the copy cannot be written back", true,
     [](const Scenario &) { Fail("RegSetValueExA", "UninstallString"); }, 1, "",
     R"(Set UninstallString: return from ReqSetValueEx(): 5
Journal setup log=$dsetup.zmf
)"},
    {"the journal's setup log cannot be read", true,
     [](const Scenario &) { Fail("RegQueryValueExA", "SetupLog"); }, 1, "",
     R"(Query journal setup log: return from ReqQueryValueEx(): 5
End: RecoverInterruptedRun().
)"},
    {"a journal setup log longer than a path", true,
     [](const Scenario &) { hw::RegSet(kJournalKey, "SetupLog", REG_SZ, std::string(300, 'l')); },
     1, "the clean run ended with 1", R"(Query journal setup log: return from ReqQueryValueEx(): 234
End: RecoverInterruptedRun().
)"},
    {"the setup log cannot be looked at", true,
     [](const Scenario &) { Fail("GetFileAttributesA", "setup.zmf"); }, 1, "",
     R"(Backup log left by an interrupted run=$dsetup.z_f
End: RecoverInterruptedRun().
)"},
    {"a folder where the setup log goes", true,
     [](const Scenario &s) {
         RemoveFile(s.dir + "setup.zmf");
         hw::MakeDir(s.dir + "setup.zmf");
     },
     1, "the clean run ended with 1", R"(Deleting log file: return from remove(): -1
End: RecoverInterruptedRun().
)"},
    {"the stash record cannot be looked at", true,
     [](const Scenario &) { Fail("GetFileAttributesA", "uninst.dat"); }, 1, "",
     R"(Renaming log file: return from rename(): 0
End: RecoverInterruptedRun().
)"},
    {"the stash record cannot be read and the journal holds no copy", true,
     [](const Scenario &) {
         hw::RegRemoveValue(kJournalKey, "UninstallString");
         Fail("fopen", "uninst.dat");
     },
     1, "", R"(Stash record left by an interrupted run=$duninst.dat
End: RecoverInterruptedRun().
)"},
};

TEST_F(InstallationTest, EachCourseOfARecoveryTracesItsStepsAndKeepsWhatItCannotPutBack)
{
    const Scenario s = AllScenarios()[1]; /* by uninstall command, the engine writes no log */
    for (const Recovery &c : kRecoveries) {
        SCOPED_TRACE(c.what);
        if (c.interrupted)
            PlantInterrupted(s);
        else
            Plant(s);
        c.setup(s);
        EXPECT_EQ(c.exit_code, Run("LOG"));
        const std::string trace = Between(TraceText(), "Begin: RecoverInterruptedRun",
                                          c.exit_code ? "Could not put back" : "End: Recover");
        const std::string expected = Fill(c.trace, s.dir);
        EXPECT_EQ(expected, Excerpt(trace, expected));
        EXPECT_EQ(0, hw::OpenKeyCount());
        EXPECT_EQ(c.exit_code ? std::vector<std::string>{kNotBack} : std::vector<std::string>{},
                  BoxTexts());
        EXPECT_EQ(c.exit_code ? 0u : 1u, hw::Launches().size());
        EXPECT_EQ(c.end, c.exit_code ? CleanRunThenDifference(s) : Difference(s));
    }
}

/* A journal that names the setup log but holds no copy of the value: the stash record beside
** the log is the copy. */
TEST_F(InstallationTest, StashRecordIsTheCopyWhereTheJournalHoldsNone)
{
    const std::string longest(499, 'c'), nul(1, '\0'); /* with its zero it just fits */
    const std::pair<std::string, std::string> records[] = {
        /* record, value put back */
        {"C:\\u.exe" + nul + "junk", "C:\\u.exe"},
        {"C:\\u.exe", "C:\\u.exe"},
        {longest + nul, longest},
        {longest + "c", ""}};
    const Scenario s = AllScenarios()[1];
    for (auto &r : records) {
        PlantInterrupted(s);
        hw::RegRemoveValue(kJournalKey, "UninstallString");
        hw::WriteFile(s.dir + "uninst.dat", "UninstallString=" + r.first);
        ASSERT_EQ(0, Run("")) << r.first;
        hw::RegValue v;
        EXPECT_EQ(r.second.empty() ? "absent" : "1:" + r.second + nul,
                  hw::RegGet(kUninstallKey, "UninstallString", &v)
                      ? std::to_string(v.type) + ":" + v.bytes
                      : "absent");
        EXPECT_EQ(kOriginalLog, hw::ReadFile(s.dir + "setup.zmf"));
        EXPECT_FALSE(hw::Exists(s.dir + "uninst.dat") || hw::RegKeyExists(kJournalKey));
    }
}

/* Reading ProgramFilesDir: every failure is a fatal stop, box and trace line in their order. */
TEST_F(InstallationTest, ProgramFilesDirFailuresStopWithBoxAndTraceInTheirOrder)
{
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { hw::FailCall("malloc", 0, 1); },
         "box:Memory allocation failed for 'progfiles'|trace:Malloc for 'progfiles' failed\n"},
        {[] { hw::RegDenyOpen("SOFTWARE\\Microsoft\\Windows\\CurrentVersion"); },
         "box:Error reading registry: Open failed on CurrentVersion key|trace:RegOpenKeyEx() "
         "returned: 5\n"},
        {[] { Fail("RegQueryValueExA", "ProgramFilesDir"); },
         "trace:RegQueryValueEx() returned: 5\n|box:Error reading registry: Failed to read "
         "ProgramFilesDir"},
        {[] {
             SetProgramFilesDir(301);
             hw::FailCall("realloc", 0, 1);
         },
         "box:Memory reallocation failed for 'progfiles'|trace:Realloc for 'progfiles' failed\n"},
        {[] {
             SetProgramFilesDir(301);
             Fail("RegQueryValueExA", "ProgramFilesDir", 1);
         },
         "trace:RegQueryValueEx() returned: 5\n|box:Error reading registry: Second attempt to "
         "read ProgramFilesDir has failed"},
    };
    for (auto &c : cases) {
        NewMachine();
        c.first();
        EXPECT_EQ(1, Run("LOG"));
        std::vector<std::string> t = Timeline();
        EXPECT_EQ(c.second, t[t.size() - 2] + "|" + t.back());
        EXPECT_TRUE(hw::Launches().empty());
    }
    /* One too long for the first query is read again into a grown buffer, and freed. */
    SetProgramFilesDir(301);
    ASSERT_EQ(0, Run("LOG"));
    EXPECT_TRUE(Contains(TraceLines(), "RegQueryValueEx() returned ERROR_MORE_DATA, required "
                                       "buffer size=302"));
    EXPECT_TRUE(Contains(TraceLines(), "ProgramFilesDir=C:\\" + std::string(298, 'p')));
    EXPECT_EQ(0, hw::HeapBlocksAtEnd());
}

TEST(ProductKey, PathThatWouldNotFitItsBufferIsNotOpened)
{
    char path[UNINSTALL_KEY_SIZE];
    HKEY key;
    hw::Reset(SandboxDir("ProductKey"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OpenProductKey(std::string(208, 'g').c_str(), path, &key));
    EXPECT_STREQ("", path);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenProductKey(std::string(207, 'g').c_str(), path, &key));
}
