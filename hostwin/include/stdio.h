/* Host stand-in: the real stdio.h, and for the product's own sources the stream calls routed
** to the simulated Windows runtime (drive paths, text mode, rename that never replaces). */
#include_next <stdio.h>

#if defined(HOSTWIN_PRODUCT) && !defined(HOSTWIN_STDIO_REDIRECTED)
#define HOSTWIN_STDIO_REDIRECTED
#include <stdarg.h>
FILE *hw_fopen(const char *path, const char *mode);
int hw_fclose(FILE *fp);
int hw_fflush(FILE *fp);
size_t hw_fwrite(const void *data, size_t size, size_t count, FILE *fp);
size_t hw_fread(void *data, size_t size, size_t count, FILE *fp);
int hw_vfprintf(FILE *fp, const char *fmt, va_list ap);
int hw_remove(const char *path);
int hw_rename(const char *from, const char *to);
#define fopen hw_fopen
#define fclose hw_fclose
#define fflush hw_fflush
#define fwrite hw_fwrite
#define fread hw_fread
#define vfprintf hw_vfprintf
#define remove hw_remove
#define rename hw_rename
FILE *hw__fdopen(int fd, const char *mode);
#define _fdopen hw__fdopen
#endif
