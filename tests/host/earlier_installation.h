/* An earlier installation on the simulated machine, the engines that act on it, and the check
** that it is as it was after a run that completes: for the tests that kill the launcher or fail
** its calls. */
#ifndef TESTS_HOST_EARLIER_INSTALLATION_H
#define TESTS_HOST_EARLIER_INSTALLATION_H

#include <set>

#include "fixture.h"

static const std::string kCommandDir = "C:\\Apps\\Brevane zZ\\{1234-ABCD}\\";
static const std::string kInfoDir =
    "C:\\Program Files\\Brevane Installation Information\\{1234-ABCD}\\";
static const std::string kOriginalLog = "original log\r\nof the earlier installation";

enum Action { NewLog, NoLog, DeleteValue, OwnValue, DeleteKey };
static const char *const kActionNames[] = {"new log", "no log", "deletes value", "own value",
                                           "deletes key"};

struct Scenario {
    std::string dir;     /* where the earlier installation's setup log lies */
    std::string command; /* its UninstallString (UTF-8 where wide) */
    DWORD type;
    bool terminated;     /* stored with its zero byte */
    Action action;       /* what the engine does */
    bool wide = false;   /* stored in UTF-16, as the W calls write it */
    bool stale = false;  /* a backup log of no run lies beside the setup log */
    bool cleans = false; /* the engine deletes the backup log too, cleaning its folder */
    std::string copy = "C:\\Setup Package\\bv_setup.exe"; /* its copy's executable */
    int wow64 = 0;      /* on 64-bit Windows: the engine's bits, 32 or 64; 0: one registry */
    bool key32 = false; /* there, the product key in the 32-bit view (else the 64-bit one) */

    std::string Key() const
    {
        return View32(kUninstallKey, wow64 && key32);
    }
    std::string Journal() const
    {
        return View32(kJournalKey, wow64);
    }

    /* text as the value stores it, with its terminator where zero is set */
    std::string Stored(const std::string &text, bool zero) const
    {
        std::string bytes = wide ? hw::Utf16(text) : text + '\0';
        bytes.resize(bytes.size() - (zero ? 0 : wide ? 2 : 1));
        return bytes;
    }
    std::string Bytes() const
    {
        return Stored(command, terminated);
    }
    std::string Name() const
    {
        return dir + " type " + std::to_string(type) + (terminated ? "" : " unterminated") +
               (wide ? " outside the code page" : "") + (stale ? ", a stale backup" : "") +
               (wow64 ? ", a " + std::to_string(wow64) + "-bit engine on 64-bit Windows" : "") +
               ", engine " + kActionNames[action];
    }
};

/* How a scenario is named where a test reports it: ctest's names of the sweeps, failures. */
inline void PrintTo(const Scenario &s, std::ostream *os)
{
    *os << s.Name();
}

/* Both routes to the setup log; the value as REG_SZ, REG_EXPAND_SZ and without terminator;
** every engine action. The first five take the uninstall command's route; the last but one
** holds a product name that the ANSI code page cannot spell, the last a stale backup log. */
inline std::vector<Scenario> AllScenarios()
{
    const std::string routes[][2] = {
        {kCommandDir, "C:\\Apps\\LaunchSetup \"" + kCommandDir + "bv_setup.exe\" /u"},
        {kInfoDir, "C:\\Apps\\uninstall.exe /x"}};
    const std::pair<DWORD, bool> kinds[] = {{REG_SZ, true}, {REG_EXPAND_SZ, true}, {REG_SZ, false}};
    std::vector<Scenario> all;
    for (auto &r : routes)
        for (auto &k : kinds)
            for (Action a : {NewLog, NoLog, DeleteValue, OwnValue, DeleteKey})
                all.push_back({r[0], r[1], k.first, k.second, a});
    all.push_back({kCommandDir, routes[0][1] + u8" Программа", REG_EXPAND_SZ, true, NewLog, true});
    all.push_back({kInfoDir, routes[1][1], REG_SZ, true, NewLog, false, true});
    for (auto &r : routes) { /* a 64-bit engine, its installation in the 64-bit view */
        all.push_back({r[0], r[1], REG_EXPAND_SZ, true, NewLog});
        all.back().wow64 = 64;
    }
    return all;
}

/* Calls that change what a later run finds: a kill before any other call leaves the same
** disk and registry as a kill before the next one of these. (Writes to a stream stay in its
** buffer until it is closed.) */
inline std::vector<int> StateChangingCalls(const std::vector<std::string> &log)
{
    static const std::set<std::string> changing = {"RegCreateKeyExA",
                                                   "RegSetValueExA",
                                                   "RegSetValueExW",
                                                   "RegDeleteValueA",
                                                   "RegDeleteKeyA",
                                                   "fopen",
                                                   "fclose",
                                                   "remove",
                                                   "rename",
                                                   "MoveFileExA",
                                                   "CreateProcessA",
                                                   "CreateFileA",
                                                   "NtSetInformationFile"};
    std::vector<int> points;
    for (size_t i = 0; i < log.size(); i++)
        if (changing.count(log[i]) != 0)
            points.push_back((int)i + 1);
    return points;
}

