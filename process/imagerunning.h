/* Telling whether a process of a given image name runs. */
#ifndef PROCESS_IMAGERUNNING_H
#define PROCESS_IMAGERUNNING_H

/* 1 when a running process matches image_name by the rule of this platform's route, 0 when
** none does or the platform's process enumeration does not exist (psapi.dll that cannot be
** loaded, entry points missing), -1 when the enumeration failed: then nothing can be said. */
int IsImageRunning(const char *image_name);

/* Windows NT 4: image_name as a case-sensitive substring of any module path of a process. */
int IsImageRunningPsapi(const char *image_name);

/* Every other platform: image_name equal to the file name of a process's executable, with
** the ASCII letters folded. */
int IsImageRunningToolhelp(const char *image_name);

#endif
