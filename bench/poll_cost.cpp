/* Cost of one drain poll, IsImageRunning("bv_setup.exe"), against the size of the process
** table on the host stand-in, on both routes: Toolhelp (the stand-in's default version) and
** PSAPI (the stand-in set to NT 4). No process of that name runs, so every poll walks the whole
** table, as the last poll of every drain does. Beside each figure: the same walk done directly
** on the stand-in's calls, without the product (what the simulation itself costs), and the heap
** blocks the product asked for during the polls.
**
** Prints one tab-separated line per case:
**   route  processes  entries_walked  polls  ns_per_poll  ns_per_entry  standin_ns_per_poll
**   heap_blocks  answer */
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <windows.h>
#include <tlhelp32.h>

#include "hostwin.h"

#include "process/imagerunning.h"
#include "platform/version.h"

/* The PSAPI route reads at most this many process ids per poll, by design. */
#define PSAPI_ID_LIMIT 1024
/* Each timing is the median of this many batches of about BATCH_NS each, timed in the
** thread's CPU time, so that time spent descheduled by other work on the machine is left out. */
#define BATCHES 9
#define BATCH_NS 25000000.0
#define MIN_CALLS 5

typedef HANDLE(WINAPI *CreateSnapshotFn)(DWORD flags, DWORD process_id);
typedef BOOL(WINAPI *ProcessWalkFn)(HANDLE snapshot, PROCESSENTRY32 *entry);
typedef BOOL(WINAPI *EnumProcessesFn)(DWORD *ids, DWORD size, DWORD *needed);
typedef BOOL(WINAPI *EnumProcessModulesFn)(HANDLE process, HMODULE *modules, DWORD size,
                                           DWORD *needed);
typedef DWORD(WINAPI *GetModuleFileNameExAFn)(HANDLE process, HMODULE module, LPSTR name,
                                              DWORD size);

static const char image[] = "bv_setup.exe";

static double NowNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

/* A table of `count` ordinary processes, none of them the engine. */
static void FillTable(int count)
{
    char name[32], path[96];
    int i;
    for (i = 0; i < count; i++) {
        hw::Process p;
        snprintf(name, sizeof name, "app%05d.exe", i);
        snprintf(path, sizeof path, "C:\\Program Files\\Vendor %05d\\%s", i, name);
        p.pid = 100 + 4 * (DWORD)i;
        p.exe_file = name;
        p.modules.push_back(path);
        p.modules.push_back("C:\\WINDOWS\\system32\\ntdll.dll");
        p.modules.push_back("C:\\WINDOWS\\system32\\kernel32.dll");
        hw::AddProcess(p);
    }
}

/* The Toolhelp walk with no name checks, straight on the stand-in's entry points. */
static int StandInToolhelpWalk(void)
{
    HMODULE kernel32 = LoadLibraryA("kernel32.dll");
    CreateSnapshotFn create_snapshot;
    ProcessWalkFn process_first, process_next;
    PROCESSENTRY32 entry;
    HANDLE snapshot;
    int seen = 0;

    if (kernel32 == NULL)
        return 0;
    create_snapshot =
        (CreateSnapshotFn)(void *)GetProcAddress(kernel32, "CreateToolhelp32Snapshot");
    process_first = (ProcessWalkFn)(void *)GetProcAddress(kernel32, "Process32First");
    process_next = (ProcessWalkFn)(void *)GetProcAddress(kernel32, "Process32Next");
    snapshot = create_snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        memset(&entry, 0, sizeof entry);
        entry.dwSize = sizeof entry;
        if (process_first(snapshot, &entry)) {
            do
                seen++;
            while (process_next(snapshot, &entry));
        }
        CloseHandle(snapshot);
    }
    FreeLibrary(kernel32);
    return seen;
}

