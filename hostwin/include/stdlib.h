/* Host stand-in: the real stdlib.h, and for the product's own sources the heap and the
** process exit routed to the simulated machine (failing allocations, exit back to the test). */
#include_next <stdlib.h>

#if defined(HOSTWIN_PRODUCT) && !defined(HOSTWIN_STDLIB_REDIRECTED)
#define HOSTWIN_STDLIB_REDIRECTED
void *hw_malloc(size_t size);
void *hw_realloc(void *p, size_t size);
void hw_free(void *p);
[[noreturn]] void hw_exit(int code);
#define malloc hw_malloc
#define realloc hw_realloc
#define free hw_free
#define exit hw_exit
#endif
