/* The iterator's walks, built twice: with the header's inline step, and
 * with BUCKETWALK_NO_INLINE, a call per step (the names end in _call). */
#include <bucketwalk.h>

#include "walks.h"

#ifdef BUCKETWALK_NO_INLINE
#define WALK(name) name##_call
#else
#define WALK(name) name##_inline
#endif

/* The loop the header documents. */
gulong
WALK (walk) (GHashTable *t)
{
  GHashIter *it = g_hash_iter_new (t);
  gpointer key, val;
  gulong sum = 0;

  if (g_hash_iter_first (it, &key, &val))
    do
      sum += (gulong) key + (gulong) val;
    while (g_hash_iter_next (it, &key, &val));
  g_hash_iter_destroy (it);
  return sum;
}

/* The loop the header recommends for tables that may hold a null key. */
gulong
WALK (walk_node) (GHashTable *t)
{
  GHashIter *it = g_hash_iter_new (t);
  gpointer key, val;
  gulong sum = 0;

  for (g_hash_iter_first (it, &key, &val); it->node; g_hash_iter_next (it, &key, &val))
    sum += (gulong) key + (gulong) val;
  g_hash_iter_destroy (it);
  return sum;
}

/* The documented loop whose body calls a function of another file. */
gulong
WALK (walk_consume) (GHashTable *t)
{
  GHashIter *it = g_hash_iter_new (t);
  gpointer key, val;

  consumed = 0;
  if (g_hash_iter_first (it, &key, &val))
    do
      consume (key, val);
    while (g_hash_iter_next (it, &key, &val));
  g_hash_iter_destroy (it);
  return consumed;
}
