/* The earlier installation set aside for the engine's run and put back, and what a run that was
** cut short set aside put back by the next one: each course by its trace and its end state. */
#include <functional>

#include "earlier_installation.h"
#include "installrecord/uninstallkey.h"
#include "installrecord/uninststash.h"

/* Every "$d" of text replaced by dir, every "$o" by the lines of the product key's opening. */
static std::string Fill(std::string text, const std::string &dir)
{
    const std::string open = "Begin: OpenUninstallString().\nUninstall key: uninstkey:\"" +
                             std::string(kUninstallKey) + "\"\nEnd: OpenUninstallString().";
    for (size_t at; (at = text.find('$')) != std::string::npos;)
        text.replace(at, 2, text[at + 1] == 'd' ? dir : open);
    return text;
}

/* Where the locator finds the scenario's setup log, spelled as it spells it. */
static std::string LocatorDir(const Scenario &s)
{
    return s.dir == kCommandDir ? "C:\\APPS\\BREVANE ZZ\\{1234-ABCD}\\" : s.dir;
}

/* What a run killed while the engine ran leaves of a planted installation: the log aside, the
** engine's own log in its place, the value away, its copies in the journal and the stash record. */
static void LeaveInterrupted(const Scenario &s)
{
    hw::WriteFile(s.dir + "setup.z_f", kOriginalLog);
    hw::WriteFile(s.dir + "setup.zmf", "the killed run's engine's log");
    hw::WriteFile(s.dir + "uninst.dat", "UninstallString=" + s.command + '\0');
    hw::RegRemoveValue(s.Key(), "UninstallString");
    hw::RegSetString(s.Journal(), "SetupLog", LocatorDir(s) + "setup.zmf");
    if (s.wow64)
        hw::RegSet(s.Journal(), "UninstallKeyView", REG_DWORD,
                   std::string(s.key32 ? "\x20" : "\x40") + std::string(3, '\0'));
    hw::RegSet(s.Journal(), "UninstallString", s.type, s.Bytes(), s.wide);
}

/* A 64-bit engine's installation on 64-bit Windows (32: the uninstall command's route, 33: under
** Program Files) with its product key moved to the 32-bit view, or gone. */
static void KeyIn32BitView(Scenario &s)
{
    hw::RegRemoveKey(s.Key());
    s.key32 = true;
    hw::RegSet(s.Key(), "UninstallString", s.type, s.Bytes());
}

