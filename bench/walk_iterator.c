/* The iterator's walk, built twice: as walk_inline with the header's inline
 * step, and as walk_call with BUCKETWALK_NO_INLINE, a call per step. */
#include <bucketwalk.h>

#include "walks.h"

#ifdef BUCKETWALK_NO_INLINE
#define walk_iterator walk_call
#else
#define walk_iterator walk_inline
#endif

gulong
walk_iterator (GHashTable *t)
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
