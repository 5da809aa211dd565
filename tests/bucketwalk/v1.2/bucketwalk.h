/* bucketwalk.h as libbucketwalk 1.2 installed it, for the tests of programs
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
 * An iterator only reads its table.
 *
 * A table changed during a walk ends it, or the walk goes on exactly: it
 * never hands out an entry that is not in the table, nor one twice, and
 * never reads a node that GLib has taken back.  Before a step reads the
 * entry it stands on, it finds that entry again in its bucket's chain,
 * after entries with the same keys as when it got there, in a table of the
 * same size and count as when the walk began.  Where it does not, the step
 * returns null, as at the end, reports the change as a CRITICAL through
 * g_log, and g_hash_iter_changed (it) says so after the loop.  A change it
 * does not see leaves the walk exact: every entry that was in the table
 * throughout is handed out once.  What goes unseen: a new value for a key
 * (the walk hands out the current one); entries removed and inserted
 * between the same two steps, the count and the number of buckets then as
 * they were, where the chain up to the current entry keeps its keys (an
 * entry inserted ahead of the walk is handed out, one behind it is not);
 * a chain up to the current entry whose keys differ but have the same
 * fingerprint, which may then miss entries of that bucket or hand one out
 * twice: the fingerprint starts from the table's address, so that keys
 * chosen to collide would have to know it, and other keys collide about
 * once in 2^32 such changes on i386, 2^64 on x86_64; and a destroyed
 * table, whose memory is gone: no step may follow g_hash_table_destroy.
 *
 * GHashNode and GHashTable below are GLib 1.2's own private layout, which
 * the library reads directly; they must match the libglib-1.2.so.0 that
 * made the table.  Version 1.2 of this header needs libbucketwalk 1.2 or
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
#define BUCKETWALK_MINOR_VERSION 2

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
 * that the record may grow at its end.  The fields after node are what each
 * step compares the table with: since 1.1 its size and nnodes when the walk
 * began (nnodes is -1 while the iterator stands on no entry, -2 once a
 * change of the table has ended the walk), and since 1.2 a fingerprint of
 * the keys of node's chain from its head through node (0 on no entry). */
struct _GHashIter
{
  GHashTable *hash;
  gint i;
  GHashNode *node;
  gint size;
  gint nnodes;
  gulong chain;
};

/* TRUE when a change of the table ended the last walk of it, FALSE when the
 * walk ran to its end, or has not ended yet.  g_hash_iter_first clears it. */
#define g_hash_iter_changed(it) ((it)->nnodes == -2)

/* The fingerprint of the keys of a chain's first entries: h, that of the
 * entries before, with key k appended, starting for none from the table's
 * address, which keys chosen to give two chains one fingerprint would have
 * to know.  The library and the inline step below compute it alike. */
#ifdef __cplusplus
#define _G_HASH_ITER_MIX(h, k) ((h) * 0x5bd1e995UL + reinterpret_cast<gulong> (k))
#define _G_HASH_ITER_SEED(t) reinterpret_cast<gulong> (t)
#else
#define _G_HASH_ITER_MIX(h, k) ((h) * 0x5bd1e995UL + (gulong) (k))
#define _G_HASH_ITER_SEED(t) ((gulong) (t))
#endif

/* From how many buckets on, and how far ahead, a walk prefetches, in the
 * library and the inline step alike.  Smaller tables are in the caches
 * already, and a table with fewer entries than half its buckets is mostly
 * empty buckets, which the walk reads in order.  On the others each bucket
 * i that the walk passes, empty or not, prefetches the head of the chain of
 * bucket i + 2 * AHEAD, the second node of bucket i + AHEAD and the third
 * of bucket i + AHEAD / 2, each reached through a node that an earlier
 * bucket prefetched: a chain's first three nodes are on their way before
 * the walk gets there, and several misses are under way at once.  Of
 * distances 8 to 64 and two to five stages, measured on tables of 10^6 and
 * 4 * 10^6 entries, these cost least on the worst of them: more stages
 * gain where chains are long, and cost more than that where they are short
 * and the walk hardly waits on memory.  (The inline step on i386 prefetches
 * less: see there.) */
