/* Finding the setup log (setup.zmf) of an earlier installation of the product. */
#ifndef INSTALLRECORD_SETUPLOG_H
#define INSTALLRECORD_SETUPLOG_H

#include <stddef.h>

#define ZMF_LOC_SIZE 300

/* Composes the setup log path into zmf_loc, from the directory of the product's uninstall
** command or else from ProgramFilesDir + "\Brevane Installation Information\{GUID}\", and
** returns 1 when a file or directory exists there, 0 when nothing does, and -1 when that
** cannot be told: the uninstall key or its value is there but cannot be read, the folder has
** no name the ANSI calls can open, or the existence test fails. A failure to read
** ProgramFilesDir is a fatal stop. A path that would not fit, or a folder that does not
** exist, leaves zmf_loc empty and returns 0. */
int MakeUninstLogFile(const char *braced_guid, char zmf_loc[ZMF_LOC_SIZE]);

/* Copies setup_log into dest with its second-to-last character replaced by '_'
** ("setup.zmf" -> "setup.z_f"). Returns 0 when it would not fit or is shorter than 2. */
int MakeBackupLogPath(char *dest, size_t size, const char *setup_log);

/* Copies setup_log into dest with its trailing file name "setup.zmf" replaced by "uninst.dat".
** Returns 0, dest emptied, when setup_log does not end in "setup.zmf" or the result does not
** fit. */
int MakeStashRecordPath(char *dest, size_t size, const char *setup_log);

#endif
