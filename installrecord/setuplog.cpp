#include "setuplog.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "../launcher/tracelog.h"
#include "../platform/ansipath.h"
#include "../platform/errorbox.h"
#include "../platform/paths.h"
#include "uninstallkey.h"
#include "uninstcmd.h"

#define UNINSTALL_STRING_SIZE 260 /* what the uninstall command may take of zmf_loc */
#define PROGFILES_SIZE 260

static const char log_name[] = "setup.zmf";
static const char info_folder[] = "\\Brevane Installation Information\\";

/* The directory that the uninstall command in the registry's wide form names, into zmf_loc in
** a form the ANSI calls can open. Returns 1; else zmf_loc gets its '?' spelling, for the trace,
** and 0 is returned when nothing is there, -1 when it has no name the ANSI calls can open (8.3
** names off on its volume) or that cannot be told. */
static int NameWideDirectory(WCHAR *command, char *zmf_loc)
{
    UninstallCommandDirectoryWide(command);
    /* Room for the log's name: the path is composed in zmf_loc. */
    if (command[0] == 0 || AnsiPathOf(command, zmf_loc, ZMF_LOC_SIZE - (sizeof log_name - 1)) > 0)
        return 1;
    if (WideCharToMultiByte(CP_ACP, 0, command, -1, zmf_loc, ZMF_LOC_SIZE, NULL, NULL) == 0)
        zmf_loc[0] = '\0';
    return WidePathExists(command) == 0 ? 0 : -1;
}

/* Reads the product's UninstallString into zmf_loc and cuts its directory out of it; leaves
** zmf_loc empty when the key, the value or the directory is not there, or the value is too long.
** Returns 1 then, 0 when the directory it names does not exist, and -1 when the key or the value
** is there but cannot be read, or the directory cannot be named (see NameWideDirectory): where
** the setup log lies, or by what name, is then unknown. */
static int DirectoryFromUninstallEntry(const char *braced_guid, char *zmf_loc)
{
    char uninstkey[UNINSTALL_KEY_SIZE];
    WCHAR wide[UNINSTALL_STRING_SIZE + 1];
    int is_wide = UninstallValueForm() != 0;
    HKEY key;
    DWORD size = is_wide ? UNINSTALL_STRING_SIZE * sizeof(WCHAR) : UNINSTALL_STRING_SIZE;
    LONG status;
    int named = 1;

    status = FindProductKey(braced_guid, uninstkey, &key);
    if (status != ERROR_SUCCESS) {
        Trace("Couldn't open Uninstall key: RegOpenKeyEx() returned: %d\n", (int)status);
        return status == ERROR_FILE_NOT_FOUND ? 1 : -1;
    }
    /* A product name or folder outside the code page reads as '?' through the ANSI call. */
    if (is_wide)
        status = QueryUninstallValue(key, NULL, (BYTE *)wide, &size);
    else
        status = RegQueryValueExA(key, uninstall_string, NULL, NULL, (BYTE *)zmf_loc, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        zmf_loc[0] = '\0';
        Trace("Uninstall key not found: RegQueryValueEx() returned: %d\n", (int)status);
        return status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA ? 1 : -1;
    }
    /* The registry may hand back a value without a terminator; size is within the buffer. */
    if (is_wide) {
        wide[size / sizeof(WCHAR)] = 0;
        named = NameWideDirectory(wide, zmf_loc);
    } else {
        zmf_loc[size] = '\0';
        UninstallCommandDirectory(zmf_loc);
    }
    Trace("zmf_loc=%s\n", zmf_loc);
    return named;
}

/* Where the ANSI call's answer in progfiles (of PROGFILES_SIZE bytes at least) is not
** ProgramFilesDir as the wide call reads it from key, progfiles gets the folder's short form.
** Returns 1, 0 when that folder does not exist, -1 when it has no name the ANSI calls can open
** or cannot be read in the wide form. A path too long for the ANSI calls stays as it is. */
static int NameProgramFilesDir(HKEY key, char *progfiles)
{
    static const WCHAR name[] = {'P', 'r', 'o', 'g', 'r', 'a', 'm', 'F',
                                 'i', 'l', 'e', 's', 'D', 'i', 'r', 0};
    WCHAR wide[PROGFILES_SIZE + 1];
    DWORD size = PROGFILES_SIZE * sizeof(WCHAR);

    if (UninstallValueForm() <= 0 || strlen(progfiles) >= PROGFILES_SIZE)
        return 1;
    if (QueryWideValue(key, name, NULL, (BYTE *)wide, &size) != ERROR_SUCCESS)
        return -1;
    wide[size / sizeof(WCHAR)] = 0;
    if (AnsiPathOf(wide, progfiles, PROGFILES_SIZE) > 0)
        return 1;
    return WidePathExists(wide) == 0 ? 0 : -1;
}

