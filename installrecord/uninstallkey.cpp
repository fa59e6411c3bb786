#include "uninstallkey.h"

#include <string.h>

int MakeUninstallKeyPath(char *dest, size_t size, const char *braced_guid)
{
    static const char prefix[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    size_t guid_len = strlen(braced_guid);

    dest[0] = '\0';
    if (sizeof prefix + guid_len > size)
        return 0;
    memcpy(dest, prefix, sizeof prefix - 1);
    memcpy(dest + sizeof prefix - 1, braced_guid, guid_len + 1);
    return 1;
}
