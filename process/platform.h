/* The platform record: which Windows family and major version this run is on. */
#ifndef PROCESS_PLATFORM_H
#define PROCESS_PLATFORM_H

struct PlatformRecord {
    int nt;     /* 1 on the NT family: bit 31 of GetVersion() clear */
    int major;  /* low byte of GetVersion() */
    int filled; /* the two fields hold the answer */
};

/* Not filled yet, as in a new process (for the host tests and the poll bench). */
void ResetPlatformRecord(void);

/* Fills the record from one GetVersion() call on first use; later calls return it unchanged. */
const struct PlatformRecord *GetPlatformVersion(void);

/* 1 on Windows NT 4, else 0. */
int IsNT4(void);

#endif
