/* Putting back what an interrupted earlier run left aside: the journal copy of
** UninstallString, the backup setup log and the stash record. */
#ifndef INSTALLRECORD_RECOVERY_H
#define INSTALLRECORD_RECOVERY_H

#include "setuplog.h"

/* Restores UninstallString from its journal copy, locates the setup log with
** MakeUninstLogFile, moves a leftover backup log back and restores from a leftover stash
** record when no journal was found. Returns whether the setup log exists afterwards. Shows
** no box and stops nothing but what MakeUninstLogFile stops. */
int RecoverInterruptedRun(const char *braced_guid, char zmf_loc[ZMF_LOC_SIZE]);

#endif
