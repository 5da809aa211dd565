/* bucketwalk.h as libbucketwalk 1.1 installed it, for the tests of programs
 * built against it, which must run unchanged with today's library. */
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
 * That loop stops at the first entry whose key is null.  A table that may
 * hold one (GINT_TO_POINTER (0) as a key, say) needs this loop, which ends
 * when the iterator stands on no entry:
 *
 *	for (g_hash_iter_first (it, &key, &val); it->node;
 *	     g_hash_iter_next (it, &key, &val))
 *		use (key, val);
 *
 * The walk visits the buckets in ascending order and each bucket's chain
 * from its head: the table's own order, neither insertion nor key order.
 * An iterator only reads its table.  A table changed during a walk (an
 * entry inserted or removed, the table resized) ends the walk: the step
 * that finds the change returns null, as at the end, and reports it as a
 * CRITICAL through g_log.  A destroyed table cannot be found out: no step
 * may follow g_hash_table_destroy until g_hash_iter_first starts a walk of
 * another table.
 *
 * GHashNode and GHashTable below are GLib 1.2's own private layout, which
 * the library reads directly; they must match the libglib-1.2.so.0 that
 * made the table.  Version 1.1 of this header needs libbucketwalk 1.1 or
 * later.
 */
#ifndef BUCKETWALK_H
#define BUCKETWALK_H

#include <glib.h>

/* GLib 2 declares a GHashTable of its own with another layout, which this
 * header would read as GLib 1.2's. */
#if !defined (GLIB_MAJOR_VERSION) || !defined (GLIB_MINOR_VERSION)
#error "bucketwalk.h needs GLib 1.2, and this glib.h does not say which GLib it is: take the flags from glib-config --cflags or pkg-config --cflags glib"
#elif GLIB_MAJOR_VERSION != 1 || GLIB_MINOR_VERSION != 2
#error "bucketwalk.h needs GLib 1.2, and this glib.h is another GLib's: take the flags from glib-config --cflags or pkg-config --cflags glib, not glib-2.0"
#endif

#define BUCKETWALK_MAJOR_VERSION 1
#define BUCKETWALK_MINOR_VERSION 1

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
 * (null when it stands on none).  Allocated by g_hash_iter_new only, so
 * that the record may grow at its end.  Since 1.1 it ends with what each
 * step compares the table with: its size and nnodes when the walk began
 * (nnodes is -1 while the iterator stands on no entry). */
