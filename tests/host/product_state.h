/* The product's process-wide state as a new process finds it: every simulated run on the
** stand-in begins with it, in the host tests and in the fuzz targets alike. */
#ifndef TESTS_HOST_PRODUCT_STATE_H
#define TESTS_HOST_PRODUCT_STATE_H

#include <string.h>

#include "installrecord/uninstallkey.h"
#include "installrecord/uninststash.h"
#include "launcher/tracelog.h"
#include "process/platform.h"

inline void ResetProductState()
{
    log_on = 0;
    log_fp = nullptr;
    memset(saved_uninst, 0, sizeof saved_uninst);
    saved_uninst_read = 0;
    saved_uninst_type = 0;
    saved_uninst_size = 0;
    platform_record = PlatformRecord{0, 0, 0};
    wide_calls = WideRegistryCalls{0, nullptr, nullptr};
}

#endif
