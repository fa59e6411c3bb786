/* The registry keys of an installation record: the product's uninstall key,
** HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{GUID}, and the launcher's journal
** of what a run set aside, HKLM\SOFTWARE\Brevane\Setup Launcher\{GUID}. */
#ifndef INSTALLRECORD_UNINSTALLKEY_H
#define INSTALLRECORD_UNINSTALLKEY_H

#include <stddef.h>
#include <windows.h>

#define UNINSTALL_KEY_SIZE 260
#define UNINSTALL_STRING "UninstallString" /* the product's uninstall command */
#define JOURNAL_SETUP_LOG "SetupLog"       /* the journal's path of the log set aside */
/* The journal's registry view of the product key whose value it holds: 32 or 64 (REG_DWORD),
** written on 64-bit Windows only. Without it, the launcher's own view, the 32-bit one. */
#define JOURNAL_VIEW "UninstallKeyView"
/* The two names as one copy each in the file, for every call that takes a name alone. */
extern const char uninstall_string[];
extern const char journal_setup_log[];

/* The registry views on 64-bit Windows, where the 32-bit launcher sees HKLM\SOFTWARE through
** WOW6432Node unless it asks for the 64-bit view: a view is KEY_WOW64_64KEY, KEY_WOW64_32KEY,
** or 0 where the system has one registry only (and refuses the flags). */

/* Sets the engine's view, the one its uninstall entry and ProgramFilesDir are looked for in
** first: the 64-bit view for a 64-bit engine under WoW64, else the 32-bit one; 0 elsewhere.
** Returns 0 where whether there are two views cannot be told: no view would be sure. */
int SetEngineView(int engine_is_64);
REGSAM EngineView(void);
/* The view the product key was found in this run; the engine's until it is found elsewhere. */
REGSAM ProductKeyView(void);
/* A view as a number of bits, for the trace and the journal: 64 or 32. */
DWORD ViewBits(REGSAM view);

/* Composes the product uninstall key's path into uninstkey and opens the key in view with
** KEY_ALL_ACCESS. Returns the registry's status: ERROR_FILE_NOT_FOUND when there is no such
** key, ERROR_INVALID_PARAMETER when the path would not fit. The caller closes the key. */
LONG OpenProductKey(const char *braced_guid, REGSAM view, char uninstkey[UNINSTALL_KEY_SIZE],
                    HKEY *key);

/* Opens the product key in the engine's view, else in the other one, which then becomes the
** product key's view; traced where there are two. The status as above. */
LONG FindProductKey(const char *braced_guid, char uninstkey[UNINSTALL_KEY_SIZE], HKEY *key);

/* The view of the product key whose value the journal holds, into *view. Returns the
** registry's status: a journal without one names the launcher's own view. */
LONG ReadJournalView(HKEY journal, REGSAM *view);

/* Opens the key that holds every product's journal, with KEY_ALL_ACCESS; the status. */
LONG OpenJournals(HKEY *key);

/* Opens the journal key with KEY_ALL_ACCESS; the registry's status, as above. */
LONG OpenJournal(const char *braced_guid, HKEY *key);

/* UninstallString in the registry's own form. On the NT family the registry holds text in
** UTF-16, and the ANSI calls would spell every character outside the code page as '?' and
** write that back: there the wide calls read and write it, byte for byte. The consumer
** family's registry is ANSI. Returns 1 for the wide form, 0 for the ANSI form, -1 on the NT
** family without its wide calls: the value is then neither read nor written (the calls below
** fail with ERROR_PROC_NOT_FOUND). */
int UninstallValueForm(void);

/* The wide calls not looked up yet and no views, as in a new process (for the host tests). */
void ResetUninstallKeys(void);

/* RegQueryValueExW of the value name, where the wide form is this system's. */
LONG QueryWideValue(HKEY key, const WCHAR *name, DWORD *type, BYTE *data, DWORD *size);

/* RegQueryValueEx of UninstallString in that form. */
LONG QueryUninstallValue(HKEY key, DWORD *type, BYTE *data, DWORD *size);

/* RegSetValueEx of UninstallString: bytes in the wide form when wide is set (only where that
** is the form), else text in the code page. */
LONG SetUninstallValue(HKEY key, int wide, DWORD type, const BYTE *data, DWORD size);

/* Writes one value to the journal, making the key where it is not there yet; UninstallString
** in the registry's own form, after the product key's view where there are two. Returns 1
** when the value is written. */
int SaveToJournal(const char *braced_guid, const char *name, DWORD type, const void *bytes,
                  DWORD size);

/* Deletes the journal key with its values: what it records is back in place. */
void DeleteJournal(const char *braced_guid);

/* Deletes the keys above the journals, SOFTWARE\Brevane\Setup Launcher and SOFTWARE\Brevane,
** where nothing is in them: the last journal takes them along, and a run that was cut short
** in between leaves them to the next. */
void DeleteEmptyJournalParents(void);

#endif