struct _GHashIter
{
  GHashTable *hash;
  gint i;
  GHashNode *node;
  gint size;
  gint nnodes;
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
 * whose key is null also returns null, with its value in *val.  When the
 * table has changed since the walk began, ends the walk in the same way and
 * logs a CRITICAL (unless G_DISABLE_CHECKS, see below). */
gpointer g_hash_iter_next (GHashIter *it, gpointer *key, gpointer *val);

/* Frees the iterator (null is ignored); the table is not touched. */
void g_hash_iter_destroy (GHashIter *it);

/* ---- The inline step -------------------------------------------------
 *
 * GNU C callers (gcc, clang) get g_hash_iter_first and g_hash_iter_next as
 * inline definitions, so that a walk costs no call per entry: along a
 * chain, on through the following buckets, the end of the walk, an
 * iterator that stands on no entry, and a table that has changed.  Results,
 * slots, iterator and report are the same as with the library's functions,
 * which stay the reference, in every case.  Neither makes a call but to
 * report a change, after which the walk has ended: so a walk loop whose body
 * calls nothing keeps the iterator, the table and the caller's slots in
 * registers, and the compiler can see that nothing changes the table there
 * and drop the checks.
 *
 * Both are GNU89 extern inline definitions, as GLib 1.2's own header makes
 * its inline functions: they are used for inlining only and never emitted,
 * so a call that the compiler does not inline (at -O0, say), the address of
 * either function, and a declaration of them in the caller's own code all
 * name the library's functions.  BUCKETWALK_INLINE_STEP is defined where
 * the definitions are present; whether a call is inlined is the compiler's
 * choice.  Define BUCKETWALK_NO_INLINE before including this header to call
 * the library's functions always.
 *
 * With G_DISABLE_CHECKS defined, GLib's switch for its own precondition
 * checks, the inline step does not compare the table with the iterator,
 * and a change goes unseen: a step then walks on through whatever the
 * table's nodes point at.  The library's functions check unless the
 * library itself was built with G_DISABLE_CHECKS.
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

/* Ends the walk of it at bucket index i (a gint): it stands on no entry,
 * and both slots are null. */
#define _G_HASH_ITER_END(iter, index, k, v)	\
  ((iter)->i = (index),				\
   (iter)->node = _G_HASH_ITER_NULL,		\
   (iter)->nnodes = -1,				\
   *(k) = _G_HASH_ITER_NULL,			\
   *(v) = _G_HASH_ITER_NULL)

/* Starts the walk itself rather than calling the library, so that the
 * caller's slots can stay in registers (and because clang inlines no
 * definition that calls its own symbol). */
extern __inline__ __attribute__ ((__gnu_inline__)) gpointer
g_hash_iter_first (GHashIter *it, gpointer *key, gpointer *val)
{
  GHashTable *t = it->hash;
  GHashNode **nodes = t->nodes;
  glong i, size = t->size;
  GHashNode *n;

  it->size = t->size;
  it->nnodes = t->nnodes;
  /* A bucket is read only once its index is known to be below size. */
  for (i = 0; i < size; i++)
    if ((n = nodes[i]))
      {
        it->i = _G_HASH_ITER_GINT (i);
        it->node = n;
        *key = n->key;
        *val = n->value;
        return *key;
      }
  _G_HASH_ITER_END (it, _G_HASH_ITER_GINT (size > 0 ? size : 0), key, val);
  return _G_HASH_ITER_NULL;
}

extern __inline__ __attribute__ ((__gnu_inline__)) gpointer
g_hash_iter_next (GHashIter *it, gpointer *key, gpointer *val)
{
  GHashNode *n = it->node;
  glong i;
  /* The table is loaded here on every step, not only where the next bucket
   * is sought: a load that every step makes is one that the compiler can
   * hoist out of the walk loop, so that it is made once per walk. */
  GHashTable *t = it->hash;

#ifndef G_DISABLE_CHECKS
  /* The table's count, as the walk began, is the test for an iterator on
   * no entry too: there nnodes is -1, which no table's count is. */
  if (__builtin_expect (t->nnodes != it->nnodes, 0))
    {
      if (n)
        goto changed;
      *key = _G_HASH_ITER_NULL;
      *val = _G_HASH_ITER_NULL;
      return _G_HASH_ITER_NULL;
    }
#else
  if (__builtin_expect (!n, 0))
    {
      /* On no entry: stay there and read nothing. */
      *key = _G_HASH_ITER_NULL;
      *val = _G_HASH_ITER_NULL;
      return _G_HASH_ITER_NULL;
    }
#endif
  n = n->next;
  if (_G_HASH_ITER_EVEN (!n))
    {
      /* On to the next bucket that holds an entry.  A long index needs no
       * widening on x86_64; i stays below size, a gint. */
      GHashNode **nodes = t->nodes;
      glong size = t->size;

      i = it->i;
#ifndef G_DISABLE_CHECKS
      /* A resize that left the count as it was: a thaw. */
      if (__builtin_expect (size != it->size, 0))
        goto changed;
#endif
      /* Most often the next bucket holds an entry.  A run of empty ones
       * is scanned two buckets a turn: a loop of one a turn is so short
       * that its speed depends on where the compiler happens to place it
       * (across a 32-byte boundary it takes twice as long). */
      if (__builtin_expect (++i >= size, 0))
        goto end;
      if (__builtin_expect (!(n = nodes[i]), 0))
        for (;;)
          {
            if (__builtin_expect (++i >= size, 0))
              goto end;
            if ((n = nodes[i]))
              break;
            if (__builtin_expect (++i >= size, 0))
              goto end;
            if ((n = nodes[i]))
              break;
          }
      it->i = _G_HASH_ITER_GINT (i);
    }
  it->node = n;
  *key = n->key;
  *val = n->value;
  return *key;

end:
  _G_HASH_ITER_END (it, _G_HASH_ITER_GINT (i), key, val);
  return _G_HASH_ITER_NULL;
#ifndef G_DISABLE_CHECKS
changed:
  /* Out of the way of the walk: the report reads again what it needs, and
   * the walk ends after it, so that the compiler knows how it ends. */
  __asm__ __volatile__ ("" ::: "memory");
  t = it->hash;
  g_log ("bucketwalk", G_LOG_LEVEL_CRITICAL,
         "g_hash_iter_next: the table changed during the walk (%d entries in %d buckets, "
         "%d in %d when the walk began); the walk ends here",
         t->nnodes, t->size, it->nnodes, it->size);
  _G_HASH_ITER_END (it, t->size, key, val);
  return _G_HASH_ITER_NULL;
#endif
}

#endif /* the inline step */

#ifdef __cplusplus
}
#endif

#endif /* BUCKETWALK_H */
