/* bucketwalk.h as libbucketwalk 1.0 installed it (but for one sentence of a
 * comment, which claimed more than the header could), for the tests of
 * programs built against it, which must run unchanged with today's library. */
/*
 * bucketwalk.h - an external iterator over GLib 1.2 hash tables
 *
 *	GHashIter *it = g_hash_iter_new (table);
 *	gpointer key, val;
 *
 *	if (g_hash_iter_first (it, &key, &val))
 *		do
 *			use (key, val);
 *		while (g_hash_iter_next (it, &key, &val));
 *	g_hash_iter_destroy (it);
 *
 * In a table that may hold a null key a null result does not mean the end,
 * since such an entry returns null too: the walk has ended when it->node
 * is null.
 *
 * The walk visits the buckets in ascending order and each bucket's chain
 * from its head: the table's own order, neither insertion nor key order.
 * An iterator only reads its table, and stays valid only while the table is
 * not changed (no insert, remove, thaw or destroy) between g_hash_iter_new
 * or the last g_hash_iter_first and the last g_hash_iter_next.
 *
 * The records below are GLib 1.2's own private layout, which the library
 * reads directly; they must match the libglib-1.2.so.0 that made the table.
 */
#ifndef BUCKETWALK_H
#define BUCKETWALK_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _GHashNode GHashNode;
typedef struct _GHashIter GHashIter;

/* One entry of a table, a link in the chain of its bucket. */
struct _GHashNode
{
  gpointer key;
  gpointer value;
  GHashNode *next;		/* null at the end of the chain */
};

/* The body of GLib 1.2's GHashTable, field for field. */
struct _GHashTable
{
  gint size;			/* number of buckets */
  gint nnodes;
  guint frozen;
  GHashNode **nodes;		/* size chain heads; null for an empty bucket */
  GHashFunc hash_func;
  GCompareFunc key_compare_func;
};

/* An iterator: the table, the bucket index, and the entry it stands on
 * (null when it stands on none).  Allocated by g_hash_iter_new only. */
struct _GHashIter
{
  GHashTable *hash;
  gint i;
  GHashNode *node;
};

/* Returns a new iterator on t, already standing on its first entry (if
 * any), to be freed with g_hash_iter_destroy; null when t is null. */
GHashIter *g_hash_iter_new (GHashTable *t);

/* (Re)starts the walk: stores the first entry's key and value in *key and
 * *val and returns *key as read back after both stores; stores null in both
 * and returns null when the table has no entry. */
gpointer g_hash_iter_first (GHashIter *it, gpointer *key, gpointer *val);

/* Moves to the next entry: stores its key and value in *key and *val and
 * returns *key as read back after both stores; stores null in both and
 * returns null at the end of the walk, and on every later call.  An entry
 * whose key is null also returns null, with its value in *val. */
gpointer g_hash_iter_next (GHashIter *it, gpointer *key, gpointer *val);

/* Frees the iterator (null is ignored); the table is not touched. */
void g_hash_iter_destroy (GHashIter *it);

/* ---- The inline step -------------------------------------------------
 *
 * GNU C callers (gcc, clang) get g_hash_iter_next as an inline step, so that
 * a walk costs no call per entry: along a chain, on through the following
 * buckets, the end of the walk, and an iterator that stands on no entry.
 * Results, slots and iterator are the same as with the library's function,
 * which stays the reference, in every case.
 *
 * A walk loop without any call lets the compiler keep the iterator's node
 * and table in registers from one step to the next.  For the caller's slots
 * to stay in registers too, g_hash_iter_first hands the library slots of its
 * own and copies them to the caller's.
 *
 * Both are GNU89 extern inline definitions, as GLib 1.2's own header makes
 * its inline functions: they are used for inlining only and never emitted,
 * so a call that is not inlined (at -O0, say), the address of either
 * function, and a declaration of them in the caller's own code all name the
 * library's functions.  BUCKETWALK_INLINE_STEP is defined where they are
 * present.  Define BUCKETWALK_NO_INLINE before including this header to call
 * the library's functions always.
 */
#if defined (__GNUC__) && !defined (BUCKETWALK_NO_INLINE)
#define BUCKETWALK_INLINE_STEP 1

/* A null pointer and a conversion to gint that C++ compilers do not warn
 * about. */
#ifdef __cplusplus
#define _G_HASH_ITER_GINT(e) static_cast<gint> (e)
#if __cplusplus >= 201103L
#define _G_HASH_ITER_NULL nullptr
#else
#define _G_HASH_ITER_NULL __null
#endif
#else
#define _G_HASH_ITER_NULL 0
#define _G_HASH_ITER_GINT(e) ((gint) (e))
#endif

/* A chain ends as often as not.  Told so, GCC gives the step along a chain
 * and the step into a bucket each its own copy of the code that hands the
 * entry out, which saves the latter a jump. */
#if defined (__has_builtin)
#if __has_builtin (__builtin_expect_with_probability)
#define _G_HASH_ITER_EVEN(c) __builtin_expect_with_probability ((c), 1, 0.5)
#endif
#endif
#ifndef _G_HASH_ITER_EVEN
#define _G_HASH_ITER_EVEN(c) (c)
#endif

/* The library's g_hash_iter_first under another name, for the inline
 * definition below to call. */
extern gpointer _g_hash_iter_first_call (GHashIter *it, gpointer *key, gpointer *val)
  __asm__ ("g_hash_iter_first");

/* Calls the library's g_hash_iter_first on slots of its own.  The copies
 * are written in the library's order, key first, and the key slot is read
 * back, so that one slot for both holds and returns the value, as with the
 * call. */
extern __inline__ __attribute__ ((__gnu_inline__)) gpointer
g_hash_iter_first (GHashIter *it, gpointer *key, gpointer *val)
{
  gpointer k, v;

  _g_hash_iter_first_call (it, &k, &v);
  *key = k;
  *val = v;
  return *key;
}

extern __inline__ __attribute__ ((__gnu_inline__)) gpointer
g_hash_iter_next (GHashIter *it, gpointer *key, gpointer *val)
{
  GHashNode *n = it->node;
  GHashTable *t;

  if (__builtin_expect (!n, 0))
    {
      /* On no entry: stay there and read nothing. */
      *key = _G_HASH_ITER_NULL;
      *val = _G_HASH_ITER_NULL;
      return _G_HASH_ITER_NULL;
    }
  /* The table is loaded here on every step, not only where the next bucket
   * is sought: a load that every step makes is one that the compiler can
   * hoist out of the walk loop, so that it is made once per walk. */
  t = it->hash;
  n = n->next;
  if (_G_HASH_ITER_EVEN (!n))
    {
      /* On to the next bucket that holds an entry.  A long index needs no
       * widening on x86_64; i stays below size, a gint. */
      GHashNode **nodes = t->nodes;
      glong size = t->size;
      glong i = it->i;

      do
        if (__builtin_expect (++i >= size, 0))
          {
            /* The end of the walk. */
            it->i = _G_HASH_ITER_GINT (i);
            it->node = _G_HASH_ITER_NULL;
            *key = _G_HASH_ITER_NULL;
            *val = _G_HASH_ITER_NULL;
            return _G_HASH_ITER_NULL;
          }
      while (__builtin_expect (!(n = nodes[i]), 0));
      it->i = _G_HASH_ITER_GINT (i);
    }
  it->node = n;
  *key = n->key;
  *val = n->value;
  return *key;
}

#endif /* the inline step */

#ifdef __cplusplus
}
#endif

#endif /* BUCKETWALK_H */
