/* The walks that the benchmarks measure, written as a C client of GLib 1.2
 * writes them.  Each sums the keys and values, so that nothing is optimised
 * away; the consume ones hand each pair to consume, a function in another
 * file, which does the sum. */
#ifndef BENCH_WALKS_H
#define BENCH_WALKS_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* walk_iterator.c, built as (bench/CMakeLists.txt):
 *   gcc, gcc_nochk        gcc -O2, with the checks and with G_DISABLE_CHECKS
 *   gcc_Os, gcc_Os_nochk  gcc -Os
 *   clang, clang_nochk    clang -O2
 *   call                  gcc -O2 with BUCKETWALK_NO_INLINE: a call per step
 * each with the documented do-while loop (doc), the for loop that ends on
 * it->node (node), and the do-while loop whose body calls consume. */
#define BENCH_WALKS(build)				\
  gulong walk_doc_##build (GHashTable *t);		\
  gulong walk_node_##build (GHashTable *t);		\
  gulong walk_consume_##build (GHashTable *t);
BENCH_WALKS (gcc)
BENCH_WALKS (gcc_nochk)
BENCH_WALKS (gcc_Os)
BENCH_WALKS (gcc_Os_nochk)
BENCH_WALKS (clang)
BENCH_WALKS (clang_nochk)
BENCH_WALKS (call)

gulong walk_foreach (GHashTable *t);	/* g_hash_table_foreach and a callback */
gulong walk_foreach_consume (GHashTable *t);	/* its callback calls consume */
gulong walk_floor (GHashTable *t);	/* a double loop over the buckets */
gulong walk_floor_prefetch (GHashTable *t);	/* the same, prefetching as the iterator does */
/* A streaming read of as many bytes as t's nodes and buckets hold, from a
 * buffer that stream_prepare allocates for t: this machine's limit. */
gulong walk_stream (GHashTable *t);
void stream_prepare (GHashTable *t);

/* remove.c: every entry of a table removed and its key freed, by walking
 * and removing after the walk, or through g_hash_table_foreach_remove. */
void remove_collected (GHashTable *t);
void remove_foreach (GHashTable *t);

void consume (gpointer key, gpointer val);
extern gulong consumed;

#ifdef __cplusplus
}
#endif

#endif
