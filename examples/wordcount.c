/*
 * wordcount - count the words of a file, or of standard input, in a GLib
 * hash table and print each word with its count, walking the table with
 * libbucketwalk's iterator.  A word is a run of bytes other than white space.
 * The words come out in the table's own order: bucket by bucket.  With -m,
 * the words that occur fewer than MIN times are removed from the table
 * first.
 *
 *	wordcount [-m MIN] [FILE]
 */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <glib.h>
#include <bucketwalk.h>

/* Reads the next word of f into *buf (grown with g_malloc as needed);
 * returns its length, or 0 at the end of the input. */
static gulong
next_word (FILE *f, gchar **buf, gulong *cap)
{
  gulong len = 0;
  int c;

  while ((c = getc (f)) != EOF && isspace (c))
    ;
  for (; c != EOF && !isspace (c); c = getc (f))
    {
      if (len + 1 >= *cap)
        {
          gchar *bigger = g_malloc (*cap * 2);
          memcpy (bigger, *buf, len);
          g_free (*buf);
          *buf = bigger;
          *cap *= 2;
        }
      (*buf)[len++] = (gchar) c;
    }
  (*buf)[len] = '\0';
  return len;
}

/* Removes the words that occur fewer than min times from counts, and frees
 * them.  A walk hands out nothing more once its table has changed, so it
 * collects the words, and they are removed after it, the table frozen
 * meanwhile, so that it resizes once, not at each removal. */
static void
remove_rare (GHashTable *counts, guint min)
{
  gchar **rare = g_new (gchar *, g_hash_table_size (counts) + 1);
  GHashIter *it = g_hash_iter_new (counts);
  gpointer key, val;
  guint n = 0, j;

  if (g_hash_iter_first (it, &key, &val))
    do
      if (GPOINTER_TO_UINT (val) < min)
        rare[n++] = key;
    while (g_hash_iter_next (it, &key, &val));
  g_hash_iter_destroy (it);
  g_hash_table_freeze (counts);
  for (j = 0; j < n; j++)
    {
      g_hash_table_remove (counts, rare[j]);
      g_free (rare[j]);
    }
  g_hash_table_thaw (counts);
  g_free (rare);
}

int
main (int argc, char **argv)
{
  FILE *f = stdin;
  GHashTable *counts;
  GHashIter *it;
  gpointer key, val;
  gulong cap = 64;
  gchar *word, *end;
  const char *name = argv[0];
  guint min = 0;
  int status = 0;

  if (argc > 2 && strcmp (argv[1], "-m") == 0)
    {
      min = (guint) strtoul (argv[2], &end, 10);
      if (*argv[2] == '\0' || *end != '\0')
        {
          fprintf (stderr, "usage: %s [-m MIN] [FILE]\n", name);
          return 1;
        }
      argc -= 2;
      argv += 2;
    }
  if (argc > 1 && (f = fopen (argv[1], "r")) == NULL)
    {
      fprintf (stderr, "%s: %s: %s\n", name, argv[1], strerror (errno));
      return 1;
    }

  counts = g_hash_table_new (g_str_hash, g_str_equal);
  word = g_malloc (cap);
  while (next_word (f, &word, &cap) > 0)
    {
      guint n = GPOINTER_TO_UINT (g_hash_table_lookup (counts, word));
      if (n == 0)
        g_hash_table_insert (counts, g_strdup (word), GUINT_TO_POINTER (1));
      else
        g_hash_table_insert (counts, word, GUINT_TO_POINTER (n + 1));
    }
  if (ferror (f))
    {
      fprintf (stderr, "%s: %s\n", name, strerror (errno));
      status = 1;
    }
  g_free (word);
  if (min > 1)
    remove_rare (counts, min);

  it = g_hash_iter_new (counts);
  if (g_hash_iter_first (it, &key, &val))
    do
      printf ("%s %u\n", (gchar *) key, GPOINTER_TO_UINT (val));
    while (g_hash_iter_next (it, &key, &val));

  /* The table keeps the first copy of each word: free those, then the table. */
  if (g_hash_iter_first (it, &key, &val))
    do
      g_free (key);
    while (g_hash_iter_next (it, &key, &val));
  g_hash_iter_destroy (it);
  g_hash_table_destroy (counts);

  if (f != stdin)
    fclose (f);
  if (fflush (stdout) == EOF)
    {
      fprintf (stderr, "%s: %s\n", name, strerror (errno));
      status = 1;
    }
  return status;
}
