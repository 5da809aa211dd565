/*
 * Linked into GLib 1.2's own tests (hash-test.c, testglib.c) with
 *
 *	-Wl,--wrap=g_hash_table_foreach,--wrap=g_hash_table_foreach_remove,
 *	--wrap=g_hash_table_destroy,--wrap=g_hash_table_insert,
 *	--wrap=g_hash_table_remove
 *
 * so that their calls come here first.  Before every foreach,
 * foreach_remove and destroy, and after every 61st insert or remove, the
 * table is walked with the iterator, and the walk must yield exactly the
 * pairs, in the same order, that GLib's own foreach visits: foreach and
 * foreach_remove are checked on their own visits as they pass them on to
 * the test's callback.  A mismatch aborts the test; at its exit the number
 * of walks and entries checked is printed, and a test that checked no walk
 * fails.
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <glib.h>
#include <bucketwalk.h>

void __real_g_hash_table_foreach (GHashTable *t, GHFunc func, gpointer data);
guint __real_g_hash_table_foreach_remove (GHashTable *t, GHRFunc func, gpointer data);
void __real_g_hash_table_destroy (GHashTable *t);
void __real_g_hash_table_insert (GHashTable *t, gpointer key, gpointer value);
void __real_g_hash_table_remove (GHashTable *t, gconstpointer key);

#ifdef BUCKETWALK_NO_INLINE
#define PATH "the library's function"
#else
#define PATH "the inline step"
#endif

static gulong walks, entries, changes;

static void
mismatch (const char *what, const char *why, guint n)
{
  fprintf (stderr, "walk through %s %s, entry %u: %s\n",
           PATH, what, n, why);
  abort ();
}

/* A table's walk, and how far foreach's visits have come along it. */
typedef struct
{
  const char *what;
  gpointer *pairs;		/* key, value, key, value, ... */
  guint n, visited;
  GHFunc func;
  GHRFunc rfunc;
  gpointer data;
} Walk;

static void
walk (Walk *w, GHashTable *t, const char *what)
{
  guint size = g_hash_table_size (t);
  GHashIter *it = g_hash_iter_new (t);
  gpointer key, val;

  w->what = what;
  w->pairs = g_new (gpointer, 2 * size + 2);
  w->n = w->visited = 0;
  for (g_hash_iter_first (it, &key, &val); it->node; g_hash_iter_next (it, &key, &val))
    {
      if (w->n == size)
        mismatch (what, "the walk yields more entries than the table holds", w->n);
      w->pairs[2 * w->n] = key;
      w->pairs[2 * w->n + 1] = val;
      w->n++;
    }
  if (key || val)
    mismatch (what, "the end of the walk leaves a slot set", w->n);
  if (w->n != size)
    mismatch (what, "the walk yields fewer entries than the table holds", w->n);
  g_hash_iter_destroy (it);
  walks++;
  entries += w->n;
}

static void
visit (gpointer key, gpointer val, gpointer data)
{
  Walk *w = data;

  if (w->visited == w->n)
    mismatch (w->what, "foreach visits more entries than the walk yielded", w->visited);
  if (w->pairs[2 * w->visited] != key || w->pairs[2 * w->visited + 1] != val)
    mismatch (w->what, "foreach visits another pair here", w->visited);
  w->visited++;
  if (w->func)
    w->func (key, val, w->data);
}

static gboolean
visit_remove (gpointer key, gpointer val, gpointer data)
{
  Walk *w = data;

  visit (key, val, data);
  return w->rfunc (key, val, w->data);
}

static void
done (Walk *w)
{
  if (w->visited != w->n)
    mismatch (w->what, "foreach visits fewer entries than the walk yielded", w->visited);
  g_free (w->pairs);
}

/* A walk checked against foreach alone. */
static void
check (GHashTable *t, const char *what)
{
  Walk w;

  walk (&w, t, what);
  w.func = NULL;
  __real_g_hash_table_foreach (t, visit, &w);
  done (&w);
}

void
__wrap_g_hash_table_foreach (GHashTable *t, GHFunc func, gpointer data)
{
  Walk w;

  if (!t || !func)		/* GLib's own checks answer these */
    {
      __real_g_hash_table_foreach (t, func, data);
      return;
    }
  walk (&w, t, "before g_hash_table_foreach");
  w.func = func;
  w.data = data;
  __real_g_hash_table_foreach (t, visit, &w);
  done (&w);
}

guint
__wrap_g_hash_table_foreach_remove (GHashTable *t, GHRFunc func, gpointer data)
{
  Walk w;
  guint removed;

  if (!t || !func)
    return __real_g_hash_table_foreach_remove (t, func, data);
  walk (&w, t, "before g_hash_table_foreach_remove");
  w.rfunc = func;
  w.func = NULL;
  w.data = data;
  removed = __real_g_hash_table_foreach_remove (t, visit_remove, &w);
  done (&w);
  return removed;
}

void
__wrap_g_hash_table_destroy (GHashTable *t)
{
  if (t)
    check (t, "before g_hash_table_destroy");
  __real_g_hash_table_destroy (t);
}

void
__wrap_g_hash_table_insert (GHashTable *t, gpointer key, gpointer value)
{
  __real_g_hash_table_insert (t, key, value);
  if (t && ++changes % 61 == 0)
    check (t, "after g_hash_table_insert");
}

void
__wrap_g_hash_table_remove (GHashTable *t, gconstpointer key)
{
  __real_g_hash_table_remove (t, key);
  if (t && ++changes % 61 == 0)
    check (t, "after g_hash_table_remove");
}

static void
report (void)
{
  printf ("walks checked through %s: %lu walks, %lu entries, each as foreach visits them\n",
          PATH, walks, entries);
  if (walks == 0)
    {
      printf ("no walk was checked\n");
      fflush (stdout);
      _exit (1);
    }
}

static void __attribute__ ((constructor))
report_at_exit (void)
{
  atexit (report);
}
