#include "paths.h"

#include <string.h>
#include <windows.h>

int IsPathSeparator(unsigned char c)
{
    return c == '\\' || c == '/';
}

void SplitPath(const char *path, char drive[DRIVE_SIZE], char dir[DIR_SIZE])
{
    const unsigned char *p = (const unsigned char *)path;
    const unsigned char *dir_end = NULL; /* one past the last separator */
    size_t len;

    drive[0] = '\0';
    dir[0] = '\0';
    if (p[0] != '\0' && p[1] == ':') {
        drive[0] = (char)p[0];
        drive[1] = ':';
        drive[2] = '\0';
        p += 2;
    }
    const unsigned char *dir_start = p;
    while (*p != '\0') {
        if (IsDBCSLeadByte(*p) && p[1] != '\0') {
            p += 2;
            continue;
        }
        if (IsPathSeparator(*p))
            dir_end = p + 1;
        p++;
    }
    if (dir_end == NULL)
        return;
    len = (size_t)(dir_end - dir_start);
    if (len > DIR_SIZE - 1)
        len = DIR_SIZE - 1;
    memcpy(dir, dir_start, len);
    dir[len] = '\0';
}

/* The last character of a non-empty string, a double-byte character counting as one: returns
** its trail byte for a double-byte character and 0 then, so it never reads as a separator. */
static unsigned char LastChar(const char *s)
{
    const unsigned char *p = (const unsigned char *)s;
    unsigned char last = 0;
    while (*p != '\0') {
        if (IsDBCSLeadByte(*p) && p[1] != '\0') {
            last = 0;
            p += 2;
            continue;
        }
        last = *p++;
    }
    return last;
}

/* Appends src to dest (holding *len characters) when it fits into size bytes. */
static int Append(char *dest, size_t size, size_t *len, const char *src, size_t n)
{
    if (n >= size - *len)
        return 0;
    memcpy(dest + *len, src, n);
    *len += n;
    dest[*len] = '\0';
    return 1;
}

int ComposePath(char *dest, size_t size, const char *drive, const char *dir, const char *name,
                const char *ext)
{
    size_t len = 0;
    int ok = 1;

    if (size == 0)
        return 0;
    dest[0] = '\0';
    if (drive[0] != '\0') {
        char d[2] = {drive[0], ':'};
        ok = ok && Append(dest, size, &len, d, 2);
    }
    if (dir[0] != '\0') {
        ok = ok && Append(dest, size, &len, dir, strlen(dir));
        if (!IsPathSeparator(LastChar(dir)))
            ok = ok && Append(dest, size, &len, "\\", 1);
    }
    ok = ok && Append(dest, size, &len, name, strlen(name));
    if (ext[0] != '\0') {
        if (ext[0] != '.')
            ok = ok && Append(dest, size, &len, ".", 1);
        ok = ok && Append(dest, size, &len, ext, strlen(ext));
    }
    if (!ok)
        dest[0] = '\0';
    return ok;
}

int PathExists(const char *path)
{
    DWORD error;
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return 1;
    error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_INVALID_NAME)
        return 0;
    return -1;
}

/* ASCII letters folded, every other byte compared as it is: the default locale's rule. */
static int FoldAscii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

/* How many bytes of a and b are equal with the letters folded, up to a's end. */
static size_t FoldedPrefix(const char *a, const char *b)
{
    size_t n = 0;
    while (a[n] != '\0' && FoldAscii((unsigned char)a[n]) == FoldAscii((unsigned char)b[n]))
        n++;
    return n;
}

int SameTextFolded(const char *a, const char *b)
{
    size_t n = FoldedPrefix(a, b);
    return a[n] == '\0' && b[n] == '\0';
}

int ContainsFolded(const char *text, const char *word)
{
    size_t len = strlen(word);
    for (; *text != '\0'; text++)
        if (FoldedPrefix(word, text) == len)
            return 1;
    return len == 0;
}
