/* The platform record: which Windows family and major version this run is on. */
#ifndef PLATFORM_VERSION_H
#define PLATFORM_VERSION_H

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

/* 1 where the launcher, a 32-bit program, runs on 64-bit Windows (WoW64): its registry then
** has a 32-bit and a 64-bit view; 0 where it does not; -1 where that cannot be told. Asked
** once per run. */
int RunsUnderWow64(void);

#endif
