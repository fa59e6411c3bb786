#include "argtext.h"

#include <windows.h>

const char *ArgumentText(const char *cmdline)
{
    const unsigned char *p = (const unsigned char *)cmdline;

    if (p == NULL)
        return "";
    if (*p == '"') {
        p++;
        while (*p != '\0' && *p != '"') {
            /* A lead byte at the very end has no trail byte to step over. */
            if (IsDBCSLeadByte(*p) && p[1] != '\0')
                p++;
            p++;
        }
        if (*p == '"')
            p++;
    } else {
        while (*p > ' ')
            p++;
    }
    while (*p != '\0' && *p <= ' ')
        p++;
    return (const char *)p;
}