#define _G_HASH_ITER_PREFETCH_SIZE 262144
#define _G_HASH_ITER_PREFETCH_AHEAD 16
#define _G_HASH_ITER_PREFETCHES(size, nnodes) \
  ((size) >= _G_HASH_ITER_PREFETCH_SIZE && (nnodes) >= (size) >> 1)

#ifdef __GNUC__
/* The prefetches of bucket i, below size - 2 * AHEAD, of the bucket array
 * nodes (GNU C).  Where the bucket ahead is empty, or its chain too short,
 * the prefetch is of the bucket array itself: a prefetch of a null pointer
 * can cost as much as a miss. */
#define _G_HASH_ITER_PREFETCH(nodes, i)					\
  do									\
    {									\
      GHashNode *const *_far = &(nodes)[(i) + 2 * _G_HASH_ITER_PREFETCH_AHEAD]; \
      GHashNode *_ahead = (nodes)[(i) + _G_HASH_ITER_PREFETCH_AHEAD];	\
      GHashNode *_near = (nodes)[(i) + _G_HASH_ITER_PREFETCH_AHEAD / 2];	\
      const void *_head = *_far, *_second = *(_ahead ? &_ahead->next : _far); \
									\
      __builtin_prefetch (_head ? _head : _far);			\
      __builtin_prefetch (_second ? _second : _far);			\
      if (_near && (_near = _near->next) && (_near = _near->next))	\
        __builtin_prefetch (_near);					\
    }									\
  while (0)
#endif

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
 * table has changed since the walk began (see above), ends the walk in the
 * same way, and then logs a CRITICAL (unless G_DISABLE_CHECKS, see below):
 * a log handler may step the iterator, which stays at the end, or start a
 * new walk with g_hash_iter_first, which stands. */
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
 * report a change, after which the walk has ended, so a walk loop whose
 * body calls nothing keeps the iterator, the table and the caller's slots
 * in registers.  Each step still reads the current entry's chain from the
 * bucket's head, most often that head alone: what the compiler can prove
 * of the table's numbers is no proof that its chains are as they were.
 *
 * Both are GNU89 extern inline definitions, as GLib 1.2's own header makes
 * its inline functions: they are used for inlining only and never emitted,
 * so a call at -O0, the address of either function, and a declaration of
 * them in the caller's own code all name the library's functions.  An
 * optimising compiler always inlines them (clang would not, for their
 * size).  BUCKETWALK_INLINE_STEP is defined where the definitions are
 * present.  Define BUCKETWALK_NO_INLINE before including this header to
 * call the library's functions always.
 *
 * With G_DISABLE_CHECKS defined, GLib's switch for its own precondition
 * checks, the inline step does not compare the table with the iterator,
 * and a change goes unseen: a step then walks on through whatever the
 * table's nodes point at.  It still keeps the iterator's fingerprint, so
 * that the library's functions, which check unless the library itself was
 * built with G_DISABLE_CHECKS, may take over the walk: each of their
 * steps finds the current entry again, as every checked step does, and so
 * reads nothing that GLib has taken back.  What the unchecked steps walked
 * through stays unseen: a table that grew and shrank back meanwhile may
 * have had an entry handed out twice, or missed, with no report.
 */
#if defined (__GNUC__) && !defined (BUCKETWALK_NO_INLINE)
#define BUCKETWALK_INLINE_STEP 1

/* A null pointer and conversions to gint and gulong that C++ compilers do
 * not warn about. */
#ifdef __cplusplus
#define _G_HASH_ITER_GINT(e) static_cast<gint> (e)
#define _G_HASH_ITER_GULONG(e) static_cast<gulong> (e)
#if __cplusplus >= 201103L
#define _G_HASH_ITER_NULL nullptr
#else
#define _G_HASH_ITER_NULL __null
#endif
#else
#define _G_HASH_ITER_NULL 0
#define _G_HASH_ITER_GINT(e) ((gint) (e))
#define _G_HASH_ITER_GULONG(e) ((gulong) (e))
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

