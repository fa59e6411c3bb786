/* Putting back what a run that was cut short had set aside, as its journal records it: the
** copy of UninstallString, the backup setup log and the stash record. */
#ifndef INSTALLRECORD_RECOVERY_H
#define INSTALLRECORD_RECOVERY_H

/* Puts back what the journal of braced_guid names, then what every other product's journal
** names (products may share a folder). Returns 1 when nothing of braced_guid's is left aside
** (its journal is then deleted), 0 when something could not be put back or could not be looked
** at: the journal, and every record it points to, then stay for a later run. Shows no box. */
int RecoverInterruptedRun(const char *braced_guid);

/* Puts back a backup log beside setup_log that no journal names but that was set aside by a
** run all the same: one with the stash record beside it (a run whose journal was lost, or of
** a launcher that keeps none), or one where no setup log is (log_exists 0). The record's text
** becomes UninstallString where that is absent. Returns 0 when that could not be done. */
int RecoverUnjournalled(const char *braced_guid, const char *setup_log, int log_exists);

/* 1 when a journal that is left names setup_log (its folder's backup log is then no stale
** leftover), 0 when none does, -1 when that cannot be told. */
int JournalNamesSetupLog(const char *setup_log);

/* Deletes the setup log that an engine may have written at setup_log and moves the backup log
** at backup_path back in its place, tracing both (and, where interrupted is set, the backup as
** one that a run cut short left). Returns 1 when it is back, or when no backup is there: then
** there is nothing to put back, and the setup log stays. Returns 0, deleting nothing, when the
** backup is still aside or cannot be looked at. */
int MoveBackupLogBack(const char *backup_path, const char *setup_log, int interrupted);

#endif
