#include "uninstcmd.h"

#include <string.h>
#include <windows.h>

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

void UninstallCommandDirectory(char *text)
{
    static const char keyword[] = "LAUNCHSETUP";
    const size_t skip = sizeof keyword - 1 + 2; /* the keyword and the two characters after it */
    char *match;
    char *end;

    UpperCaseAscii(text);
    match = strstr(text, keyword);
    /* Fewer than two characters after the keyword would put the skip past the text's end. */
    if (match == NULL || strlen(match) < skip) {
        text[0] = '\0';
        return;
    }
    memmove(text, match + skip, strlen(match + skip) + 1);

    /* BV_SETUP.EXE first: SETUP.EXE alone would match inside it and leave "BV_" behind. */
    end = strstr(text, "BV_SETUP.EXE");
    if (end == NULL)
        end = strstr(text, "SETUP.EXE");
    if (end == NULL)
        text[0] = '\0';
    else
        *end = '\0';
}