/* Reads ProgramFilesDir into a heap buffer that the caller frees; every failure is a fatal
** stop, with box and trace line in the order each case has always had. One byte more than
** each query's capacity is allocated so that the value can be terminated in place. *named
** gets NameProgramFilesDir's answer. */
static char *ReadProgramFilesDir(int *named)
{
    char *progfiles;
    char *grown;
    HKEY key;
    DWORD size = PROGFILES_SIZE;
    LONG status;

    progfiles = (char *)malloc(PROGFILES_SIZE + 1);
    if (progfiles == NULL) {
        LauncherErrorBox("Memory allocation failed for 'progfiles'");
        Trace("Malloc for 'progfiles' failed\n");
        exit(1);
    }
    /* The engine's own: a 64-bit engine installs under C:\Program Files, not "(x86)". */
    status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                           KEY_ALL_ACCESS | EngineView(), &key);
    if (status != ERROR_SUCCESS) {
        LauncherErrorBox("Error reading registry: Open failed on CurrentVersion key");
        Trace("RegOpenKeyEx() returned: %d\n", (int)status);
        exit(1);
    }
    status = RegQueryValueExA(key, "ProgramFilesDir", NULL, NULL, (BYTE *)progfiles, &size);
    if (status == ERROR_MORE_DATA) {
        Trace("RegQueryValueEx() returned ERROR_MORE_DATA, required buffer size=%ld\n", (long)size);
        grown = (char *)realloc(progfiles, (size_t)size + 1);
        if (grown == NULL) {
            LauncherErrorBox("Memory reallocation failed for 'progfiles'");
            Trace("Realloc for 'progfiles' failed\n");
            exit(1);
        }
        progfiles = grown;
        status = RegQueryValueExA(key, "ProgramFilesDir", NULL, NULL, (BYTE *)progfiles, &size);
        if (status != ERROR_SUCCESS) {
            Trace("RegQueryValueEx() returned: %d\n", (int)status);
            LauncherErrorBox(
                "Error reading registry: Second attempt to read ProgramFilesDir has failed");
            exit(1);
        }
    } else if (status != ERROR_SUCCESS) {
        Trace("RegQueryValueEx() returned: %d\n", (int)status);
        LauncherErrorBox("Error reading registry: Failed to read ProgramFilesDir");
        exit(1);
    }
    progfiles[size] = '\0';
    *named = NameProgramFilesDir(key, progfiles);
    RegCloseKey(key);
    return progfiles;
}

/* Composes ProgramFilesDir + "\Brevane Installation Information\" + GUID + "\" into zmf_loc.
** Returns 0, zmf_loc empty, when that and the log's name would not fit or the Program Files
** folder does not exist, -1 when it has no name the ANSI calls can open. */
static int DirectoryFromProgramFiles(const char *braced_guid, char *zmf_loc)
{
    int named;
    char *progfiles = ReadProgramFilesDir(&named);
    size_t len = strlen(progfiles) + (sizeof info_folder - 1) + strlen(braced_guid) + 1;
    int fits = len + sizeof log_name <= ZMF_LOC_SIZE;

    Trace("ProgramFilesDir=%s\n", progfiles);
    if (named <= 0) {
        zmf_loc[0] = '\0';
        fits = named;
    } else if (fits) {
        strcpy(zmf_loc, progfiles);
        strcat(zmf_loc, info_folder);
        strcat(zmf_loc, braced_guid);
        strcat(zmf_loc, "\\");
    } else {
        zmf_loc[0] = '\0';
        Trace("Setup log path would not fit in zmf_loc: no setup log\n");
    }
    free(progfiles);
    return fits;
}

int MakeUninstLogFile(const char *braced_guid, char zmf_loc[ZMF_LOC_SIZE])
{
    int exists = -1;

    Trace("Begin: MakeUninstLogFile().\n");
    zmf_loc[0] = '\0';
    exists = DirectoryFromUninstallEntry(braced_guid, zmf_loc);
    if (exists <= 0) {
        /* An earlier installation there could be set aside only by a name the ANSI calls
        ** cannot open: the engine must never run over it. */
        if (exists == 0)
            Trace("zmf_loc access()=%ld\n", -1L);
        Trace("End: MakeUninstLogFile().\n");
        zmf_loc[0] = '\0'; /* a spelling for the trace, no path to act on */
        return exists;
    }
    if (zmf_loc[0] == '\0' && (exists = DirectoryFromProgramFiles(braced_guid, zmf_loc)) <= 0) {
        Trace("End: MakeUninstLogFile().\n");
        return exists;
    }
    strcat(zmf_loc, log_name);
    Trace("zmf_loc=%s\n", zmf_loc);
    exists = PathExists(zmf_loc);
    Trace("zmf_loc access()=%ld\n", exists == 1 ? 0L : -1L);
    Trace("End: MakeUninstLogFile().\n");
    return exists;
}

int MakeBackupLogPath(char *dest, size_t size, const char *setup_log)
{
    size_t len = strlen(setup_log);
    if (len < 2 || len >= size)
        return 0;
    memcpy(dest, setup_log, len + 1);
    dest[len - 2] = '_';
    return 1;
}

int MakeStashRecordPath(char *dest, size_t size, const char *setup_log)
{
    static const char record_name[] = "uninst.dat";
    size_t len = strlen(setup_log);
    size_t dir_len;

    if (size == 0) /* no room even for the empty answer */
        return 0;
    dest[0] = '\0';
    if (len < sizeof log_name - 1)
        return 0;
    dir_len = len - (sizeof log_name - 1);
    /* The file name at the end is replaced, not the first "setup.zmf" anywhere: a directory
    ** of that name earlier in the path must not move the record out of the log's folder. */
    if (strcmp(setup_log + dir_len, log_name) != 0)
        return 0;
    if (dir_len + sizeof record_name > size)
        return 0;
    memcpy(dest, setup_log, dir_len);
    memcpy(dest + dir_len, record_name, sizeof record_name);
    return 1;
}
