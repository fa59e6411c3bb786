#include "runlock.h"

#include "../platform/systemlib.h"
#include "../platform/version.h"

#define RUN_LOCK_NAME "Brevane.SetupLauncher.RunLock"
/* The private namespace's alias, the prefix of the lock's name in it. */
#define NAMESPACE_ALIAS "Brevane.SetupLauncher"

typedef HANDLE(WINAPI *CreateBoundaryFn)(LPCWSTR name, ULONG flags);
typedef BOOL(WINAPI *AddSidFn)(HANDLE *boundary, void *sid);
typedef HANDLE(WINAPI *CreateNamespaceFn)(SECURITY_ATTRIBUTES *attrs, void *boundary,
                                          LPCWSTR alias);
typedef HANDLE(WINAPI *OpenNamespaceFn)(void *boundary, LPCWSTR alias);

/* BUILTIN\Administrators, S-1-5-32-544: revision 1, two sub-authorities, the NT authority. */
static const BYTE administrators_sid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

/* Opens, or makes, the launcher's private namespace (Vista on), bounded by the Administrators
** group: only a process that runs as an administrator can make or open it, so no other can
** take the lock's name there first. Returns 1 when *ns is open, 0 when it could not be had,
** -1 where the system has no private namespaces. The handle stays open for the process's life:
** the namespace lives as long as one is open. */
static int OpenLauncherNamespace(HANDLE *ns)
{
    WCHAR alias[sizeof NAMESPACE_ALIAS];
    HMODULE kernel32 = Kernel32();
    CreateBoundaryFn create_boundary = NULL;
    AddSidFn add_sid = NULL;
    CreateNamespaceFn create_namespace = NULL;
    OpenNamespaceFn open_namespace = NULL;
    HANDLE boundary;
    int tries;
    size_t i;

    if (kernel32 != NULL) {
        create_boundary =
            (CreateBoundaryFn)(void *)GetProcAddress(kernel32, "CreateBoundaryDescriptorW");
        add_sid = (AddSidFn)(void *)GetProcAddress(kernel32, "AddSIDToBoundaryDescriptor");
        create_namespace =
            (CreateNamespaceFn)(void *)GetProcAddress(kernel32, "CreatePrivateNamespaceW");
        open_namespace = (OpenNamespaceFn)(void *)GetProcAddress(kernel32, "OpenPrivateNamespaceW");
    }
    if (create_boundary == NULL || add_sid == NULL || create_namespace == NULL ||
        open_namespace == NULL)
        return -1;
    for (i = 0; i < sizeof alias / sizeof alias[0]; i++)
        alias[i] = (WCHAR)NAMESPACE_ALIAS[i];
    boundary = create_boundary(alias, 0);
    if (boundary == NULL || !add_sid(&boundary, (void *)administrators_sid))
        return 0; /* the boundary is the process's to reclaim: it is not released here */
    /* Another launcher may make it, or let it go, between the two calls: a few rounds. */
    *ns = NULL;
    for (tries = 0; tries < 3 && *ns == NULL; tries++) {
        *ns = create_namespace(NULL, boundary, alias);
        if (*ns == NULL && GetLastError() == ERROR_ALREADY_EXISTS)
            *ns = open_namespace(boundary, alias);
    }
    return *ns != NULL;
}

int TakeRunLock(void)
{
    const struct PlatformRecord *platform = GetPlatformVersion();
    /* Terminal services give every session names of its own but those under Global\, which
    ** Windows 2000 and later know and NT 4 and the consumer family do not. */
    const char *name =
        platform->nt && platform->major >= 5 ? "Global\\" RUN_LOCK_NAME : RUN_LOCK_NAME;
    HANDLE ns, lock;
    int in_namespace = OpenLauncherNamespace(&ns);

    if (in_namespace == 0)
        return 0;
    if (in_namespace > 0) /* a private namespace is machine-wide already */
        name = NAMESPACE_ALIAS "\\" RUN_LOCK_NAME;
    lock = CreateMutexA(NULL, FALSE, name);

    /* A lock that another user's launcher made may be seen but not opened; an event or other
    ** object of the name, which anyone may make outside the namespace, fails the call too. */
    if (lock == NULL)
        return 0;
    /* The handle stays open on purpose: the lock is freed when the process ends. */
    return GetLastError() != ERROR_ALREADY_EXISTS;
}
