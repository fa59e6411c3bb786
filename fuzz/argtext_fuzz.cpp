/* ArgumentText over any command line, as GetCommandLineA would give it, in the single-byte
** code page and in code page 932 (Shift-JIS lead bytes, the only one with lead bytes in the
** stand-in). The point is crashes, undefined behaviour and reads past the terminator: the
** command line is an exact-size heap block. (A model of the whole rule was compared over
** some millions of inputs in both code pages and found nothing, so only the bounds stay.) */
#include "fuzz_common.h"

#include "launcher/argtext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        hw::Reset(FuzzSandbox("argtext"));
        ready = true;
    }
    char *cmdline = HeapString(data, size);
    size_t len = strlen(cmdline);

    for (int code_page : {0, 932}) {
        hw::SetCodePage(code_page);
        const char *args = ArgumentText(cmdline);
        /* Inside the command line, its terminator at most, and never on a blank or control
        ** character: those after the first token are all skipped. */
        FUZZ_CHECK(args >= cmdline && args <= cmdline + len);
        FUZZ_CHECK(args[0] == '\0' || (unsigned char)args[0] > ' ');
    }
    free(cmdline);
    return 0;
}
