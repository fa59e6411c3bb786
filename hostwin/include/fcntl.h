/* Host stand-in: the real fcntl.h and the runtime's flags for _open_osfhandle. */
#include_next <fcntl.h>

#ifndef HOSTWIN_FCNTL_H
#define HOSTWIN_FCNTL_H
#define _O_APPEND 0x0008
#define _O_TEXT 0x4000
#endif
