/* The uninstall information directory named in a product's uninstall command. */
#ifndef INSTALLRECORD_UNINSTCMD_H
#define INSTALLRECORD_UNINSTCMD_H

#include <windows.h>

/* Turns the uninstall command in text, in place, into the directory of its setup program:
** upper-cased, cut from 13 characters after "LAUNCHSETUP" up to "BV_SETUP.EXE" (or else
** "SETUP.EXE"). Leaves text empty when the command names no such directory, or only a
** relative one (no drive and root, no UNC path). */
void UninstallCommandDirectory(char *text);

/* The same for the command in UTF-16, as the NT family's registry holds it. */
void UninstallCommandDirectoryWide(WCHAR *text);

#endif
