/* What the iterator is measured against: GLib's own g_hash_table_foreach,
 * with a callback that does the work itself or calls consume, and the least
 * work a walk can do, a double loop over the bucket array. */
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