/* The PSAPI walk with no name checks: every id opened, every module name read. */
static int StandInPsapiWalk(void)
{
    static DWORD ids[PSAPI_ID_LIMIT];
    static HMODULE modules[64];
    char path[MAX_PATH];
    HMODULE psapi = LoadLibraryA("C:\\WINDOWS\\system32\\psapi.dll");
    EnumProcessesFn enum_processes;
    EnumProcessModulesFn enum_modules;
    GetModuleFileNameExAFn module_file_name;
    DWORD needed = 0, count, i, j, module_count;
    int seen = 0;

    if (psapi == NULL)
        return 0;
    enum_processes = (EnumProcessesFn)(void *)GetProcAddress(psapi, "EnumProcesses");
    enum_modules = (EnumProcessModulesFn)(void *)GetProcAddress(psapi, "EnumProcessModules");
    module_file_name =
        (GetModuleFileNameExAFn)(void *)GetProcAddress(psapi, "GetModuleFileNameExA");
    if (enum_processes(ids, sizeof ids, &needed)) {
        count = needed / sizeof ids[0];
        for (i = 0; i < count; i++) {
            HANDLE process =
                OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
            if (process == NULL)
                continue;
            seen++;
            if (enum_modules(process, modules, sizeof modules, &needed)) {
                module_count = needed / sizeof modules[0];
                for (j = 0; j < module_count && j < 64; j++)
                    module_file_name(process, modules[j], path, sizeof path);
            }
            CloseHandle(process);
        }
    }
    FreeLibrary(psapi);
    return seen;
}

/* Calls in one batch of poll: about BATCH_NS worth, at least MIN_CALLS. */
static long BatchCalls(int (*poll)(void))
{
    double start = NowNs(), once;
    long n;
    poll();
    once = NowNs() - start;
    n = (long)(BATCH_NS / (once > 1.0 ? once : 1.0));
    return n < MIN_CALLS ? MIN_CALLS : n;
}

static double TimeBatch(int (*poll)(void), long n)
{
    double start = NowNs();
    long i;
    for (i = 0; i < n; i++)
        poll();
    return (NowNs() - start) / (double)n;
}

/* Keeps v[0..count] sorted after v[count] = t. */
static void InsertSorted(double *v, int count, double t)
{
    for (; count > 0 && v[count - 1] > t; count--)
        v[count] = v[count - 1];
    v[count] = t;
}

static int HeapCalls(void)
{
    return hw::CallCount("malloc") + hw::CallCount("realloc");
}

/* Time of one call of the product's poll and of the stand-in's bare walk, each the median of
** BATCHES batches, the two alternating batch by batch so that both see the same load. *calls
** gets the product's polls, *heap the heap blocks the product asked for during them. */
static void TimeBoth(int (*product)(void), int (*bare)(void), double *product_ns, double *bare_ns,
                     long *calls, int *heap)
{
    double p[BATCHES], q[BATCHES];
    long n = BatchCalls(product), m = BatchCalls(bare);
    int b, before;

    *heap = 0;
    for (b = 0; b < BATCHES; b++) {
        before = HeapCalls();
        InsertSorted(p, b, TimeBatch(product, n));
        *heap += HeapCalls() - before;
        InsertSorted(q, b, TimeBatch(bare, m));
    }
    *product_ns = p[BATCHES / 2];
    *bare_ns = q[BATCHES / 2];
    *calls = n * BATCHES;
}

static int ProductPoll(void)
{
    return IsImageRunning(image, NULL);
}

static int RunCase(int psapi, int count)
{
    long polls;
    double ns, bare_ns;
    int heap_blocks, answer, entries;

    hw::Reset();
    ResetPlatformRecord();
    if (psapi)
        hw::SetVersion(0x05650004); /* NT 4.0, build 1381 */
    FillTable(count);
    entries = psapi ? (count < PSAPI_ID_LIMIT ? count : PSAPI_ID_LIMIT) : count;
    if ((psapi ? StandInPsapiWalk() : StandInToolhelpWalk()) != entries) {
        fprintf(stderr, "poll_cost: the stand-in did not show %d processes\n", entries);
        return 0;
    }

    answer = IsImageRunning(image, NULL); /* warms up, and fills the platform record */
    TimeBoth(ProductPoll, psapi ? StandInPsapiWalk : StandInToolhelpWalk, &ns, &bare_ns, &polls,
             &heap_blocks);

    printf("%s\t%d\t%d\t%ld\t%.0f\t%.1f\t%.0f\t%d\t%d\n", psapi ? "psapi" : "toolhelp", count,
           entries, polls, ns, ns / entries, bare_ns, heap_blocks, answer);
    return 1;
}

int main(void)
{
    static const int sizes[] = {100, 1000, 5000};
    int route, i;

    for (route = 0; route < 2; route++) {
        for (i = 0; i < (int)(sizeof sizes / sizeof sizes[0]); i++) {
            if (!RunCase(route, sizes[i]))
                return 1;
        }
    }
    return 0;
}
