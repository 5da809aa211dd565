/* The walks that the benchmarks measure, written as a C client of GLib 1.2
 * writes them (compiled -std=gnu89 -O2).  Each sums the keys and values, so
 * that nothing is optimised away; the _consume ones hand each pair to
 * consume, a function in another file, which does the sum. */
#ifndef BENCH_WALKS_H
#define BENCH_WALKS_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The iterator, with its inline step and with a call per step (_call): */
gulong walk_inline (GHashTable *t);	/* the documented do-while loop */
gulong walk_call (GHashTable *t);
gulong walk_node_inline (GHashTable *t);	/* for (...; it->node; ...) */
gulong walk_node_call (GHashTable *t);
gulong walk_consume_inline (GHashTable *t);	/* do-while, consume (key, val) */
gulong walk_consume_call (GHashTable *t);

gulong walk_foreach (GHashTable *t);	/* g_hash_table_foreach and a callback */
gulong walk_foreach_consume (GHashTable *t);	/* its callback calls consume */
gulong walk_floor (GHashTable *t);	/* a double loop over the buckets */

void consume (gpointer key, gpointer val);
extern gulong consumed;

#ifdef __cplusplus
}
#endif

#endif