/* An optimising compiler always inlines the step, which its size would
 * keep clang from doing; without optimisation every step calls the
 * library. */
#ifdef __OPTIMIZE__
#define _G_HASH_ITER_INLINE __attribute__ ((__gnu_inline__, __always_inline__))
#else
#define _G_HASH_ITER_INLINE __attribute__ ((__gnu_inline__))
#endif

/* Ends the walk of it at bucket index i (a gint), with mark -1 for a walk
 * that ran out and -2 for one that a change ended: it stands on no entry,
 * and both slots are null. */
#define _G_HASH_ITER_END(iter, index, mark, k, v)	\
  ((iter)->i = (index),				\
   (iter)->node = _G_HASH_ITER_NULL,		\
   (iter)->nnodes = (mark),			\
   (iter)->chain = 0,				\
   *(k) = _G_HASH_ITER_NULL,			\
   *(v) = _G_HASH_ITER_NULL)

/* Starts the walk itself rather than calling the library, so that the
 * caller's slots can stay in registers (and because clang inlines no
 * definition that calls its own symbol). */
extern __inline__ _G_HASH_ITER_INLINE gpointer
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
        it->chain = _G_HASH_ITER_MIX (_G_HASH_ITER_SEED (t), n->key);
        *key = n->key;
        *val = n->value;
        return *key;
      }
  _G_HASH_ITER_END (it, _G_HASH_ITER_GINT (size > 0 ? size : 0), -1, key, val);
  return _G_HASH_ITER_NULL;
}

