/* The walks that the benchmarks measure, written as a C client of GLib 1.2
 * writes them (compiled -std=gnu89 -O2).  Each sums the keys and values, so
 * that nothing is optimised away. */
#ifndef BENCH_WALKS_H
#define BENCH_WALKS_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

gulong walk_inline (GHashTable *t);	/* the iterator with its inline step */
gulong walk_call (GHashTable *t);	/* the iterator, a call per step */
gulong walk_foreach (GHashTable *t);	/* g_hash_table_foreach and a callback */
gulong walk_floor (GHashTable *t);	/* a double loop over the buckets */

#ifdef __cplusplus
}
#endif

#endif
