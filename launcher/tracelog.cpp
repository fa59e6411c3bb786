#include "tracelog.h"

#include <stdarg.h>
#include <string.h>
#include <windows.h>

#include "../platform/ansipath.h"
#include "../platform/newfile.h"

int log_on = 0;
static FILE *log_fp = NULL; /* the open trace log, or NULL */

void ResetTraceLog(void)
{
    log_on = 0;
    log_fp = NULL;
}

#define TRACE_PATH_SIZE 300
static char trace_path[TRACE_PATH_SIZE];
static const char trace_name[] = "\\launcher.log";

/* Builds %TEMP%\launcher.log into trace_path, TEMP in a form the ANSI calls can open.
** Returns 0 when TEMP is unset or the path would not fit: tracing then stays off rather than
** writing to a cut-short path. */
static int MakeTracePath(void)
{
    DWORD room = (DWORD)(sizeof trace_path - (sizeof trace_name - 1));
    DWORD len = GetTempFolder(trace_path, room);
    if (len == 0 || len >= room)
        return 0;
    strcat(trace_path, trace_name);
    return 1;
}

void OpenTraceLog(const char *args)
{
    log_on = 0;
    if (strstr(args, "LOG") == NULL)
        return;
    if (!MakeTracePath())
        return;
    /* TEMP belongs to the unelevated user: launcher.log there may be a link they planted. */
    log_fp = CreateNewTextStream(trace_path);
    if (log_fp != NULL)
        log_on = 1;
}

void CloseTraceLog(void)
{
    if (log_fp != NULL)
        fclose(log_fp);
    log_fp = NULL;
}

int ReopenTraceLog(void)
{
    /* The file was closed while the engine ran: long enough to put a link in its place. */
    log_fp = ReopenPlainFileForAppend(trace_path);
    log_on = log_fp != NULL;
    return log_on;
}

void Trace(const char *fmt, ...)
{
    va_list ap;
    if (log_fp == NULL) /* tracing off, or the log closed while the engine runs */
        return;
    va_start(ap, fmt);
    vfprintf(log_fp, fmt, ap);
    va_end(ap);
}

void FlushTraceLog(void)
{
    if (log_fp != NULL)
        fflush(log_fp);
}
