/* The launcher's whole run: guard, data tag, set the earlier installation aside, run the
** engine, wait for every engine process, put the earlier installation back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "../installrecord/recovery.h"
#include "../installrecord/setuplog.h"
#include "../installrecord/uninstallkey.h"
#include "../installrecord/uninststash.h"
#include "../platform/ansipath.h"
#include "../platform/errorbox.h"
#include "../platform/newfile.h"
#include "../platform/paths.h"
#include "../process/engineimage.h"
#include "../process/imagerunning.h"
#include "../process/launchapp.h"
#include "argtext.h"
#include "runlock.h"
#include "tracelog.h"

#define LAUNCHER_PATH_SIZE 260
#define GUID_SIZE 100
/* The longest command line Windows accepts, and its terminator: neither the argument tail nor
** the engine command line is ever cut. */
#define CMDLINE_SIZE 32768

static const char engine_image[] = "bv_setup.exe";
/* What the look at the engine found, by its verdict. */
static const char *const engine_verdicts[] = {
    "Engine not verified: no hash stamped",
    "Engine not verified: this system's CryptoAPI has no SHA-256",
    "Engine verified: its SHA-256 is the one stamped",
    "Engine not as stamped: its SHA-256 is another",
    "Engine not as stamped: it could not be opened and read whole",
    "Engine not as stamped: its SHA-256 could not be computed",
};
static const char not_put_back[] = "Could not put back the earlier installation after Setup.  "
                                   "Run Setup again to put it back.";

/* Box, trace line when tracing, exit code 1. The runtime's exit flushes and closes the trace
** log, as it does at the end of a completed run. */
static void FatalStop(const char *text)
{
    LauncherErrorBox(text);
    Trace("%s - aborting\n", text);
    exit(1);
}

/* Another launcher or an engine runs: a box, and no trace line, so that a trace log of the
** run that is going on is not disturbed. */
static void AlreadyRunningStop(void)
{
    LauncherErrorBox("An instance of this Setup is already running.  Please close all Setups "
                     "before running this one.");
    exit(1);
}

/* 1 when the value could name a folder other than the product's own: a separator, a drive
** colon or "..". data.tag lies in a folder anyone may write to, and the braced value is a
** folder and key name under Program Files and HKLM. No real GUID holds any of them. Bytes are
** compared one by one, so the second byte of a double-byte character is refused too: a false
** refusal of an odd value is the safe side. */
static int GuidClimbs(const char *value)
{
    return strpbrk(value, "\\/:") != NULL || strstr(value, "..") != NULL;
}

/* Reads ProjectGUID from data.tag and wraps it in braces. A value that is missing, empty, too
** long to fit with its braces, or one that climbs out of its folder is the GUID stop. */
static void ReadBracedGuid(const char *data_tag_path, char braced_guid[GUID_SIZE])
{
    char value[GUID_SIZE];
    DWORD len =
        GetPrivateProfileStringA("TagInfo", "ProjectGUID", "", value, sizeof value, data_tag_path);
    if (len < 1 || len > GUID_SIZE - 3 || GuidClimbs(value))
        FatalStop("Error reading GUID from DATA.TAG");
    braced_guid[0] = '{';
    memcpy(braced_guid + 1, value, len);
    braced_guid[len + 1] = '}';
    braced_guid[len + 2] = '\0';
}

/* Sets the earlier installation aside for the engine's run. The journal comes first, so that
** a later run knows what this one moved even if it is killed at any point; then the setup log
** goes to its backup name, then UninstallString is taken away. Returns 0 when that could not
** be done safely; *moved_aside tells whether the setup log went aside. */
static int SetInstallationAside(const char *braced_guid, const char *zmf_loc, int *moved_aside)
{
    char backup_path[ZMF_LOC_SIZE];
    char record_path[ZMF_LOC_SIZE];
    int rc;

    *moved_aside = 0;
    Trace("Log file (setup.zmf) found at:%s\n", zmf_loc);
    MakeBackupLogPath(backup_path, sizeof backup_path, zmf_loc);
    /* The recovery has put back every backup log that a journal names: one still here is a
    ** stale leftover of no run, and it must not stand in the way of the rename. One that a
    ** journal still names is another product's, in a folder both share: it stays. */
    if (PathExists(backup_path) != 0) {
        if (JournalNamesSetupLog(zmf_loc) != 0)
            return 0;
        DeleteInFolder(backup_path);
        if (PathExists(backup_path) != 0)
            return 0;
    }
    if (!SaveToJournal(braced_guid, journal_setup_log, REG_SZ, zmf_loc, strlen(zmf_loc) + 1))
        return 0;
    rc = RenameInFolder(zmf_loc, backup_path);
    Trace("Rename of log file to %s returned: %d\n", backup_path, rc);
    if (rc != 0)
        return 0;
    *moved_aside = 1;
    MakeStashRecordPath(record_path, sizeof record_path, zmf_loc); /* "" when it does not fit */
    return RemoveUninstallString(braced_guid, record_path);
}

