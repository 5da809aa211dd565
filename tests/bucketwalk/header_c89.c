/* A client as old C code writes it: the header compiles as C89 (pedantic
 * with the stand-in's glib.h), the client declares the library's functions
 * again, a walk sees every entry of a table, and a walk whose current entry
 * (not the last of its chain) is renamed, in a loop that looks at the
 * table's size itself, reports it and hands out nothing that has left the
 * table.  header_check.sh compiles
 * it with other compilers, standards and warnings too, C++ among them. */
#include <stdio.h>

#include <glib.h>
#include <bucketwalk.h>

#ifndef NO_REDECLARATIONS
#ifndef __cplusplus
GHashIter *g_hash_iter_new ();
gpointer g_hash_iter_first ();
gpointer g_hash_iter_next ();
void g_hash_iter_destroy ();
#endif
GHashIter *g_hash_iter_new (GHashTable *t);
gpointer g_hash_iter_first (GHashIter *it, gpointer *key, gpointer *val);
gpointer g_hash_iter_next (GHashIter *it, gpointer *key, gpointer *val);
void g_hash_iter_destroy (GHashIter *it);
#endif

static int reports;

static void
on_report (const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer data)
{
  (void) domain;
  (void) level;
  (void) message;
  (void) data;
  reports++;
}

static void
add (gpointer key, gpointer value, gpointer sum)
{
  *(glong *) sum += GPOINTER_TO_INT (key) * 1000 + GPOINTER_TO_INT (value);
}

int
main (void)
{
  GHashTable *t = g_hash_table_new (g_direct_hash, g_direct_equal);
  GHashIter *it;
  gpointer key, val;
  glong walked = 0, visited = 0;
  gint n, count = 0;

  /* Frozen from the start, the table keeps 11 buckets: long chains. */
  g_hash_table_freeze (t);
  for (n = 1; n <= 500; n++)
    g_hash_table_insert (t, GINT_TO_POINTER (n), GINT_TO_POINTER (n % 7));
  g_hash_table_foreach (t, add, &visited);

  it = g_hash_iter_new (t);
  if (g_hash_iter_first (it, &key, &val))
    do
      {
        walked += GPOINTER_TO_INT (key) * 1000 + GPOINTER_TO_INT (val);
        count++;
      }
    while (g_hash_iter_next (it, &key, &val));
  if (count != 500 || walked != visited)
    {
      printf ("0 passed, 1 failed: walked %d entries, sum %ld, foreach sum %ld\n",
              count, walked, visited);
      return 1;
    }

  /* The compiler learns from the loop's own look at the size that it is as
   * the walk began: that must not spare the step its look at the chain.
   * The entry renamed is the third that has one after it in its chain. */
  g_log_set_handler ("bucketwalk", G_LOG_LEVEL_CRITICAL, on_report, NULL);
  count = 0;
  for (g_hash_iter_first (it, &key, &val); it->node;)
    {
      if (!g_hash_table_lookup_extended (t, key, NULL, NULL))
        count = -1000;
      if (it->node->next && ++count == 3)
        {
          g_hash_table_insert (t, GINT_TO_POINTER (5000), GINT_TO_POINTER (1));
          g_hash_table_remove (t, key);
        }
      if (it->size != it->hash->size)
        break;
      g_hash_iter_next (it, &key, &val);
    }
  if (count != 3 || !g_hash_iter_changed (it) || reports != 1)
    {
      printf ("0 passed, 1 failed: after a rename, %d handed out, changed %d, %d reports\n",
              count, g_hash_iter_changed (it), reports);
      return 1;
    }
  g_hash_iter_destroy (it);
  g_hash_table_destroy (t);
  printf ("1 passed, 0 failed\n");
  return 0;
}
