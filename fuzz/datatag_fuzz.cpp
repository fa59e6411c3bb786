/* The bytes of data.tag through a whole traced launcher run on the simulated machine. The
** GUID read from it names the uninstall key, the uninstall information folder and, on the
** uninstall-command route, part of the command that is cut; it is traced too.
**
** The input's size picks the machine (size % 3: no earlier installation, one found by the
** Program Files route, one found by the uninstall command; (size / 3) % 2: code page 932), so
** that every data.tag is tried on each as the fuzzer grows and shrinks it. An earlier
** installation is only planted for a GUID without separators, which keeps every path inside
** the sandbox. Checked: exit code 0, or 1 with the GUID box alone exactly when the value is
** empty, longer than 97 characters, or holds a separator, a colon or ".." before any zero
** byte; nothing left allocated or open; an earlier installation as it was before the run. */
#include "fuzz_common.h"

#include "tests/host/product_state.h"

static const char kPackageDir[] = "C:\\Setup Package\\";
static const char kInfoFolder[] = "C:\\Program Files\\Brevane Installation Information\\";
static const char kUninstall[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

static bool UpperAsciiContains(std::string s, const char *word)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 32);
    return s.find(word) != std::string::npos;
}

/* A fresh machine with the package, as tests/host/fixture.h sets it up. */
static void FreshMachine()
{
    hw::Reset(FuzzSandbox("datatag"));
    ResetProductState();
    hw::SetModulePath(std::string(kPackageDir) + "launcher.exe");
    hw::WriteFile(std::string(kPackageDir) + "bv_setup.exe", "MZ");
    hw::SetEnv("TEMP", "C:\\Temp");
    hw::MakeDir("C:\\Temp");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int route = (int)(size % 3);
    const bool dbcs = (size / 3) % 2 == 1;

    FreshMachine();
    if (dbcs)
        hw::SetCodePage(932);
    const std::string tag = std::string(kPackageDir) + "data.tag";
    hw::WriteFile(tag, std::string((const char *)data, size));

    /* The value as the launcher will read it: the stand-in's own profile reader. */
    char value[100];
    DWORD len =
        GetPrivateProfileStringA("TagInfo", "ProjectGUID", "", value, sizeof value, tag.c_str());
    const std::string text = value; /* up to a zero byte, as the launcher checks it */
    const bool climbs =
        text.find_first_of("\\/:") != std::string::npos || text.find("..") != std::string::npos;
    const bool guid_stop = len < 1 || len > 97 || climbs;
    std::string braced = guid_stop ? "" : "{" + std::string(value, len) + "}";
    braced = braced.c_str(); /* a zero byte in the value ends the launcher's text there */

    const std::string key = kUninstall + braced;
    const std::string log = kInfoFolder + braced + "\\setup.zmf";
    const std::string backup = kInfoFolder + braced + "\\setup.z_f";
    const std::string record = kInfoFolder + braced + "\\uninst.dat";
    /* Wildcards make a name that no Windows file can have: nothing can be planted there. */
    const bool planted =
        route != 0 && !guid_stop && braced.find_first_of("\\/?*") == std::string::npos;
    std::string command;
    if (planted) {
        command = route == 1 ? "C:\\Brevane\\uninstall.exe /u" /* no keyword: Program Files */
                             : "C:\\Brevane\\LaunchSetup \"" + std::string(kInfoFolder) + braced +
                                   "\\bv_setup.exe\" -u";
        command.push_back('\0');
        hw::WriteFile(log, "original log");
        hw::RegSet(key, "UninstallString", REG_EXPAND_SZ, command);
    }
    bool set_aside = false, value_absent = false;
    hw::NextEngine().on_run = [&] {
        if (!planted || !hw::Exists(backup))
            return;
        set_aside = true;
        value_absent = !hw::RegGet(key, "UninstallString", nullptr);
        hw::WriteFile(log, "engine's new log");
    };

    int code = hw::RunLauncher("\"C:\\Setup Package\\launcher.exe\" LOG");

    int boxes = 0;
    std::string last_box;
    for (const hw::Event &e : hw::Events())
        if (e.kind == hw::Event::Box) {
            boxes++;
            last_box = e.text;
        }
    if (guid_stop) {
        FUZZ_CHECK(code == 1);
        FUZZ_CHECK(boxes == 1 && last_box == "Error reading GUID from DATA.TAG");
        FUZZ_CHECK(hw::Launches().empty());
    } else {
        FUZZ_CHECK(code == 0);
        FUZZ_CHECK(boxes == 0);
        FUZZ_CHECK(hw::Launches().size() == 1);
        FUZZ_CHECK(hw::Launches()[0].command_line == "C:\\Setup Package\\bv_setup.exe SAS LOG");
        const std::string trace = hw::ReadFile("C:\\Temp\\launcher.log");
        FUZZ_CHECK(trace.find("\r\nGUID=" + braced + "\r\n") != std::string::npos);
        const std::string end = "End: WinMain().\r\n";
        FUZZ_CHECK(trace.size() >= end.size() &&
                   trace.compare(trace.size() - end.size(), end.size(), end) == 0);
    }
    FUZZ_CHECK(hw::HeapBlocksAtEnd() == 0);
    FUZZ_CHECK(hw::OpenKeyCount() == 0);
    FUZZ_CHECK(hw::OpenHandleCount() == 0);
    FUZZ_CHECK(hw::LoadedLibraryCount() == 0);
    if (planted) {
        /* The route the installation was planted for finds it, unless the GUID itself holds
        ** a setup program name that cuts the command short. */
        bool named = route == 2 && UpperAsciiContains(braced, "SETUP.EXE");
        if (!named)
            FUZZ_CHECK(set_aside && value_absent);
        FUZZ_CHECK(hw::ReadFile(log) == "original log");
        FUZZ_CHECK(!hw::Exists(backup));
        FUZZ_CHECK(!hw::Exists(record));
        hw::RegValue v;
        FUZZ_CHECK(hw::RegGet(key, "UninstallString", &v));
        FUZZ_CHECK(v.type == REG_EXPAND_SZ && v.bytes == command);
        FUZZ_CHECK(!hw::RegKeyExists("SOFTWARE\\Brevane\\Setup Launcher\\" + braced));
    }
    return 0;
}
