/* A client as old C code writes it: the header compiles as C89 (pedantic
 * with the stand-in's glib.h), the client declares the library's functions
 * again, and a walk sees every entry of a table.  header_check.sh compiles
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
  g_hash_iter_destroy (it);
  g_hash_table_destroy (t);

  if (count != 500 || walked != visited)
    {
      printf ("0 passed, 1 failed: walked %d entries, sum %ld, foreach sum %ld\n",
              count, walked, visited);
      return 1;
    }
  printf ("1 passed, 0 failed\n");
  return 0;
}
