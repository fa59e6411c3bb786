#include "uninstcmd.h"

#include <string.h>

/* Only a to z are upper-cased; bytes from 0x80 up stay as they are (the default locale), and
** so does the second byte of a double-byte character: in code pages such as 932 it may lie in
** a to z, and changing it would name another folder. */
static void UpperCaseAscii(char *text)
{
    for (; *text != '\0'; text++) {
        if (IsDBCSLeadByte((BYTE)*text)) {
            if (text[1] == '\0')
                break;
            text++;
        } else if (*text >= 'a' && *text <= 'z') {
            *text = (char)(*text - ('a' - 'A'));
        }
    }
}

/* The same rule for the text of the registry's own form: every other character stays. */
static void UpperCaseAscii(WCHAR *text)
{
    for (; *text != 0; text++)
        if (*text >= 'a' && *text <= 'z')
            *text = (WCHAR)(*text - ('a' - 'A'));
}

template <typename Char> static size_t Length(const Char *text)
{
    size_t n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

/* The first place in text where word (ASCII) stands, compared unit by unit, or NULL. */
template <typename Char> static Char *Find(Char *text, const char *word)
{
    for (; *text != 0; text++) {
        size_t i = 0;
        while (word[i] != '\0' && text[i] == (Char)(unsigned char)word[i])
            i++;
        if (word[i] == '\0')
            return text;
    }
    return NULL;
}

/* A drive and its root ("C:\"), or a UNC path: a relative directory would be looked for from
** whatever folder a run happens to start in, and is no installation's. */
template <typename Char> static int IsSeparator(Char c)
{
    return c == '\\' || c == '/';
}

template <typename Char> static int IsAbsolute(const Char *dir)
{
    if (IsSeparator(dir[0]) && IsSeparator(dir[1]))
        return 1;
    return dir[0] >= 'A' && dir[0] <= 'Z' && dir[1] == ':' && IsSeparator(dir[2]);
}

/* The cut, the same for both forms of the text. */
template <typename Char> static void CutDirectory(Char *text)
{
    static const char keyword[] = "LAUNCHSETUP";
    const size_t skip = sizeof keyword - 1 + 2; /* the keyword and the two characters after it */
    Char *match;
    Char *end;

    UpperCaseAscii(text);
    match = Find(text, keyword);
    /* Fewer than two characters after the keyword would put the skip past the text's end. */
    if (match == NULL || Length(match) < skip) {
        text[0] = 0;
        return;
    }
    memmove(text, match + skip, (Length(match + skip) + 1) * sizeof(Char));

    /* BV_SETUP.EXE first: SETUP.EXE alone would match inside it and leave "BV_" behind. */
    end = Find(text, "BV_SETUP.EXE");
    if (end == NULL)
        end = Find(text, "SETUP.EXE");
    if (end == NULL)
        text[0] = 0;
    else
        *end = 0;
    if (!IsAbsolute(text))
        text[0] = 0;
}

void UninstallCommandDirectory(char *text)
{
    CutDirectory(text);
}

void UninstallCommandDirectoryWide(WCHAR *text)
{
    CutDirectory(text);
}
