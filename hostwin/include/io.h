/* Host stand-in of the runtime's io.h: the existence test over the simulated drives. */
#ifndef HOSTWIN_IO_H
#define HOSTWIN_IO_H

int _access(const char *path, int mode);

#endif
