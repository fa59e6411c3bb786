/* An earlier installation on the simulated machine, the engines that act on it, and the check
** that it is as it was after a run that completes: for the tests that kill the launcher or fail
** its calls. */
#ifndef TESTS_HOST_EARLIER_INSTALLATION_H
#define TESTS_HOST_EARLIER_INSTALLATION_H

#include <algorithm>
#include <set>

#include "fixture.h"

static const std::string kCommandDir = "C:\\Apps\\Brevane\\{1234-ABCD}\\";
static const std::string kInfoDir =
    "C:\\Program Files\\Brevane Installation Information\\{1234-ABCD}\\";
static const std::string kOriginalLog = "original log\r\nof the earlier installation";

enum Action { NewLog, NoLog, DeleteValue, OwnValue, DeleteKey };
static const char *const kActionNames[] = {"new log", "no log", "deletes value", "own value",
                                           "deletes key"};

struct Scenario {
    std::string dir;     /* where the earlier installation's setup log lies */
    std::string command; /* its UninstallString */
    DWORD type;
    bool terminated; /* stored with its zero byte */
    Action action;   /* what the engine does */

    std::string Bytes() const
    {
        return terminated ? std::string(command.c_str(), command.size() + 1) : command;
    }
    std::string OwnValue() const
    {
        return command + " /new";
    }
    std::string Name() const
    {
        return dir + " type " + std::to_string(type) + (terminated ? "" : " unterminated") +
               ", engine " + kActionNames[action];
    }
};

/* Named in test listings by what it is. */
inline void PrintTo(const Scenario &s, std::ostream *os)
{
    *os << s.Name();
}

/* Both routes to the setup log; the value as REG_SZ, REG_EXPAND_SZ and without terminator;
** every engine action. */
inline std::vector<Scenario> AllScenarios()
{
    const struct {
        std::string dir, command;
    } routes[] = {
        {kCommandDir, "C:\\Apps\\LaunchSetup \"" + kCommandDir + "bv_setup.exe\" /u"},
        {kInfoDir, "C:\\Apps\\uninstall.exe /x"},
    };
    const struct {
        DWORD type;
        bool terminated;
    } kinds[] = {{REG_SZ, true}, {REG_EXPAND_SZ, true}, {REG_SZ, false}};
    std::vector<Scenario> all;
    for (auto &r : routes)
        for (auto &k : kinds)
            for (Action a : {NewLog, NoLog, DeleteValue, OwnValue, DeleteKey})
                all.push_back({r.dir, r.command, k.type, k.terminated, a});
    return all;
}

/* Calls that change what a later run finds: a kill before any other call leaves the same
** disk and registry as a kill before the next one of these. (Writes to a stream stay in its
** buffer until it is closed.) */
inline bool ChangesState(const std::string &call)
{
    static const std::set<std::string> calls = {
        "RegCreateKeyExA", "RegSetValueExA", "RegDeleteValueA", "RegDeleteKeyA",
        "fopen",           "fclose",         "remove",          "rename",
        "CreateProcessA",  "CreateFileA",    "DeleteFileA"};
    return calls.count(call) != 0;
}

inline std::vector<int> StateChangingCalls(const std::vector<std::string> &log)
{
    std::vector<int> points;
    for (size_t i = 0; i < log.size(); i++)
        if (ChangesState(log[i]))
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
        hw::RegSet(kUninstallKey, "UninstallString", s.type, s.Bytes());
    }

    /* One launcher run with the scenario's engine, killed before call kill_at (0: not). */
    int RunWithEngine(const Scenario &s, int kill_at = 0, const char *args = "LOG")
    {
        hw::NextEngine() = hw::Engine();
        hw::NextEngine().on_run = [this, s] {
            engine_ran = true;
            if (s.action == NewLog)
                hw::WriteFile(s.dir + "setup.zmf", "engine's new log");
            else if (s.action == DeleteValue)
                hw::RegRemoveValue(kUninstallKey, "UninstallString");
            else if (s.action == OwnValue)
                hw::RegSetString(kUninstallKey, "UninstallString", s.OwnValue());
            else if (s.action == DeleteKey)
                hw::RegRemoveKey(kUninstallKey);
        };
        if (kill_at > 0)
            hw::KillBeforeCall(kill_at);
        return Run(args);
    }

    /* A run that completes, with an engine that changes nothing, then the end state: "" when it
    ** is the earlier installation as it was, or as the engine left it; else what differs. */
    std::string CleanRunThenDifference(const Scenario &s)
    {
        hw::NextEngine() = hw::Engine();
        int code = Run("");
        if (code != 0)
            return "the clean run ended with " + std::to_string(code);
        if (hw::ReadFile(s.dir + "setup.zmf") != kOriginalLog)
            return "setup log holds \"" + hw::ReadFile(s.dir + "setup.zmf") + "\"";
        if (hw::Exists(s.dir + "setup.z_f") || hw::Exists(s.dir + "uninst.dat"))
            return "a backup log or stash record is left";
        if (hw::RegKeyExists(kJournalKey))
            return "the journal is left";
        bool key_gone = engine_ran && s.action == DeleteKey;
        if (key_gone)
            return hw::RegKeyExists(kUninstallKey) ? "the deleted key came back" : "";
        hw::RegValue v;
        if (!hw::RegGet(kUninstallKey, "UninstallString", &v))
            return "UninstallString is gone";
        if (engine_ran && s.action == OwnValue)
            return v.bytes == s.OwnValue() + '\0' ? "" : "the engine's own value was replaced";
        if (v.type != s.type || v.bytes != s.Bytes())
            return "UninstallString came back as type " + std::to_string(v.type) + " \"" + v.bytes +
                   "\"";
        return "";
    }
};

#endif
