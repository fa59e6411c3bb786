/* The product's process-wide state as a new process finds it: every simulated run on the
** stand-in begins with it, in the host tests and in the fuzz targets alike. */
#ifndef TESTS_HOST_PRODUCT_STATE_H
#define TESTS_HOST_PRODUCT_STATE_H

#include "installrecord/uninstallkey.h"
#include "installrecord/uninststash.h"
#include "launcher/tracelog.h"
#include "process/imageroutes.h"
#include "platform/version.h"

inline void ResetProductState()
{
    ResetTraceLog();
    ResetUninstallStash();
    ResetPlatformRecord();
    ResetUninstallKeys();
    ResetPsapiScans();
}

#endif
