/* Removing entries that a walk picks out, as a GLib 1.2 client writes it:
 * every entry of a table of string keys, each key freed.  remove_collected
 * collects the keys during a walk and removes them after it, the table
 * frozen meanwhile (the way the manual shows: a walk hands out nothing
 * more once its table has changed); remove_foreach hands the same work to
 * g_hash_table_foreach_remove and a callback. */
#include <bucketwalk.h>

#include "walks.h"

void
remove_collected (GHashTable *t)
{
  gpointer *doomed = g_new (gpointer, g_hash_table_size (t) + 1);
  GHashIter *it = g_hash_iter_new (t);
  gpointer key, val;
  guint n = 0, j;

  if (g_hash_iter_first (it, &key, &val))
    do
      doomed[n++] = key;
    while (g_hash_iter_next (it, &key, &val));
  g_hash_iter_destroy (it);
  g_hash_table_freeze (t);
  for (j = 0; j < n; j++)
    {
      g_hash_table_remove (t, doomed[j]);
      g_free (doomed[j]);
    }
  g_hash_table_thaw (t);
  g_free (doomed);
}

static gboolean
free_key (gpointer key, gpointer val, gpointer unused)
{
  (void) val;
  (void) unused;
  g_free (key);
  return TRUE;
}

void
remove_foreach (GHashTable *t)
{
  g_hash_table_foreach_remove (t, free_key, NULL);
}
