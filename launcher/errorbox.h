/* The "Launcher Error" box: modal, no owner window, stop icon, OK button. */
#ifndef LAUNCHER_ERRORBOX_H
#define LAUNCHER_ERRORBOX_H

void LauncherErrorBox(const char *text);

#endif
