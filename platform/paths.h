/* Splitting and composing paths, and whether something exists at one. */
#ifndef PLATFORM_PATHS_H
#define PLATFORM_PATHS_H

#include <stddef.h>

#define DRIVE_SIZE 4
#define DIR_SIZE 256

/* Splits path into its drive ("C:" or empty) and its directory (up to and including the last
** backslash or slash, at most DIR_SIZE - 1 characters, empty without a separator). A
** double-byte character is never split and its trail byte is never taken as a separator. */
void SplitPath(const char *path, char drive[DRIVE_SIZE], char dir[DIR_SIZE]);

/* Composes drive + dir + name + "." + ext into dest of size bytes, adding a backslash after a
** directory that does not end in one and a dot before an extension that lacks it. Returns 0,
** with dest emptied, when the result would not fit. */
int ComposePath(char *dest, size_t size, const char *drive, const char *dir, const char *name,
                const char *ext);

/* 1 for a backslash or a slash: Windows takes both as separators in a path. */
int IsPathSeparator(unsigned char c);

/* 1 when text holds word, the ASCII letters of both folded. */
int ContainsFolded(const char *text, const char *word);

/* 1 when a file or folder exists at path, 0 when nothing does, -1 when the system cannot
** tell (a failure other than a name that is not there). */
int PathExists(const char *path);

/* 1 when a and b are equal with the ASCII letters folded (the default locale's rule for file
** names and keys); every other byte is compared as it is. */
int SameTextFolded(const char *a, const char *b);

#endif
