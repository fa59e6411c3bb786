#include "session.h"

typedef HWINSTA(WINAPI *GetProcessWindowStationFn)(void);
typedef BOOL(WINAPI *GetUserObjectInformationAFn)(HANDLE object, int index, void *info, DWORD size,
                                                  DWORD *needed);

/* The calls are looked up because the consumer family's user32 has no window stations. The
** station's handle belongs to the process and is not closed. Any failure to find out answers
** 1: a box that might be seen is shown, as it always was. */
int BoxesCanBeSeen(HMODULE user32)
{
    GetProcessWindowStationFn get_station;
    GetUserObjectInformationAFn get_info;
    USEROBJECTFLAGS flags;
    DWORD needed = 0;
    HWINSTA station;

    get_station =
        (GetProcessWindowStationFn)(void *)GetProcAddress(user32, "GetProcessWindowStation");
    get_info =
        (GetUserObjectInformationAFn)(void *)GetProcAddress(user32, "GetUserObjectInformationA");
    if (get_station == NULL || get_info == NULL)
        return 1;
    station = get_station();
    if (station == NULL)
        return 1;
    if (!get_info(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return 1;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}
