/* A package on the simulated machine: C:\Setup Package\ with launcher.exe, data.tag and the
** engine, TEMP at C:\Temp, and helpers to read what the run traced and showed. */
#ifndef TESTS_HOST_FIXTURE_H
#define TESTS_HOST_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "hostwin.h"

#include "process/engineimage.h"
#include "product_state.h"

static const char kPackageDir[] = "C:\\Setup Package\\";
static const char kLauncher[] = "C:\\Setup Package\\launcher.exe";
static const char kTraceLog[] = "C:\\Temp\\launcher.log";
static const char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{1234-ABCD}";
static const char kUser32[] = "C:\\WINDOWS\\system32\\user32.dll"; /* by its full path only */
static const char kJournalKey[] = "SOFTWARE\\Brevane\\Setup Launcher\\{1234-ABCD}";
static const char kRunning[] = "An instance of this Setup is already running.  Please close all "
                               "Setups before running this one.";
static const char kChanged[] =
    "The files of this Setup package were changed or damaged.  Please get "
    "the package again.";
static const char kNotPutBack[] = "Could not put back the earlier installation after Setup.  Run "
                                  "Setup again to put it back.";

/* A registry path under SOFTWARE as the 32-bit view of WoW64 keeps it, where in32 is set. */
inline std::string View32(const std::string &path, bool in32)
{
    return in32 ? "SOFTWARE\\WOW6432Node" + path.substr(8) : path;
}

/* The start of a program whose PE header names that machine (0x8664: x64). */
inline std::string PeImage(unsigned machine)
{
    std::string image = "MZ" + std::string(58, '\0') + "\x40" + std::string(3, '\0');
    return image + "PE" + std::string(2, '\0') + (char)(machine & 0xFF) + (char)(machine >> 8);
}

/* launcher.exe as scripts/stamp-engine leaves it for an engine of these bytes; "": unstamped. */
inline void Stamp(const std::string &engine)
{
    const std::string digest = engine.empty() ? std::string(32, '\0') : hw::Sha256(engine);
    for (size_t i = 0; i < sizeof engine_stamp.digest; i++)
        engine_stamp.digest[i] = (unsigned char)digest[i];
}

/* ProgramFilesDir of that many characters, with its terminator or without. */
inline void SetProgramFilesDir(size_t length, bool terminated = true)
{
    std::string dir = "C:\\" + std::string(length - 3, 'p');
    hw::RegSet("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", REG_SZ,
               terminated ? dir + '\0' : dir);
}

class LauncherTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        NewMachine();
    }

    /* A fresh simulated machine with the package on it, for each case of a table too. */
    void NewMachine()
    {
        hw::Reset();
        ResetProductState();
        Stamp("");
        hw::SetModulePath(kLauncher);
        hw::WriteFile(std::string(kPackageDir) + "data.tag",
                      "[TagInfo]\r\nProjectGUID=1234-ABCD\r\n");
        hw::WriteFile(std::string(kPackageDir) + "bv_setup.exe", "MZ");
        hw::SetEnv("TEMP", "C:\\Temp");
        hw::MakeDir("C:\\Temp");
    }

    /* One launcher process: the product's process-wide state starts afresh, as in a new one. */
    int Run(const std::string &args)
    {
        ResetProductState();
        return hw::RunLauncher(("\"" + std::string(kLauncher) + "\" " + args).c_str());
    }

    /* The trace log with LF line ends; fails the test on a line not ended by CR LF. */
    std::string TraceText()
    {
        std::string bytes = hw::ReadFile(kTraceLog), text;
        for (size_t i = 0; i < bytes.size(); i++)
            if (bytes[i] != '\r')
                text += bytes[i];
        EXPECT_EQ(bytes.size() - text.size(), (size_t)std::count(text.begin(), text.end(), '\n'))
            << "a line not ended by CR LF";
        EXPECT_TRUE(text.empty() || text.back() == '\n') << "trace log ends inside a line";
        return text;
    }

    std::vector<std::string> TraceLines()
    {
        std::vector<std::string> lines;
        std::istringstream text(TraceText());
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    /* The texts of the boxes shown, in order, joined by "; ". */
    std::string Boxes()
    {
        std::string texts;
        for (const hw::Event &e : hw::Events())
            if (e.kind == hw::Event::Box)
                texts += (texts.empty() ? "" : "; ") + e.text;
        return texts;
    }

    /* Boxes and writes in order, as "box:<text>" and "trace:<line>" (the trace log, wherever
    ** it lies: a run without an earlier installation writes no other file). */
    std::vector<std::string> Timeline()
    {
        std::vector<std::string> out;
        for (const hw::Event &e : hw::Events())
            out.push_back((e.kind == hw::Event::Box ? "box:" : "trace:") + e.text);
        return out;
    }
};

#endif
