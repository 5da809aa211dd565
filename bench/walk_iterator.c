/* The iterator's walks, built once for each way the benchmark compiles a
 * client: WALKS names the build, and the functions are walk_doc_WALKS,
 * walk_node_WALKS and walk_consume_WALKS (see walks.h). */
#include <bucketwalk.h>

#include "walks.h"

#define WALK_NAME(shape, build) walk_##shape##_##build
#define WALK_EXPAND(shape, build) WALK_NAME (shape, build)
#define WALK(shape) WALK_EXPAND (shape, WALKS)

/* The loop the header documents. */
gulong
WALK (doc) (GHashTable *t)
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

/* The loop the header gives for tables that may hold a null key. */
gulong
WALK (node) (GHashTable *t)
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
WALK (consume) (GHashTable *t)
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
