/* The product uninstall key: HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{GUID}. */
#ifndef INSTALLRECORD_UNINSTALLKEY_H
#define INSTALLRECORD_UNINSTALLKEY_H

#include <stddef.h>

#define UNINSTALL_KEY_SIZE 260

/* Composes the key path for braced_guid into dest. Returns 0, dest emptied, when it would not
** fit. */
int MakeUninstallKeyPath(char *dest, size_t size, const char *braced_guid);

#endif
