/* What the iterator is measured against: GLib's own g_hash_table_foreach,
 * with a callback that does the work itself or calls consume; the least
 * work a walk can do, a double loop over the bucket array, plain and
 * prefetching ahead as the iterator does; and what the memory could
 * deliver, a streaming read of as many bytes. */
#include <bucketwalk.h>

#include "walks.h"

static void
add (gpointer key, gpointer val, gpointer sum)
{
  *(gulong *) sum += (gulong) key + (gulong) val;
}

gulong
walk_foreach (GHashTable *t)
{
  gulong sum = 0;

  g_hash_table_foreach (t, add, &sum);
  return sum;
}

static void
pass_on (gpointer key, gpointer val, gpointer unused)
{
  (void) unused;
  consume (key, val);
}

gulong
walk_foreach_consume (GHashTable *t)
{
  consumed = 0;
  g_hash_table_foreach (t, pass_on, NULL);
  return consumed;
}

gulong
walk_floor (GHashTable *t)
{
  gulong sum = 0;
  gint i;
  GHashNode *n;

  for (i = 0; i < t->size; i++)
    for (n = t->nodes[i]; n; n = n->next)
      sum += (gulong) n->key + (gulong) n->value;
  return sum;
}

/* The same, prefetching ahead of every bucket on the tables where the
 * iterator does, as it does. */
gulong
walk_floor_prefetch (GHashTable *t)
{
  gulong sum = 0;
  gint i, last = _G_HASH_ITER_PREFETCHES (t->size, t->nnodes) ? t->size - 2 * _G_HASH_ITER_PREFETCH_AHEAD : 0;
  GHashNode *n;

  for (i = 0; i < t->size; i++)
    {
      if (i < last)
        _G_HASH_ITER_PREFETCH (t->nodes, i);
      for (n = t->nodes[i]; n; n = n->next)
        sum += (gulong) n->key + (gulong) n->value;
    }
  return sum;
}

/* The buffers of stream_prepare, by table. */
static struct
{
  GHashTable *t;
  gulong *words;
  gulong n;
} streams[16];

void
stream_prepare (GHashTable *t)
{
  gulong bytes = (gulong) t->nnodes * sizeof (GHashNode) + (gulong) t->size * sizeof (GHashNode *), k;
  gint j;

  for (j = 0; j < 16 && streams[j].t; j++)
    ;
  if (j == 16)
    return;
  streams[j].t = t;
  streams[j].n = bytes / sizeof (gulong);
  streams[j].words = g_malloc (streams[j].n * sizeof (gulong) + 1);
  /* Written, so that each page is memory of its own, not the zero page. */
  for (k = 0; k < streams[j].n; k++)
    streams[j].words[k] = k;
}

gulong
walk_stream (GHashTable *t)
{
  gulong sum = 0, k;
  gint j;

  for (j = 0; j < 16 && streams[j].t != t; j++)
    ;
  if (j == 16)
    return 0;
  for (k = 0; k < streams[j].n; k++)
    sum += streams[j].words[k];
  return sum;
}
