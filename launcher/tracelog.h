/* The trace log: launcher.log in %TEMP%, written only when the arguments hold "LOG". */
#ifndef LAUNCHER_TRACELOG_H
#define LAUNCHER_TRACELOG_H

#include <stdio.h>

extern int log_on; /* tracing is on; stays set while the stream is closed for the launch */

/* Tracing off and no stream, as a new process finds them: for the host tests, which run the
** launcher many times in one process. */
void ResetTraceLog(void);

/* Opens the trace log for writing when args holds "LOG"; log_on tells whether it opened. */
void OpenTraceLog(const char *args);

/* Closes the stream; log_on is left as it is. */
void CloseTraceLog(void);

/* Reopens the trace log for append after the engine's run. Returns 0 when it cannot be
** reopened: tracing is then off for the rest of the run. Only called while log_on is set. */
int ReopenTraceLog(void);

/* Writes one formatted line while tracing is on and the stream is open. */
void Trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Puts what the stream holds into the file now: for the lines of the wait for the engine, which
** may last hours and be ended from outside, and which a support person reads to learn where a
** run stood. Every other line waits for the stream's buffer to fill or to be closed. */
void FlushTraceLog(void);

#endif
