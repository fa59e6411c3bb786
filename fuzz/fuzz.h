/* What the fuzz targets share: checks that stay on in any build type (a failed one aborts, and
** libFuzzer keeps the input), and the stand-in's drives, a folder per process gone at exit. */
#pragma once
#undef NDEBUG
#include <assert.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>

#include "hostwin.h"

inline const std::string &Sandbox()
{
    static const std::string dir = "/tmp/launcher-fuzz/" + std::to_string(getpid());
    [[maybe_unused]] static const int at_exit = atexit([] { std::filesystem::remove_all(dir); });
    return dir;
}