class EarlierInstallationTest : public LauncherTest
{
  protected:
    bool engine_ran = false;

    void Plant(const Scenario &s)
    {
        NewMachine();
        engine_ran = false;
        hw::WriteFile(s.dir + "setup.zmf", kOriginalLog);
        if (s.stale)
            hw::WriteFile(s.dir + "setup.z_f", "a stale backup log");
        if (s.wow64) {
            hw::SetWow64(true);
            hw::WriteFile(std::string(kPackageDir) + "bv_setup.exe",
                          PeImage(s.wow64 == 64 ? 0x8664 : 0x14C));
        }
        hw::RegSet(s.Key(), "UninstallString", s.type, s.Bytes(), s.wide);
        Stamp(hw::ReadFile(std::string(kPackageDir) + "bv_setup.exe")); /* as packages are */
    }

    /* One launcher run with the scenario's engine, which ends with exit_code, killed before
    ** call kill_at (0: not). */
    int RunWithEngine(const Scenario &s, int kill_at = 0, const char *args = "LOG",
                      DWORD exit_code = 0)
    {
        hw::NextEngine() = hw::Engine();
        hw::NextEngine().exit_code = exit_code;
        /* A copy of the engine outlives it and writes its log last: a wait that ends before
        ** the copy has would let that log replace the one put back. */
        hw::Process copy = {4300, "bv_setup.exe", {s.copy}, 2, nullptr};
        copy.on_end = [s] {
            if (s.action == NewLog)
                hw::WriteFile(s.dir + "setup.zmf", "the engine's copy's log");
        };
        hw::NextEngine().copies = {copy};
        hw::NextEngine().on_run = [this, s] {
            engine_ran = true;
            if (s.cleans)
                hw::RemoveFile(s.dir + "setup.z_f");
            if (s.action == NewLog)
                hw::WriteFile(s.dir + "setup.zmf", "engine's new log");
            else if (s.action == DeleteValue)
                hw::RegRemoveValue(s.Key(), "UninstallString");
            else if (s.action == OwnValue)
                hw::RegSet(s.Key(), "UninstallString", REG_SZ, s.Stored(s.command + " /new", true),
                           s.wide);
            else if (s.action == DeleteKey)
                hw::RegRemoveKey(s.Key());
        };
        if (kill_at > 0)
            hw::KillBeforeCall(kill_at);
        return Run(args);
    }

    /* The earlier installation as it is now: "" when it is as it was, or as the engine left it;
    ** else what differs. */
    std::string Difference(const Scenario &s)
    {
        if (hw::ReadFile(s.dir + "setup.zmf") != kOriginalLog)
            return "setup log holds \"" + hw::ReadFile(s.dir + "setup.zmf") + "\"";
        if (hw::Exists(s.dir + "setup.z_f") || hw::Exists(s.dir + "uninst.dat"))
            return "a backup log or stash record is left";
        if (hw::RegKeyExists(s.Journal()))
            return "the journal is left";
        if (hw::RegKeyExists(View32("SOFTWARE\\Brevane\\Setup Launcher", s.wow64)))
            return "the launcher's key is left";
        if (hw::RegKeyExists(View32("SOFTWARE\\Brevane", s.wow64)))
            return "the vendor key is left";
        if (engine_ran && s.action == DeleteKey)
            return hw::RegKeyExists(s.Key()) ? "the deleted key came back" : "";
        hw::RegValue v;
        if (!hw::RegGet(s.Key(), "UninstallString", &v, s.wide))
            return "UninstallString is gone";
        if (engine_ran && s.action == OwnValue)
            return v.bytes == s.Stored(s.command + " /new", true)
                       ? ""
                       : "the engine's own value was replaced";
        return v.type == s.type && v.bytes == s.Bytes() ? "" : "UninstallString is not as it was";
    }

    /* The processes that a run left end, each doing its last act. */
    void EndLeftProcesses()
    {
        std::vector<hw::Process> left;
        left.swap(hw::Processes());
        for (const hw::Process &p : left)
            if (p.on_end)
                p.on_end();
    }

    /* A run that completes, with an engine that changes nothing, then the difference. */
    std::string CleanRunThenDifference(const Scenario &s)
    {
        EndLeftProcesses(); /* a copy that a cut-short run left ends first */
        hw::NextEngine() = hw::Engine();
        int code = Run("");
        return code != 0 ? "the clean run ended with " + std::to_string(code) : Difference(s);
    }
};

#endif