TEST_F(EarlierInstallationTest, WholeCourseOfSettingAsideAndPuttingBack)
{
    /* by uninstall command, a name outside the code page, new log: each string type in UTF-16,
    ** and on the consumer family, whose registry and stash record hold the same ANSI bytes */
    const std::pair<DWORD, bool> forms[] = {
        {REG_EXPAND_SZ, true}, {REG_SZ, true}, {REG_MULTI_SZ, true}, {REG_SZ, false}};
    for (auto [type, wide] : forms) {
        Scenario s = AllScenarios()[30];
        s.type = type;
        s.wide = wide;
        SCOPED_TRACE(s.Name());
        const std::string dir = LocatorDir(s);
        Plant(s);
        if (!s.wide)
            hw::SetVersion(0xC0000A04);
        /* backup | stash record | value present | journal's values, as stored */
        std::string during;
        hw::NextEngine().on_run = [&] {
            hw::RegValue v;
            during = hw::ReadFile(s.dir + "setup.z_f") + "|" + hw::ReadFile(s.dir + "uninst.dat") +
                     "|" + std::to_string(hw::RegGet(kUninstallKey, "UninstallString", nullptr));
            for (const char *name : {"SetupLog", "UninstallString"})
                if (hw::RegGet(kJournalKey, name, &v, name[0] == 'U' && s.wide))
                    during += "|" + std::to_string(v.type) + ":" + v.bytes;
            hw::WriteFile(s.dir + "setup.zmf", "engine's new log");
        };
        ASSERT_EQ(0, Run("LOG"));
        /* The stash record holds the ANSI spelling, the journal the value's own bytes. */
        const std::string record =
            s.wide ? "C:\\Apps\\LaunchSetup \"" + kCommandDir + "bv_setup.exe\" /u ?????????"
                   : s.command;
        EXPECT_EQ(kOriginalLog + "|UninstallString=" + record + '\0' + "|0|1:" + dir + "setup.zmf" +
                      '\0' + "|" + std::to_string(type) + ":" + s.Bytes(),
                  during);
        EXPECT_EQ("", Difference(s));
        EXPECT_EQ(0, hw::LeftOpen());
        EXPECT_EQ(Fill(R"(Begin: WinMain().
GetModuleFileName returned 29
Launcher path=C:\Setup Package\launcher.exe
Data.tag path/name=C:\Setup Package\data.tag
GUID={1234-ABCD}
Engine verified: its SHA-256 is the one stamped
Begin: RecoverInterruptedRun().
End: RecoverInterruptedRun().
Begin: MakeUninstLogFile().
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
BV setup exit code=0 (0x00000000)
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
                  TraceText());
    }
}

static void SetValueOfSize(Scenario &s, size_t size)
{
    s.command = std::string(size - 1, 'v');
    hw::RegSet(kUninstallKey, "UninstallString", s.type, s.Bytes());
}

static const std::string kCyrillicDir = u8"C:\\Программы\\{1234-ABCD}\\";
static const char kOtherJournal[] = "SOFTWARE\\Brevane\\Setup Launcher\\{5678-EF}";

/* The earlier installation in a folder that the code page cannot spell, its log reached at
** dir (where the stand-in's files lie). */
static void InCyrillicFolder(Scenario &s, const std::string &dir)
{
    hw::RemoveFile(s.dir + "setup.zmf");
    s = {dir, "C:\\Apps\\LaunchSetup \"" + kCyrillicDir + "bv_setup.exe\" /u", REG_SZ, true, NoLog,
         true};
    hw::WriteFile(s.dir + "setup.zmf", kOriginalLog);
    hw::RegSet(kUninstallKey, "UninstallString", s.type, s.Bytes(), true);
}

/* ProgramFilesDir in a folder that the code page cannot spell, reached at short_dir ("": gone). */
static void InCyrillicProgramFiles(Scenario &s, const std::string &short_dir)
{
    hw::RegSet("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", REG_SZ,
               hw::Utf16(u8"C:\\Программы"), true);
    if (short_dir.empty())
        return;
    hw::RemoveFile(s.dir + "setup.zmf");
    s.dir = short_dir + "\\Brevane Installation Information\\{1234-ABCD}\\";
    hw::WriteFile(s.dir + "setup.zmf", kOriginalLog);
    hw::SetShortPath(u8"C:\\Программы", short_dir);
}

/* What a killed run left of a setup log at a path of the longest kind, 299 characters. */
static void LeftAtTheLongestPath(Scenario &s)
{
    s.dir = "C:"; /* 290 characters, in folders of at most 50 as the host allows */
    for (int i = 0; i < 6; i++)
        s.dir += "\\" + std::string(i < 5 ? 50 : 31, 'd') + (i < 5 ? "" : "\\");
    hw::WriteFile(s.dir + "setup.z_f", kOriginalLog);
    hw::WriteFile(s.dir + "setup.zmf", "the killed run's engine's log");
    hw::RegSetString(kJournalKey, "SetupLog", s.dir + "setup.zmf");
}

/* The journal without its copy of the value, and the stash record holding that text. */
static void StashOnly(const std::string &text)
{
    hw::RegRemoveValue(kJournalKey, "UninstallString");
    hw::WriteFile(kCommandDir + "uninst.dat", "UninstallString=" + text);
}

/* One course per row: a scenario (1: by uninstall command, 16: under Program Files; the engine
** writes no log, fails), as planted or as a run killed during its engine left it; what is
** changed, or a call failing once (after skip calls on that argument); the exit code; the end
** ("": intact; after one more run where this one stopped); the trace lines that tell it. */
static const int kFailed = 1603; /* the engine's exit code: a failed installation */
static const char kSystemIni[] = "C:\\WINDOWS\\system.ini"; /* only the administrator may write */

struct Course {
    const char *what;
    int scenario;
    bool interrupted;
    void (*change)(Scenario &s);
    const char *fault; /* "call|argument|skip" */
    int exit_code;
    const char *end, *trace;
};

static const Course kCourses[] = {
    /* Setting aside and putting back. */
    {"the same value, its spelling for the record failing", 30, false, nullptr,
     "WideCharToMultiByte||3", 1, "", "UninstallString not read: not deleted\n"},
    {"a folder the code page cannot spell, by its short name", 1, false,
     [](Scenario &s) {
         InCyrillicFolder(s, "C:\\D0A2~1\\{1234-ABCD}\\");
         hw::SetShortPath(kCyrillicDir, s.dir);
     },
     "", kFailed, "", "zmf_loc=C:\\D0A2~1\\{1234-ABCD}\\setup.zmf\nzmf_loc access()=0\n"},
    {"the same folder without a short name", 1, false,
     [](Scenario &s) {
         InCyrillicFolder(s, "C:\\?????????\\{1234-ABCD}\\");
         hw::SetShortPath(kCyrillicDir, kCyrillicDir);
     },
     "", 1, "", "zmf_loc=C:\\?????????\\{1234-ABCD}\\\nEnd: MakeUninstLogFile().\n"},
    {"the same folder, not to be looked at", 1, false,
     [](Scenario &s) { InCyrillicFolder(s, kCommandDir); }, "GetShortPathNameW||1", 1, "",
     "zmf_loc=C:\\?????????\\{1234-ABCD}\\\nEnd: MakeUninstLogFile().\n"},
    {"the same folder gone", 1, false, [](Scenario &s) { InCyrillicFolder(s, kCommandDir); }, "",
     kFailed, "",
     "zmf_loc access()=-1\nEnd: MakeUninstLogFile().\nLog file (setup.zmf) NOT found\n"},
    {"the same Program Files without a short name", 16, false,
     [](Scenario &s) { InCyrillicProgramFiles(s, u8"C:\\Программы"); }, "", 1, "",
     "ProgramFilesDir=C:\\?????????\nEnd: MakeUninstLogFile().\n"},
    {"the same Program Files gone", 16, false, [](Scenario &s) { InCyrillicProgramFiles(s, ""); },
     "", kFailed, "",
     "ProgramFilesDir=C:\\?????????\nEnd: MakeUninstLogFile().\nLog file (setup.zmf) NOT found\n"},
    {"no copy in the journal", 1, false, nullptr, "RegSetValueExW|UninstallString", 1, "",
     "Save UninstallString to journal: return from ReqSetValueEx(): 5\n"
     "UninstallString not saved: not deleted\n"},
    {"an empty value", 16, false,
     [](Scenario &s) {
         s.command.clear();
         s.terminated = false;
         hw::RegSet(kUninstallKey, "UninstallString", s.type, s.Bytes());
     },
     "", kFailed, "", "Delete UninstallString: return from ReqDeleteValue(): 0\n"},
    {"the largest value the stash takes", 16, false, [](Scenario &s) { SetValueOfSize(s, 284); },
     "", kFailed, "", "Query UninstallString: return from ReqQueryValueEx(): 0\n"},
    {"one byte more", 16, false, [](Scenario &s) { SetValueOfSize(s, 285); }, "", kFailed, "",
     "UninstallString of 570 bytes does not fit the stash: left in place\n"},
    {"no product key", 16, false, [](Scenario &) { hw::RegRemoveKey(kUninstallKey); }, "", kFailed,
     "UninstallString is gone",
     "Couldn't open Uninstall key: RegOpenKeyEx() returned: 2\nProgramFilesDir=C:\\Program "
     "Files\n"},
    {"the engine writes its own value", 3, false, nullptr, "", kFailed, "",
     "Begin: RestoreUninstallString().\n$o\nQuery UninstallString: return from ReqQueryValueEx(): "
     "0\n"},
    {"the engine cleans its folder: the backup log goes, its own log stays", 0, false,
     [](Scenario &s) { s.cleans = true; }, "", kFailed,
     "setup log holds \"the engine's copy's log\"",
     "Backup log gone: the setup log there stays\nBegin: RestoreUninstallString().\n$o\nSet "
     "UninstallString: return from ReqSetValueEx(): 0\nEnd: RestoreUninstallString().\nDelete "
     "journal: return from RegDeleteKey(): 0\n"},
    {"an uninstall command with slashes", 0, false,
     [](Scenario &s) {
         s.command = "C:\\Apps\\LaunchSetup \"C:/Apps/Brevane zZ\\{1234-ABCD}/bv_setup.exe\" /u";
         hw::RegSet(kUninstallKey, "UninstallString", s.type, s.Bytes());
     },
     "", kFailed, "",
     "Rename of log file to C:/APPS/BREVANE ZZ\\{1234-ABCD}/setup.z_f returned: 0\n"},
    {"an engine's copy started in capitals on NT 4", 0, false,
     [](Scenario &s) {
         hw::SetVersion(0x05650004);
         s.copy = "C:\\SETUP PACKAGE\\BV_SETUP.EXE";
     },
     "", kFailed, "",
     "Waiting for bv_setup.exe to terminate: 6 seconds elapsed\nDeleting log file: return from "
     "remove(): 0\n"},
    /* On 64-bit Windows: the engine's view first, then the other; ProgramFilesDir of its own. */
    {"a 64-bit engine, its key in the 64-bit view", 32, false, nullptr, "", kFailed, "",
     "Engine verified: its SHA-256 is the one stamped\nengine_view=64-bit\nBegin: "
     "RecoverInterruptedRun().\nEnd: "
     "RecoverInterruptedRun().\nBegin: MakeUninstLogFile().\nuninstkey_view=64-bit\nzmf_loc=$d\n"},
    {"a 64-bit engine, its key in the 32-bit view", 32, false, KeyIn32BitView, "", kFailed, "",
     "Begin: MakeUninstLogFile().\nuninstkey_view=32-bit\nzmf_loc=$d\n"},
    {"a 64-bit engine, its key in neither: its own Program Files", 33, false,
     [](Scenario &s) { hw::RegRemoveKey(s.Key()); }, "", kFailed, "UninstallString is gone",
     "ProgramFilesDir=C:\\Program Files\nzmf_loc=$dsetup.zmf\nzmf_loc access()=0\n"},
    {"a 32-bit engine, its key in the 64-bit view", 32, false,
     [](Scenario &s) {
         s.wow64 = 32;
         hw::WriteFile(std::string(kPackageDir) + "bv_setup.exe", PeImage(0x14C));
         Stamp(PeImage(0x14C));
     },
     "", kFailed, "", "engine_view=32-bit\n"},
    {"a 64-bit engine's run killed: the value back in the 64-bit view", 32, true, nullptr, "",
     kFailed, "", "Set UninstallString: return from ReqSetValueEx(): 0\n"},
    {"the same in the 32-bit view", 32, true, KeyIn32BitView, "", kFailed, "",
     "Set UninstallString: return from ReqSetValueEx(): 0\n"},
    {"a journal naming no view", 32, true,
     [](Scenario &s) { hw::RegSetString(s.Journal(), "UninstallKeyView", "64"); }, "", 1,
     "the clean run ended with 1", "Query journal view: return from ReqQueryValueEx(): 13\n"},
    {"the engine deletes the key", 4, false, nullptr, "", kFailed, "",
     "RegOpenKeyEx() returned: 2\nOpenUninstallStringKey failed.\nEnd: "
     "RestoreUninstallString().\nDelete journal: return from RegDeleteKey(): 0\n"},
    {"the stash record stays", 1, false, nullptr, "NtSetInformationFile|uninst.dat", 1, "",
     "End: RestoreUninstallString().\nCould not put back the earlier installation after Setup.  "
     "Run Setup again to put it back.\nEnd: WinMain().\n"},
    {"the value cannot be set back", 1, false, nullptr, "RegSetValueExW|UninstallString|1", 1, "",
     "Set UninstallString: return from ReqSetValueEx(): 5\nEnd: RestoreUninstallString().\n"},
    {"the locator cannot open the key", 1, false, nullptr, "RegOpenKeyExA|Uninstall\\", 1, "",
     "Couldn't open Uninstall key: RegOpenKeyEx() returned: 5\nEnd: MakeUninstLogFile().\n"},
    {"the locator cannot read the value", 1, false, nullptr, "RegQueryValueExW|UninstallString", 1,
     "", "Uninstall key not found: RegQueryValueEx() returned: 5\nEnd: MakeUninstLogFile().\n"},
    {"the journal cannot be made", 1, false, nullptr, "RegCreateKeyExA|Setup Launcher", 1, "",
     "Save SetupLog to journal: return from ReqSetValueEx(): 5\nBegin: "
     "RestoreUninstallString().\n"},
    {"the log cannot be renamed", 1, false, nullptr, "NtSetInformationFile|setup.zmf", 1, "",
     "Rename of log file to $dsetup.z_f returned: -1\nBegin: RestoreUninstallString().\n"
     "UninstallString was not read: nothing to set\n"},
    {"the key cannot be opened to take the value", 1, false, nullptr, "RegOpenKeyExA|Uninstall\\|1",
     1, "",
     "RegOpenKeyEx() returned: 5\nOpenUninstallStringKey failed.\nEnd: RemoveUninstallString().\n"
     "Deleting log file: return from remove(): -1\n"},
    {"the longest log path under Program Files", 16, false,
     [](Scenario &) { SetProgramFilesDir(244); }, "", kFailed, "",
     "zmf_loc access()=-1\nEnd: MakeUninstLogFile().\nLog file (setup.zmf) NOT found\n"},
    {"one character more", 16, false, [](Scenario &) { SetProgramFilesDir(245); }, "", kFailed, "",
     "Setup log path would not fit in zmf_loc: no setup log\nEnd: MakeUninstLogFile().\n"},
    {"ProgramFilesDir filling its buffer unterminated", 16, false,
     [](Scenario &) { SetProgramFilesDir(260, false); }, "", kFailed, "",
     "Setup log path would not fit in zmf_loc: no setup log\n"},

    /* Putting back what a run killed while the engine ran set aside. */
    {"a stash record without a value, no copy in the journal", 1, true,
     [](Scenario &s) {
         hw::RegRemoveValue(kJournalKey, "UninstallString");
         hw::WriteFile(s.dir + "uninst.dat", "Something=else");
     },
     "", kFailed, "UninstallString is gone",
     "Stash record holds no value to recover\nDeleting stash record: return from remove(): 0\n"},
    {"a journal naming no setup log", 1, false,
     [](Scenario &) {
         hw::RegSetString(kJournalKey, "SetupLog", "C:\\d\\boot.ini");
         hw::WriteFile("C:\\d\\boot.ini", "boot");
         hw::WriteFile("C:\\d\\boot.i_i", "not a backup");
     },
     "", kFailed, "",
     "Journal setup log=C:\\d\\boot.ini\nDelete journal: return from RegDeleteKey(): 0\n"},
    {"another product cut short in the same folder (its log aside has the same bytes)", 1, false,
     [](Scenario &s) {
         hw::WriteFile(s.dir + "setup.z_f", kOriginalLog);
         hw::WriteFile(s.dir + "setup.zmf", "the other product's engine's log");
         hw::RegSetString(kOtherJournal, "SetupLog", LocatorDir(s) + "setup.zmf");
     },
     "", kFailed, "",
     "Journal of another product={5678-ef}\nJournal: RegOpenKeyEx() returned: 0\nJournal setup "
     "log=$dsetup.zmf\nBackup log left by an interrupted run=$dsetup.z_f\n"},
    {"a stash record beside a backup log, no journal", 16, true,
     [](Scenario &) { hw::RegRemoveKey(kJournalKey); }, "", kFailed, "",
     "Backup log left by an interrupted run=$dsetup.z_f\nDeleting log file: return from remove(): "
     "0\nRenaming log file: return from rename(): 0\nStash record left by an interrupted "
     "run=$duninst.dat\n"},
    {"a backup log alone", 16, false,
     [](Scenario &s) {
         hw::RemoveFile(s.dir + "setup.zmf");
         hw::WriteFile(s.dir + "setup.z_f", kOriginalLog);
     },
     "", kFailed, "",
     "zmf_loc access()=-1\nEnd: MakeUninstLogFile().\nBackup log left by an interrupted "
     "run=$dsetup.z_f\nDeleting log file: return from remove(): -1\nRenaming log file: return "
     "from rename(): 0\nLog file (setup.zmf) found at"},
    {"a backup log whose stash record cannot be looked at", 16, false,
     [](Scenario &s) { hw::WriteFile(s.dir + "setup.z_f", kOriginalLog); },
     "GetFileAttributesA|uninst.dat", 1, "a backup log or stash record is left",
     "zmf_loc access()=0\nEnd: MakeUninstLogFile().\n"},
    {"the journal's setup log without its terminator", 1, true,
     [](Scenario &s) { hw::RegSet(kJournalKey, "SetupLog", REG_SZ, LocatorDir(s) + "setup.zmf"); },
     "", kFailed, "",
     "Journal setup log=$dsetup.zmf\nBackup log left by an interrupted run=$dsetup.z_f\n"},
    {"a stale backup log, another product's journal stuck elsewhere", 1, false,
     [](Scenario &s) {
         hw::WriteFile(s.dir + "setup.z_f", "stale");
         hw::RegSetString(kOtherJournal, "SetupLog", "C:\\Other\\setup.zmf");
         hw::WriteFile("C:\\Other\\setup.z_f", "the other product's log");
         hw::MakeDir("C:\\Other\\setup.zmf"); /* in the way of its going back */
     },
     "", kFailed, "the launcher's key is left", "Rename of log file to $dsetup.z_f returned: 0\n"},
    {"a killed run's journal on the consumer family", 1, true,
     [](Scenario &) { hw::SetVersion(0xC0000A04); }, "", kFailed, "",
     "Set UninstallString: return from ReqSetValueEx(): 0\n"},
    {"a backup log that a stuck journal may name", 1, false,
     [](Scenario &s) {
         hw::WriteFile(s.dir + "setup.z_f", "stale");
         hw::RegSet(kOtherJournal, "SetupLog", REG_SZ, std::string(301, 'l'));
     },
     "", 1, "a backup log or stash record is left", "Log file (setup.zmf) found at:$dsetup.zmf\n"},
    {"a setup log at the longest path", 1, true, LeftAtTheLongestPath, "", kFailed, "",
     "Renaming log file: return from rename(): 0\nDelete journal: return from RegDeleteKey(): 0\n"},
    {"the journal's copy cannot be read", 1, true, nullptr, "RegQueryValueExW|UninstallString", 1,
     "", "Query journal UninstallString: return from ReqQueryValueEx(): 5\n"},
    {"a journal setup log longer than a path", 1, true,
     [](Scenario &) { hw::RegSet(kJournalKey, "SetupLog", REG_SZ, std::string(301, 'l')); }, "", 1,
     "the clean run ended with 1", "Query journal setup log: return from ReqQueryValueEx(): 234\n"},
    {"the stash record cannot be looked at", 1, true, nullptr, "GetFileAttributesA|uninst.dat", 1,
     "", "Renaming log file: return from rename(): 0\nEnd: RecoverInterruptedRun().\n"},
    {"a setup log named in capitals", 1, false,
     [](Scenario &s) {
         hw::RemoveFile(s.dir + "setup.zmf");
         hw::WriteFile(s.dir + "SETUP.ZMF", kOriginalLog);
     },
     "", kFailed, "", "Rename of log file to $dsetup.z_f returned: 0\n"},
    /* Names in the folder that every open follows elsewhere (object-manager links behind a
    ** mount point): what they name is never deleted nor written. */
    {"a stale backup log that is a link", 1, false,
     [](Scenario &s) { hw::SymLink(kSystemIni, s.dir + "setup.z_f", true); }, "", 1,
     "a backup log or stash record is left",
     "Log file (setup.zmf) found at:$dsetup.zmf\nBegin: RestoreUninstallString().\n"},
    {"a stash record that is a link", 1, false,
     [](Scenario &s) { hw::SymLink(kSystemIni, s.dir + "uninst.dat", true); }, "", 1,
     "the clean run ended with 1", "Stash record not created: $duninst.dat\n"},
    /* A journal without a copy of the value: the stash record beside the log is the copy. */
    {"the stash record without its zero", 1, true, [](Scenario &s) { StashOnly(s.command); }, "",
     kFailed, "", "Set UninstallString: return from ReqSetValueEx(): 0\n"},
    {"the longest value a stash record holds", 1, true,
     [](Scenario &s) { StashOnly((s.command = std::string(569, 'c')) + '\0'); }, "", kFailed, "",
     "Set UninstallString: return from ReqSetValueEx(): 0\n"},
    {"one more", 1, true, [](Scenario &) { StashOnly(std::string(570, 'c')); }, "", kFailed,
     "UninstallString is gone", "Stash record holds no value to recover\n"},
    {"a stash record filling the reader's buffer", 1, true,
     [](Scenario &) { StashOnly(std::string(571, 'c')); }, "", kFailed, "UninstallString is gone",
     "Stash record holds no value to recover\n"},
    {"the stash record cannot be read, no copy in the journal", 1, true,
     [](Scenario &) { hw::RegRemoveValue(kJournalKey, "UninstallString"); }, "fopen|uninst.dat", 1,
     "", "Stash record left by an interrupted run=$duninst.dat\nEnd: RecoverInterruptedRun().\n"},
};

TEST_F(EarlierInstallationTest, EachCourseTracesItsStepsAndKeepsWhatCannotBePutBack)
{
    for (const Course &c : kCourses) {
        SCOPED_TRACE(c.what);
        Scenario s = AllScenarios()[c.scenario];
        Plant(s);
        hw::WriteFile(kSystemIni, "[boot]\r\n");
        if (c.interrupted)
            LeaveInterrupted(s);
        if (c.change != nullptr)
            c.change(s);
        const std::string fault = c.fault; /* call|argument|skip */
        const size_t bar = fault.find('|'), skip = fault.find('|', bar + 1);
        if (bar != std::string::npos)
            hw::FailCall(fault.substr(0, bar), ERROR_ACCESS_DENIED, 1,
                         skip == std::string::npos ? 0 : atoi(fault.c_str() + skip + 1),
                         fault.substr(bar + 1, skip - bar - 1));
        EXPECT_EQ(c.exit_code, RunWithEngine(s, 0, "LOG", kFailed));
        const std::string expected = Fill(c.trace, LocatorDir(s)), trace = TraceText();
        EXPECT_NE(std::string::npos, ("\n" + trace).find("\n" + expected))
            << "lines not traced in a row:\n"
            << expected << "trace:\n"
            << trace;
        EXPECT_EQ(0, hw::LeftOpen());
        const std::string box = Boxes();
        const bool launched = !hw::Arguments("CreateProcessA").empty();
        EXPECT_EQ(c.exit_code == 1, !box.empty());
        EXPECT_EQ(c.exit_code != 1 || box == kNotPutBack, launched);
        EXPECT_EQ(launched ? "End: WinMain()." : box + " - aborting", TraceLines().back());
        EXPECT_EQ(c.end, c.exit_code == 1 && (c.interrupted || launched)
                             ? CleanRunThenDifference(s)
                             : (EndLeftProcesses(), Difference(s)));
        EXPECT_EQ("[boot]\r\n", hw::ReadFile(kSystemIni));
    }
}

/* A stash record as its text stream wrote it: each CR LF is read back as the line feed it was. */
TEST_F(LauncherTest, StashRecordIsReadBackAsItsValueWasWritten)
{
    const std::pair<std::string, std::string> cases[] = {
        {"UninstallString=a\r\nb\r\n", "a\nb\n"},
        {"UninstallString=a\rb\r", "a\rb\r"},
        {"UninstallString=\r\r\n", "\r\n"},
        {"Uninstall=a", ""},
    };
    for (const auto &[bytes, text] : cases) {
        char out[SAVED_UNINST_SIZE];
        hw::WriteFile("C:\\r.dat", bytes);
        EXPECT_EQ((int)text.size(), ReadStashRecord("C:\\r.dat", out)) << bytes;
        EXPECT_EQ(text, out);
        EXPECT_EQ(0, hw::LeftOpen());
    }
}

TEST_F(LauncherTest, ProductKeyPathThatWouldNotFitItsBufferIsNotOpened)
{
    char path[UNINSTALL_KEY_SIZE];
    HKEY key;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              OpenProductKey(std::string(208, 'g').c_str(), 0, path, &key));
    EXPECT_STREQ("", path);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenProductKey(std::string(207, 'g').c_str(), 0, path, &key));
}