extern __inline__ _G_HASH_ITER_INLINE gpointer
g_hash_iter_next (GHashIter *it, gpointer *key, gpointer *val)
{
  GHashNode *n = it->node, *x;
  /* The table is loaded here on every step, not only where the next bucket
   * is sought: a load that every step makes is one that the compiler can
   * hoist out of the walk loop, so that it is made once per walk. */
  GHashTable *t = it->hash;
  GHashNode **nodes = t->nodes;
  glong i = it->i;
  gulong chain;

#ifndef G_DISABLE_CHECKS
  /* The table's count, as the walk began, is the test for an iterator on
   * no entry too: there nnodes is negative, which no table's count is. */
  if (__builtin_expect (t->nnodes != it->nnodes, 0))
    {
      if (n)
        goto changed;
      *key = _G_HASH_ITER_NULL;
      *val = _G_HASH_ITER_NULL;
      return _G_HASH_ITER_NULL;
    }
  /* A resize that left the count as it was: a thaw. */
  if (__builtin_expect (t->size != it->size, 0))
    goto changed;
  /* Anything may have been done to the table since the last step.  The node
   * the walk stands on is read only once it has been found again in its
   * chain, after entries with the same keys as before, and with its own key
   * as before; most often it is the chain's head.  The bucket is read only
   * below the size, which steps that did not check may have left behind. */
  if (__builtin_expect (_G_HASH_ITER_GULONG (i) >= _G_HASH_ITER_GULONG (t->size), 0))
    goto changed;
  chain = _G_HASH_ITER_SEED (t);
  for (x = nodes[i];; x = x->next)
    {
      if (__builtin_expect (!x, 0))
        goto changed;
      chain = _G_HASH_ITER_MIX (chain, x->key);
      if (x == n)
        break;
    }
  if (__builtin_expect (chain != it->chain, 0))
    goto changed;
#else
  if (__builtin_expect (!n, 0))
    {
      /* On no entry: stay there and read nothing. */
      *key = _G_HASH_ITER_NULL;
      *val = _G_HASH_ITER_NULL;
      return _G_HASH_ITER_NULL;
    }
  chain = it->chain;
#endif
  x = n->next;
  if (_G_HASH_ITER_EVEN (!x))
    {
      /* On to the next bucket that holds an entry.  A long index needs no
       * widening on x86_64; i stays below size, a gint. */
      glong size = t->size;

      /* Most often the next bucket holds an entry.  A run of empty ones
       * is scanned two buckets a turn: a loop of one a turn is so short
       * that its speed depends on where the compiler happens to place it
       * (across a 32-byte boundary it takes twice as long). */
      if (__builtin_expect (++i >= size, 0))
        goto end;
      if (__builtin_expect (!(x = nodes[i]), 0))
        {
#ifndef __i386__
          /* A large table's empty buckets prefetch ahead one by one, and
           * the one that holds an entry below (not on i386: see there). */
          if (__builtin_expect (size >= _G_HASH_ITER_PREFETCH_SIZE, 0)
              && _G_HASH_ITER_PREFETCHES (size, t->nnodes))
            do
              {
                if (__builtin_expect (i < size - 2 * _G_HASH_ITER_PREFETCH_AHEAD, 1))
                  _G_HASH_ITER_PREFETCH (nodes, i);
                if (__builtin_expect (++i >= size, 0))
                  goto end;
              }
            while (!(x = nodes[i]));
          else
#endif
            for (;;)
              {
                if (__builtin_expect (++i >= size, 0))
                  goto end;
                if ((x = nodes[i]))
                  break;
                if (__builtin_expect (++i >= size, 0))
                  goto end;
                if ((x = nodes[i]))
                  break;
              }
        }
      it->i = _G_HASH_ITER_GINT (i);
      chain = _G_HASH_ITER_SEED (t);
      /* A large table's nodes are not in the caches, and a walk would wait
       * for one miss after the other (see _G_HASH_ITER_PREFETCH_AHEAD).
       * No bucket past the last is read; a node read is one of the
       * table's now. */
#ifndef __i386__
      if (__builtin_expect (size >= _G_HASH_ITER_PREFETCH_SIZE, 0)
          && _G_HASH_ITER_PREFETCHES (size, t->nnodes) && i < size - 2 * _G_HASH_ITER_PREFETCH_AHEAD)
        _G_HASH_ITER_PREFETCH (nodes, i);
#else
      /* With i386's few registers, the prefetches of every bucket passed
       * would cost every step of every table 0.5 to 7 instructions: the
       * step into a bucket prefetches only the head and second node ahead
       * of the bucket it arrives at. */
      if (__builtin_expect (size >= _G_HASH_ITER_PREFETCH_SIZE, 0)
          && i < size - 2 * _G_HASH_ITER_PREFETCH_AHEAD)
        {
          GHashNode *ahead = nodes[i + _G_HASH_ITER_PREFETCH_AHEAD];

          __builtin_prefetch (nodes[i + 2 * _G_HASH_ITER_PREFETCH_AHEAD]);
          if (ahead)
            __builtin_prefetch (ahead->next);
        }
#endif
    }
  {
    gpointer k = x->key, v = x->value;

    it->node = x;
    it->chain = _G_HASH_ITER_MIX (chain, k);
    *key = k;
    *val = v;
    return *key;
  }

end:
  _G_HASH_ITER_END (it, _G_HASH_ITER_GINT (i), -1, key, val);
  return _G_HASH_ITER_NULL;
#ifndef G_DISABLE_CHECKS
changed:
  /* Out of the way of the walk, which ends before the report, so that a
   * log handler may step the iterator (it stays at the end, silently) or
   * start another walk with g_hash_iter_first (which stands). */
  {
    gint nnodes = t->nnodes, size = t->size, then_nnodes = it->nnodes, then_size = it->size;

    _G_HASH_ITER_END (it, size > 0 ? size : 0, -2, key, val);
    g_log ("bucketwalk", G_LOG_LEVEL_CRITICAL,
           "g_hash_iter_next: the table changed during the walk (%d entries in %d buckets, "
           "%d in %d when the walk began); the walk ends here",
           nnodes, size, then_nnodes, then_size);
    return _G_HASH_ITER_NULL;
  }
#endif
}

#endif /* the inline step */

#ifdef __cplusplus
}
#endif

#endif /* BUCKETWALK_H */
