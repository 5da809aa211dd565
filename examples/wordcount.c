/*
 * wordcount - count the words of a file, or of standard input, in a GLib
 * hash table and print each word with its count, walking the table with
 * libbucketwalk's iterator.  A word is a run of bytes other than white space.
 * The words come out in the table's own order: bucket by bucket.
 *
 *	wordcount [FILE]
 */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
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

int
main (int argc, char **argv)
{
  FILE *f = stdin;
  GHashTable *counts;
  GHashIter *it;
  gpointer key, val;
  gulong cap = 64;
  gchar *word;
  int status = 0;

  if (argc > 1 && (f = fopen (argv[1], "r")) == NULL)
    {
      fprintf (stderr, "%s: %s: %s\n", argv[0], argv[1], strerror (errno));
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
      fprintf (stderr, "%s: %s\n", argv[0], strerror (errno));
      status = 1;
    }
  g_free (word);

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
      fprintf (stderr, "%s: %s\n", argv[0], strerror (errno));
      status = 1;
    }
  return status;
}
