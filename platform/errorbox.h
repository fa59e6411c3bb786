/* The "Launcher Error" box: modal, no owner window, stop icon, OK button. */
#ifndef PLATFORM_ERRORBOX_H
#define PLATFORM_ERRORBOX_H

void LauncherErrorBox(const char *text);

#endif