/* Deletes the engine's new setup log, moves the backup back, puts UninstallString back and
** deletes the stash record; the journal goes once everything is back, and stays for a later
** run otherwise. Returns 1 when everything is back. */
static int PutInstallationBack(const char *braced_guid, const char *zmf_loc, int moved_aside)
{
    char backup_path[ZMF_LOC_SIZE];
    char record_path[ZMF_LOC_SIZE];
    int log_back = 1;

    MakeBackupLogPath(backup_path, sizeof backup_path, zmf_loc);
    if (moved_aside)
        log_back = MoveBackupLogBack(backup_path, zmf_loc, 0);
    if (!RestoreUninstallString(braced_guid))
        return 0;
    /* A stash record that stays keeps its journal, the only way to its folder once the
    ** engine has deleted the product's key. */
    if (MakeStashRecordPath(record_path, sizeof record_path, zmf_loc) &&
        DeleteInFolder(record_path) != 0 && PathExists(record_path) != 0)
        return 0;
    if (log_back)
        DeleteJournal(braced_guid);
    return log_back;
}

/* Composes engine path + " SAS " + args into cmdline, tracing both. Returns 0 when the engine
** path is empty (it did not fit) or the command line would not fit: it is never cut. */
static int ComposeEngineCommand(const char *engine_path, const char *args,
                                char cmdline[CMDLINE_SIZE])
{
    static const char sas[] = " SAS ";
    size_t path_len = strlen(engine_path), args_len = strlen(args);

    Trace("Setup.exe, path and filename: %s\nCommand line args: %s%s\n", engine_path, sas, args);
    if (path_len == 0 || path_len + (sizeof sas - 1) + args_len >= CMDLINE_SIZE)
        return 0;
    strcpy(cmdline, engine_path);
    strcat(cmdline, sas);
    strcat(cmdline, args);
    return 1;
}

/* Waits until a scan finds no engine process. Each round waits on the processes that the last
** scan found (5 ms where there were none, or one could not be opened), traces the milliseconds
** elapsed, and scans again. A scan that fails says nothing: an engine's copy may still run and
** write its setup log over the one put back, so it is repeated (traced once in a row) until
** one succeeds. */
static void WaitForEngines(void)
{
    struct ImageProcesses found;
    DWORD start = GetTickCount();
    int running, failed = 0;

    found.count = found.unopened = found.unverified = 0;
    do {
        /* On the engines themselves, until all have ended. Where one handle is not known to be
        ** the engine's (its process id may have been taken over by another process), at most a
        ** second, so that such a process holds the wait no longer than that. */
        if (found.count == 0 || found.unopened ||
            WaitForMultipleObjects((DWORD)found.count, found.handles, TRUE,
                                   found.unverified ? 1000 : INFINITE) == WAIT_FAILED)
            Sleep(5);
        CloseImageProcesses(&found);
        Trace("Waiting for bv_setup.exe to terminate: %d seconds elapsed\n",
              (int)(GetTickCount() - start));
        running = IsImageRunning(engine_image, &found);
        if (running < 0 && !failed)
            Trace("Process scan failed: scanning again\n");
        failed = running < 0;
        /* Each round in the file as it ends. A scan that found none opened none. */
        FlushTraceLog();
    } while (running != 0);
    EndImageScans();
}

