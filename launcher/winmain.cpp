/* The launcher's whole run: guard, data tag, set the earlier installation aside, run the
** engine, wait for every engine process, put the earlier installation back. */
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "../installrecord/recovery.h"
#include "../installrecord/setuplog.h"
#include "../installrecord/uninststash.h"
#include "../process/imagerunning.h"
#include "../process/launchapp.h"
#include "ansipath.h"
#include "argtext.h"
#include "errorbox.h"
#include "paths.h"
#include "tracelog.h"

#define LAUNCHER_PATH_SIZE 260
#define GUID_SIZE 100
#define LOG_PATH_SIZE 300
/* The longest command line Windows accepts, and its terminator: neither the argument tail nor
** the engine command line is ever cut. */
#define CMDLINE_SIZE 32768

static const char engine_image[] = "bv_setup.exe";

/* Box, trace line when tracing, trace log closed, exit code 1: the stops of the data tag. */
static void DataTagStop(const char *text)
{
    LauncherErrorBox(text);
    if (log_on) {
        Trace("%s - aborting\n", text);
        CloseTraceLog();
    }
    exit(1);
}

/* Reads ProjectGUID from data.tag and wraps it in braces. A value that is missing, empty, or
** too long to fit with its braces is the GUID stop. */
static void ReadBracedGuid(const char *data_tag_path, char braced_guid[GUID_SIZE])
{
    char value[GUID_SIZE];
    DWORD len =
        GetPrivateProfileStringA("TagInfo", "ProjectGUID", "", value, sizeof value, data_tag_path);
    if (len < 1 || len > GUID_SIZE - 3)
        DataTagStop("Error reading GUID from DATA.TAG");
    braced_guid[0] = '{';
    memcpy(braced_guid + 1, value, len);
    braced_guid[len + 1] = '}';
    braced_guid[len + 2] = '\0';
}

/* Moves the setup log to its backup name and takes UninstallString away. Returns 1 when the
** setup log now lies under the backup name, the only case in which it may be moved back. */
static int SetInstallationAside(const char *braced_guid, const char *zmf_loc,
                                char backup_path[LOG_PATH_SIZE])
{
    char record_path[LOG_PATH_SIZE];
    int rc = -1;

    Trace("Log file (setup.zmf) found at:%s\n", zmf_loc);
    /* A backup log still here is one the recovery could not move back: the only copy of the
    ** original log. It is not removed; the rename then fails and nothing is set aside. */
    if (MakeBackupLogPath(backup_path, LOG_PATH_SIZE, zmf_loc))
        rc = rename(zmf_loc, backup_path);
    Trace("Rename of log file to %s returned: %d\n", backup_path, rc);

    uninst_fp = NULL;
    if (MakeStashRecordPath(record_path, sizeof record_path, zmf_loc))
        uninst_fp = fopen(record_path, "w");
    RemoveUninstallString(braced_guid);
    return rc == 0;
}

/* Deletes the engine's new setup log, moves the backup back, puts UninstallString back and
** deletes the stash record. When the setup log never went aside, the file at its path is the
** installation's own log and is left where it is. */
static void PutInstallationBack(const char *braced_guid, const char *zmf_loc,
                                const char *backup_path, int moved_aside)
{
    char record_path[LOG_PATH_SIZE];

    if (moved_aside) {
        Trace("Deleting log file: return from remove(): %d\n", remove(zmf_loc));
        Trace("Renaming log file: return from rename(): %d\n", rename(backup_path, zmf_loc));
    } else {
        Trace("Log file was not renamed: %s and %s left as they are\n", zmf_loc, backup_path);
    }
    RestoreUninstallString(braced_guid);
    if (MakeStashRecordPath(record_path, sizeof record_path, zmf_loc))
        remove(record_path);
}

