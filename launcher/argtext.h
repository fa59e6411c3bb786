/* The argument text: the process command line less its first token and the blanks after it. */
#ifndef LAUNCHER_ARGTEXT_H
#define LAUNCHER_ARGTEXT_H

/* Returns a pointer into cmdline where the argument text begins, or "" when cmdline is NULL.
** A quoted first token runs to and includes the next quote, double-byte characters stepped
** over whole; an unquoted one runs to the first character of code 32 or below. */
const char *ArgumentText(const char *cmdline);

#endif
