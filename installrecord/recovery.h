/* Putting back what a run that was cut short had set aside, as its journal records it: the
** copy of UninstallString, the backup setup log and the stash record. */
#ifndef INSTALLRECORD_RECOVERY_H
#define INSTALLRECORD_RECOVERY_H

/* Returns 1 when nothing is left aside (the journal is then deleted), 0 when something could
** not be put back or could not be looked at: the journal, and every record it points to, then
** stay for a later run. Shows no box. */
int RecoverInterruptedRun(const char *braced_guid);

#endif
