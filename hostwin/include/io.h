/* Host stand-in of the runtime's io.h: file descriptors over the stand-in's file handles. */
#ifndef HOSTWIN_IO_H
#define HOSTWIN_IO_H

#include <stdint.h>
/* Takes over a handle of CreateFileA; flags _O_TEXT, _O_APPEND (see the stand-in fcntl.h). */
intptr_t _open_osfhandle(intptr_t handle, int flags);
int _close(int fd);

#endif
