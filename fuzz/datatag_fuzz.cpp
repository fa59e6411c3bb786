/* The bytes of data.tag through a whole traced launcher run on the simulated machine: the GUID
** read from it names the uninstall key and information folder, is traced, and is part of the
** uninstall command that is cut. The input's size picks the machine, so each data.tag meets all
** as the fuzzer grows and shrinks it: size % 3 no earlier installation, one on the Program Files
** route, one on the uninstall-command route; (size / 3) % 2 code page 932. */
#include "fuzz.h"

#include "tests/host/product_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t route = size % 3, npos = std::string::npos;
    const std::string tag = "C:\\Setup Package\\data.tag";
    hw::Reset();
    ResetProductState();
    hw::SetCodePage((size / 3) % 2 ? 932 : 0);
    hw::SetModulePath("C:\\Setup Package\\launcher.exe");
    hw::WriteFile("C:\\Setup Package\\bv_setup.exe", "MZ");
    hw::WriteFile(tag, std::string((const char *)data, size));
    hw::SetEnv("TEMP", "C:\\Setup Package");

    /* The value as the launcher reads it, refused when empty, longer than 97 characters or
    ** naming another folder. A zero byte in it ends the braced GUID there. */
    char value[100];
    DWORD len = GetPrivateProfileStringA("TagInfo", "ProjectGUID", "", value, 100, tag.c_str());
    const std::string text = value, braced = ("{" + std::string(value, len) + "}").c_str();
    const bool refused =
        len < 1 || len > 97 || text.find_first_of("\\/:") != npos || text.find("..") != npos;
    /* An earlier installation, where a Windows file can be (no wildcards in the name). */
    const bool planted = route != 0 && !refused && text.find_first_of("?*") == npos;
    const std::string key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + braced;
    const std::string dir = "C:\\Program Files\\Brevane Installation Information\\" + braced;
    std::string command = route == 1 ? "C:\\Brevane\\uninstall.exe /u"
                                     : "C:\\Brevane\\LaunchSetup \"" + dir + "\\bv_setup.exe\" -u";
    command.push_back('\0');
    if (planted) {
        hw::WriteFile(dir + "\\setup.zmf", "original log");
        hw::RegSet(key, "UninstallString", REG_EXPAND_SZ, command);
    }
    bool set_aside = false;
    hw::NextEngine().on_run = [&] {
        set_aside = planted && hw::Exists(dir + "\\setup.z_f") &&
                    !hw::RegGet(key, "UninstallString", nullptr);
        if (set_aside)
            hw::WriteFile(dir + "\\setup.zmf", "engine's new log");
    };

    const int code = hw::RunLauncher("\"C:\\Setup Package\\launcher.exe\" LOG");
    std::string boxes;
    for (const hw::Event &e : hw::Events())
        boxes += e.kind == hw::Event::Box ? e.text + "\n" : "";
    /* A refused GUID stops the run with its box alone; any other is used, and traced as read. */
    assert(code == refused && hw::Arguments("CreateProcessA").size() == !refused);
    assert(boxes == (refused ? "Error reading GUID from DATA.TAG\n" : ""));
    const std::string trace = hw::ReadFile("C:\\Setup Package\\launcher.log");
    assert(refused || trace.find("\r\nGUID=" + braced + "\r\n") != npos);
    assert(hw::LeftOpen() == 0);
    if (planted) {
        /* Set aside for the engine (unless a setup program's name in the GUID cuts the command
        ** short), and afterwards back as it was, with nothing of the run left. */
        assert(set_aside || (route == 2 && strcasestr(braced.c_str(), "setup.exe")));
        hw::RegValue v;
        const bool kept = hw::RegGet(key, "UninstallString", &v);
        assert(kept && v.type == REG_EXPAND_SZ && v.bytes == command);
        assert(hw::ReadFile(dir + "\\setup.zmf") == "original log" &&
               !hw::Exists(dir + "\\setup.z_f") && !hw::Exists(dir + "\\uninst.dat"));
        assert(!hw::RegKeyExists("SOFTWARE\\Brevane\\Setup Launcher\\" + braced));
    }
    return 0;
}