/* Composes the engine path into engine_path and engine path + " SAS " + args into cmdline,
** tracing both. Returns 0 when the command line would not fit. */
static int ComposeEngineCommand(const char *drive, const char *dir, const char *args,
                                char engine_path[LAUNCHER_PATH_SIZE], char *cmdline)
{
    static char arg_tail[CMDLINE_SIZE];
    static const char sas[] = " SAS ";
    size_t path_len, args_len = strlen(args);
    int fits;

    fits = ComposePath(engine_path, LAUNCHER_PATH_SIZE, drive, dir, "bv_setup", "exe");
    arg_tail[0] = '\0';
    if (args_len < sizeof arg_tail - (sizeof sas - 1)) {
        memcpy(arg_tail, sas, sizeof sas - 1);
        memcpy(arg_tail + sizeof sas - 1, args, args_len + 1);
    } else {
        fits = 0;
    }
    Trace("Setup.exe, path and filename: %s\nCommand line args: %s\n", engine_path, arg_tail);

    path_len = strlen(engine_path);
    if (!fits || path_len + strlen(arg_tail) >= CMDLINE_SIZE)
        return 0;
    memcpy(cmdline, engine_path, path_len);
    strcpy(cmdline + path_len, arg_tail);
    return 1;
}

/* Polls every 5 ms until no engine process remains, tracing each poll. */
static void WaitForEngines(void)
{
    int elapsed = 0;
    do {
        Sleep(5);
        elapsed += 5;
        Trace("Waiting for bv_setup.exe to terminate: %d seconds elapsed\n", elapsed);
    } while (IsImageRunning(engine_image));
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE prev_instance, LPSTR cmd_line, int show)
{
    static char cmdline[CMDLINE_SIZE];
    char launcher_path[LAUNCHER_PATH_SIZE];
    char drive[DRIVE_SIZE];
    char dir[DIR_SIZE];
    char braced_guid[GUID_SIZE];
    char zmf_loc[ZMF_LOC_SIZE];
    char backup_path[LOG_PATH_SIZE] = "";
    const char *args;
    DWORD len;
    int found, moved_aside = 0, rc;

    (void)instance;
    (void)prev_instance;
    (void)cmd_line; /* the runtime's own cut goes on past a closing quote */
    (void)show;

    args = ArgumentText(GetCommandLineA());
    OpenTraceLog(args);
    Trace("Begin: WinMain().\n");

    if (IsImageRunning(engine_image)) {
        LauncherErrorBox("An instance of this Setup is already running.  Please close all "
                         "Setups before running this one.");
        exit(1);
    }

    len = GetLauncherPath(launcher_path, sizeof launcher_path);
    launcher_path[sizeof launcher_path - 1] = '\0';
    Trace("GetModuleFileName returned %d\n", (int)len);
    Trace("Launcher path=%s\n", launcher_path);
    /* A failed or cut-short query gives no directory to look in. */
    if (len == 0 || len >= sizeof launcher_path)
        launcher_path[0] = '\0';

    SplitPath(launcher_path, drive, dir);
    if (launcher_path[0] == '\0' ||
        !ComposePath(launcher_path, sizeof launcher_path, drive, dir, "data", "tag"))
        launcher_path[0] = '\0';
    Trace("Data.tag path/name=%s\n", launcher_path);
    if (launcher_path[0] == '\0' || _access(launcher_path, 0) != 0)
        DataTagStop("Cannot find DATA.TAG");

    ReadBracedGuid(launcher_path, braced_guid);
    Trace("GUID=%s\n", braced_guid);

    found = RecoverInterruptedRun(braced_guid, zmf_loc);
    if (found)
        moved_aside = SetInstallationAside(braced_guid, zmf_loc, backup_path);
    else
        Trace("Log file (setup.zmf) NOT found\n");

    if (ComposeEngineCommand(drive, dir, args, launcher_path, cmdline)) {
        CloseTraceLog();
        rc = LaunchApp(launcher_path, cmdline);
    } else {
        CloseTraceLog();
        rc = -1; /* too long for Windows to start: never cut */
    }
    if (log_on) {
        ReopenTraceLog();
        Trace("Launch of BV setup: return from LaunchApp(): %d\n", rc);
    }
    /* After the reopen, so that the text reaches the trace where the box cannot be shown. */
    if (rc == -1)
        LauncherErrorBox("Could not run BV_SETUP.EXE");

    WaitForEngines();

    if (found)
        PutInstallationBack(braced_guid, zmf_loc, backup_path, moved_aside);

    Trace("End: WinMain().\n");
    CloseTraceLog();
    return 0;
}