/* The guard: 1 when an engine process runs, or when 200 scans 5 ms apart all failed: a run
** must not begin beside an engine that it could not rule out. */
static int EngineMayRun(void)
{
    int tries, running = IsImageRunning(engine_image, NULL);
    for (tries = 1; running < 0 && tries < 200; tries++) {
        Sleep(5);
        running = IsImageRunning(engine_image, NULL);
    }
    if (running < 0)
        Trace("Process scan failed: no run beside an engine that may run\n");
    return running != 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE prev_instance, LPSTR cmd_line, int show)
{
    static char cmdline[CMDLINE_SIZE];
    char launcher_path[LAUNCHER_PATH_SIZE];
    char engine_path[LAUNCHER_PATH_SIZE];
    char drive[DRIVE_SIZE];
    char dir[DIR_SIZE];
    char braced_guid[GUID_SIZE];
    char zmf_loc[ZMF_LOC_SIZE];
    const char *args;
    struct EngineImage engine;
    DWORD len, engine_code = 0, exit_code;
    int found, composed, moved_aside = 0, rc;

    (void)instance;
    (void)prev_instance;
    (void)cmd_line; /* the runtime's own cut goes on past a closing quote */
    (void)show;

    args = ArgumentText(GetCommandLineA());
    /* Before the trace log is opened: a second launcher must not truncate the first's. */
    if (!TakeRunLock())
        AlreadyRunningStop();
    OpenTraceLog(args);
    Trace("Begin: WinMain().\n");

    if (EngineMayRun())
        AlreadyRunningStop();

    len = GetLauncherPath(launcher_path, sizeof launcher_path);
    if (len == 0)
        launcher_path[0] = '\0'; /* nothing was written */
    launcher_path[sizeof launcher_path - 1] = '\0';
    Trace("GetModuleFileName returned %d\n", (int)len);
    Trace("Launcher path=%s\n", launcher_path);
    /* A failed or cut-short query gives no directory to look in. */
    if (len >= sizeof launcher_path)
        launcher_path[0] = '\0';

    SplitPath(launcher_path, drive, dir);
    if (launcher_path[0] == '\0' ||
        !ComposePath(launcher_path, sizeof launcher_path, drive, dir, "data", "tag"))
        launcher_path[0] = '\0';
    Trace("Data.tag path/name=%s\n", launcher_path);
    if (launcher_path[0] == '\0' || PathExists(launcher_path) != 1)
        FatalStop("Cannot find DATA.TAG");

    ReadBracedGuid(launcher_path, braced_guid);
    Trace("GUID=%s\n", braced_guid);

    /* The engine the package was made with, or none: it will run elevated. Held from here to
    ** its start. Its header tells the registry view its installation is in. All of it before
    ** anything is looked up or set aside. */
    ComposePath(engine_path, sizeof engine_path, drive, dir, "bv_setup", "exe"); /* "": too long */
    OpenEngineImage(engine_path, &engine);
    Trace("%s\n", engine_verdicts[engine.verdict]);
    if (engine.verdict >= ENGINE_CHANGED)
        FatalStop("The files of this Setup package were changed or damaged.  Please get the "
                  "package again.");
    if (!SetEngineView(engine.is64))
        FatalStop("Could not set the earlier installation aside");

    if (!RecoverInterruptedRun(braced_guid))
        FatalStop("Could not put back what an interrupted Setup set aside");
    found = MakeUninstLogFile(braced_guid, zmf_loc);
    if (found < 0)
        FatalStop("Could not set the earlier installation aside");
    /* A backup log that a run set aside without a journal is evidence too. */
    if (zmf_loc[0] != '\0' && !RecoverUnjournalled(braced_guid, zmf_loc, found))
        FatalStop("Could not put back what an interrupted Setup set aside");
    if (!found && zmf_loc[0] != '\0' && (found = PathExists(zmf_loc)) < 0)
        FatalStop("Could not set the earlier installation aside");
    if (found && !SetInstallationAside(braced_guid, zmf_loc, &moved_aside)) {
        PutInstallationBack(braced_guid, zmf_loc, moved_aside);
        FatalStop("Could not set the earlier installation aside");
    }
    if (!found)
        Trace("Log file (setup.zmf) NOT found\n");

    /* A file that cannot be opened and read is not judged, and not started. */
    composed = ComposeEngineCommand(engine_path, args, cmdline);
    CloseTraceLog(); /* the engine may look at it, and it must not inherit it open */
    if (!composed && engine.file != INVALID_HANDLE_VALUE)
        CloseHandle(engine.file);
    rc = composed && engine.file != INVALID_HANDLE_VALUE
             ? LaunchApp(engine_path, cmdline, engine.file, &engine_code)
             : -1;
    if (log_on) {
        if (!ReopenTraceLog())
            LauncherErrorBox("Could not re-open logfile for append - logging terminated");
        Trace("Launch of BV setup: return from LaunchApp(): %d\n", rc);
        if (rc != -1)
            Trace("BV setup exit code=%lu (0x%08lX)\n", (unsigned long)engine_code,
                  (unsigned long)engine_code);
        /* The engine's code in the file before a wait that may be long or be ended from outside. */
        FlushTraceLog();
    }
    /* After the reopen, so that the text reaches the trace where the box cannot be shown. */
    if (rc == -1)
        LauncherErrorBox("Could not run BV_SETUP.EXE");
    /* The caller, often a deployment tool, judges the installation by this code alone: the
    ** engine's own, unchanged, or 1 where there is none to pass on. */
    exit_code = rc == -1 ? 1 : engine_code;

    WaitForEngines();

    /* What stays aside stays in the journal for the next run; the caller must hear of it. */
    if (found && !PutInstallationBack(braced_guid, zmf_loc, 1)) {
        LauncherErrorBox(not_put_back);
        Trace("%s\n", not_put_back);
        exit_code = 1;
    }

    Trace("End: WinMain().\n");
    return (int)exit_code;
}
