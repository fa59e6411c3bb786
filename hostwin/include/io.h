/* Host stand-in of the runtime's io.h: the existence test over the simulated drives, and file
** descriptors over the stand-in's file handles. */
#ifndef HOSTWIN_IO_H
#define HOSTWIN_IO_H

int _access(const char *path, int mode);

#include <stdint.h>
/* Takes over a handle of CreateFileA; flags _O_TEXT, _O_APPEND (see the stand-in fcntl.h). */
intptr_t _open_osfhandle(intptr_t handle, int flags);
int _close(int fd);

#endif
