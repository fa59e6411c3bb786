/* Starting the setup engine and waiting for its end. */
#ifndef PROCESS_LAUNCHAPP_H
#define PROCESS_LAUNCHAPP_H

/* Starts engine_path hidden with cmdline (passed unchanged) and blocks until it ends.
** Returns -1 when the process cannot be created, 1 when it ended with exit code 0, else 0. */
int LaunchApp(const char *engine_path, char *cmdline);

#endif
