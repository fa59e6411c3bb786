/* What the fuzz targets share: checks that stay on in any build type (a failed one aborts, and
** libFuzzer keeps the input), and the stand-in. */
#pragma once
#undef NDEBUG
#include <assert.h>
#include <string.h>

#include "hostwin.h"
