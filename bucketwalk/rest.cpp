// The rest of the library's g_hash_iter_next: the header's step compiled a
// second time, whole, as bw_next_rest.  bw_next (bucketwalk.cpp), the same
// definition compiled with a return to bw_next_rest at each
// _G_HASH_ITER_ELSEWHERE, goes on here for the cases that it leaves:
// entries down a chain within the header's bound, a walk moved by steps
// without checks, and runs of empty buckets.  Apart, bw_next's common cases
// keep no register across the code that needs many, and save none.
// (bw_first_rest, the header's g_hash_iter_first compiled here too, is not
// used, and the linker leaves it out.)

#define _G_HASH_ITER_OUT_OF_LINE
#define g_hash_iter_first bw_first_rest
#define g_hash_iter_next bw_next_rest
#define _G_HASH_ITER_REPORTED(it, key, val) bw_report(it, key, val)
extern "C" void *bw_report(struct _GHashIter *, void **, void **);
#include "bucketwalk.h"
