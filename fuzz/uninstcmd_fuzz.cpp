/* UninstallCommandDirectory over any uninstall command, in the single-byte code page and in
** code page 932. The command is an exact-size heap block, cut in place. */
#include "fuzz_common.h"

#include "installrecord/uninstcmd.h"

static std::string UpperAscii(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 32);
    return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        hw::Reset(FuzzSandbox("uninstcmd"));
        ready = true;
    }
    char *text = HeapString(data, size);
    const std::string command = text;
    free(text);

    for (int code_page : {0, 932}) {
        hw::SetCodePage(code_page);
        text = (char *)malloc(command.size() + 1);
        memcpy(text, command.c_str(), command.size() + 1);
        UninstallCommandDirectory(text);
        std::string dir = text; /* strlen: past the block, AddressSanitizer stops it */
        free(text);

        /* Never longer than the command, and empty without the keyword in any case. */
        FUZZ_CHECK(dir.size() <= command.size());
        if (UpperAscii(command).find("LAUNCHSETUP") == std::string::npos)
            FUZZ_CHECK(dir.empty());
        /* Cut before the first BV_SETUP.EXE. */
        FUZZ_CHECK(dir.find("BV_SETUP.EXE") == std::string::npos);
        if (code_page == 0) {
            /* Without lead bytes the whole rule is plain: 13 characters after the first
            ** keyword up to the first BV_SETUP.EXE or else SETUP.EXE, upper-cased. */
            std::string up = UpperAscii(command), want;
            size_t k = up.find("LAUNCHSETUP");
            if (k != std::string::npos && up.size() - k >= 13) {
                std::string rest = up.substr(k + 13);
                size_t end = rest.find("BV_SETUP.EXE");
                if (end == std::string::npos)
                    end = rest.find("SETUP.EXE");
                if (end != std::string::npos)
                    want = rest.substr(0, end);
            }
            FUZZ_CHECK(dir == want);
        }
    }
    return 0;
}
