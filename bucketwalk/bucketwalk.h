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
 * An iterator only reads its table.  To find and hand out an entry, a step
 * reads the bucket array and at most four nodes (and, in a large table,
 * the first nodes of chains ahead, to prefetch them): a walk costs time in
 * proportion to the table's buckets and entries, however long its chains.
 *
 * A table changed during a walk ends it, or the walk goes on exactly, but
 * for one case below.  Whatever GLib calls a program makes between two
 * steps, on this table or others, short of destroying this one, the next
 * step either reports the change, or goes on exactly: it hands out only
 * entries that are in the table, with their current values, none twice,
 * and every entry that was in the table throughout is handed out.  A step
 * that reports returns null, as at the end, and logs a CRITICAL through
 * g_log; g_hash_iter_changed (it) says so after the loop.  A step reports
 * any change of the table's count or number of buckets.  Otherwise:
 *  - from an entry that was the last of its chain when handed out, it goes
 *    on from the next bucket, and reads nothing of that entry;
 *  - from one of the first three entries of a chain, it finds the entry
 *    again from its bucket's head, after entries with the keys they had,
 *    with its own key and its next as they were, and reports anything
 *    else.  It compares the keys themselves, so that no keys can pass for
 *    others;
 *  - from an entry further down, it finds only that entry's node as it
 *    was handed out, with its key and its next.
 * The case: between two steps from an entry further down than the third of
 * its chain (and not its last), calls that leave that node with its key
 * and next, and the table's count and number of buckets as they were, go
 * unseen, and the walk goes on from that next node, wherever GLib has put
 * it since.  It counts the entries it hands out from there as further down
 * than the third too, though removals before them may have brought them
 * nearer the chain's head: the case holds for them as well.  Such calls
 * remove as many entries as they insert (or resize the table and back).
 * Where the next node is still the chain's, entries of the chain before
 * the current one that they removed and inserted again are handed out
 * again, and entries that a resize and one back moved within the chain may
 * be missed or handed out again.  Where they removed the current entry's
 * next and then the current entry, the walk follows that next node: down
 * GLib's list of free nodes, handing out entries that GLib has taken back
 * as they were when removed (their keys perhaps freed), or down the chain,
 * of this table or another, that a later insertion gave the node to,
 * handing out that chain's entries, until the list or chain ends; then it
 * goes on from this table's next bucket, and has missed the rest of the
 * walked chain.  A destroyed table is out of reach: no step may follow
 * g_hash_table_destroy.  To remove entries that a walk picks out, collect
 * them during the walk and remove them after it (bucketwalk(3) shows how),
 * or use g_hash_table_foreach_remove.
 *
 * GHashNode and GHashTable below are GLib 1.2's own private layout, which
 * the library reads directly; they must match the libglib-1.2.so.0 that
 * made the table.  Version 1.3 of this header needs libbucketwalk 1.3 or
 * later: it binds a program's calls to the library's functions of version
 * BUCKETWALK_1.3 (below).
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
#define BUCKETWALK_MINOR_VERSION 3

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
 * that the record may grow at its end.  The fields after node are the
 * walk's own, for the steps to compare the table with (see "A changed
 * table" above): the table's size and nnodes when the walk began (nnodes
 * is -1 while the iterator stands on no entry, -2 once a change of the
 * table has ended the walk), and what the walk knows of the entry it
 * stands on.  chain is 0 where that entry was the last of its chain when
 * it was handed out, and its next otherwise, with the entry's place in
 * its two low bits (nodes lie at addresses that are multiples of 4): 0 for
 * the chain's head, 1 for the second entry, 2 for the third, with keys the
 * keys of the chain through it, and 3 for one further down, with far the
 * node itself and keys[0] its key. */
struct _GHashIter
{
  GHashTable *hash;
  gint i;
  GHashNode *node;
  gint size;
  gint nnodes;
  gulong chain;
  gpointer keys[3];
  GHashNode *far;
};

/* TRUE when a change of the table ended the last walk of it, FALSE when the
 * walk ran to its end, or has not ended yet.  g_hash_iter_first clears it. */
#define g_hash_iter_changed(it) ((it)->nnodes == -2)

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
 * and the walk hardly waits on memory.  (A step without checks prefetches
 * only where it passes an empty bucket: see there.) */
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
 * same way, and then logs a CRITICAL: the walk stays ended after the log
 * handler, whatever the handler does with the iterator (but destroy it),
 * so that no loop goes on from there; after the loop, g_hash_iter_first
 * starts again. */
gpointer g_hash_iter_next (GHashIter *it, gpointer *key, gpointer *val);

/* Frees the iterator (null is ignored); the table is not touched. */
void g_hash_iter_destroy (GHashIter *it);

/* ---- The step ----------------------------------------------------------
 *
 * GNU C callers (gcc, clang) get g_hash_iter_first and g_hash_iter_next as
 * inline definitions, so that a walk costs no call per entry.  The library's
 * own g_hash_iter_first and g_hash_iter_next are these definitions compiled
 * out of line, so the two are alike in every case by construction.
 * Neither makes a call but to report a change, after which the walk has
 * ended, so a walk loop whose body calls nothing keeps the iterator, the
 * table and the caller's slots in registers.
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
 * The checks are the library's: they stay whatever the program defines,
 * G_DISABLE_CHECKS included, as GLib 2's iterator keeps its own.  A
 * program that wants the walk without them defines
 * BUCKETWALK_DISABLE_CHECKS before including this header: its inline steps
 * then compare nothing and report nothing, and walk on through whatever
 * the table's nodes point at, GLib's list of free nodes among them, as
 * GLib's own loops do.  A checked step (the library's, or another file's)
 * may take over such a walk: it reads nothing but the table's buckets and
 * the nodes it reaches from them, finds the current entry again from its
 * bucket's head, however far down, and goes on from there, or reports.
 * Where checked steps and steps without checks take turns, a checked one
 * may report a table that has not changed, and each that takes over reads
 * the chain from its head: such a walk of long chains costs time that grows
 * with the square of their length.
 */

/* A null pointer and conversions that C++ compilers do not warn about. */
#ifdef __cplusplus
#define _G_HASH_ITER_GINT(e) static_cast<gint> (e)
#define _G_HASH_ITER_WORD(p) reinterpret_cast<gulong> (p)
#define _G_HASH_ITER_NODE(w) reinterpret_cast<GHashNode *> (w)
#define _G_HASH_ITER_TO(type, e) static_cast<type> (e)
#if __cplusplus >= 201103L
#define _G_HASH_ITER_NULL nullptr
#else
#define _G_HASH_ITER_NULL __null
#endif
#else
#define _G_HASH_ITER_NULL 0
#define _G_HASH_ITER_GINT(e) ((gint) (e))
#define _G_HASH_ITER_WORD(p) ((gulong) (p))
#define _G_HASH_ITER_NODE(w) ((GHashNode *) (w))
#define _G_HASH_ITER_TO(type, e) ((type) (e))
#endif

#if defined (__GNUC__) && (!defined (BUCKETWALK_NO_INLINE) || defined (_G_HASH_ITER_OUT_OF_LINE))
#ifndef _G_HASH_ITER_OUT_OF_LINE
#define BUCKETWALK_INLINE_STEP 1
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
 * library, which compiles the same definitions as its own functions. */
#if defined (_G_HASH_ITER_DEFINITION)
#elif defined (_G_HASH_ITER_OUT_OF_LINE)
#define _G_HASH_ITER_DEFINITION
#elif defined (__OPTIMIZE__)
#define _G_HASH_ITER_DEFINITION extern __inline__ __attribute__ ((__gnu_inline__, __always_inline__))
#else
#define _G_HASH_ITER_DEFINITION extern __inline__ __attribute__ ((__gnu_inline__))
#endif

/* Whether table t has the size and count that the walk of it began with.
 * They lie side by side, in the same order, in both records: on x86_64 one
 * compare of a word covers both. */
#if defined (__SIZEOF_LONG__) && __SIZEOF_LONG__ == 8
#define _G_HASH_ITER_PAIR(r)						\
  (_G_HASH_ITER_TO (gulong, _G_HASH_ITER_TO (guint, (r)->nnodes)) << 32	\
   | _G_HASH_ITER_TO (guint, (r)->size))
#define _G_HASH_ITER_SAME_NUMBERS(t, iter)				\
  (_G_HASH_ITER_PAIR (t) == _G_HASH_ITER_PAIR (iter))
#else
#define _G_HASH_ITER_SAME_NUMBERS(t, iter)				\
  ((t)->nnodes == (iter)->nnodes && (t)->size == (iter)->size)
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

/* What a checked step records of x, the head of its bucket, with key k,
 * as it hands it out: its next, null where it is the last of its chain,
 * and its key.  A step without checks records nothing as it walks, and
 * its g_hash_iter_first records that it keeps nothing: an entry further
 * down than the third, but not the node of far. */
#define _G_HASH_ITER_AT_HEAD(iter, x, k)		\
  ((iter)->chain = _G_HASH_ITER_WORD ((x)->next), (iter)->keys[0] = (k))
#ifndef BUCKETWALK_DISABLE_CHECKS
#define _G_HASH_ITER_FIRST(iter, x, k) _G_HASH_ITER_AT_HEAD (iter, x, k)
#else
#define _G_HASH_ITER_FIRST(iter, x, k) ((iter)->chain = 3, (iter)->far = _G_HASH_ITER_NULL)
#endif

/* Starts the walk itself rather than calling the library, so that the
 * caller's slots can stay in registers (and because clang inlines no
 * definition that calls its own symbol). */
_G_HASH_ITER_DEFINITION gpointer
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
        gpointer k = n->key;

        it->i = _G_HASH_ITER_GINT (i);
        it->node = n;
        _G_HASH_ITER_FIRST (it, n, k);
        *key = k;
        *val = n->value;
        return *key;
      }
  _G_HASH_ITER_END (it, _G_HASH_ITER_GINT (size > 0 ? size : 0), -1, key, val);
  return _G_HASH_ITER_NULL;
}

/* Reports a change of the table that ends the walk of it, with the slots
 * key and val, as GLib reports a failed precondition: the walk ends first,
 * so that a log handler may step the iterator (it stays at the end,
 * silently), and stays ended after the handler, whatever it did with the
 * iterator.  Null.  The library makes it a call (_G_HASH_ITER_REPORTED),
 * so that its step keeps no register across a call. */
#define _G_HASH_ITER_REPORT(iter, k, v)						\
  (__extension__ ({								\
    GHashTable *_rt;								\
    gint _rn, _rs, _then_n, _then_s;						\
										\
    __asm__ __volatile__ ("" ::: "memory");					\
    _rt = (iter)->hash;								\
    _rn = _rt->nnodes;								\
    _rs = _rt->size;								\
    _then_n = (iter)->nnodes;							\
    _then_s = (iter)->size;							\
    _G_HASH_ITER_END (iter, _rs > 0 ? _rs : 0, -2, k, v);			\
    g_log ("bucketwalk", G_LOG_LEVEL_CRITICAL,					\
           "g_hash_iter_next: the table changed during the walk (%d entries in %d buckets, " \
           "%d in %d when the walk began); the walk ends here.  To remove entries while " \
           "walking, collect them and remove them after the walk, or use "	\
           "g_hash_table_foreach_remove",						\
           _rn, _rs, _then_n, _then_s);						\
    _G_HASH_ITER_END (iter, _rs > 0 ? _rs : 0, -2, k, v);			\
    _G_HASH_ITER_TO (gpointer, _G_HASH_ITER_NULL);				\
  }))
#ifndef _G_HASH_ITER_REPORTED
#define _G_HASH_ITER_REPORTED(iter, k, v) _G_HASH_ITER_REPORT (iter, k, v)
#endif

/* Where a step leaves its common cases (an entry from a chain's head or
 * from further down than its third, and an arrival at the next bucket) for
 * the rest.  The library's step there goes on in a second copy of this
 * definition (bucketwalk.cpp), so that its common cases keep no register
 * that a caller's code may need, and save none. */
#ifndef _G_HASH_ITER_ELSEWHERE
#define _G_HASH_ITER_ELSEWHERE(iter, k, v) do { } while (0)
#endif

_G_HASH_ITER_DEFINITION gpointer
g_hash_iter_next (GHashIter *it, gpointer *key, gpointer *val)
{
  GHashNode *n = it->node, *x;
  /* The table is loaded here on every step, not only where the next bucket
   * is sought: a load that every step makes is one that the compiler can
   * hoist out of the walk loop, so that it is made once per walk. */
  GHashTable *t = it->hash;
  GHashNode **nodes;
  glong i;
#ifndef BUCKETWALK_DISABLE_CHECKS
  gulong chain = it->chain;
  GHashNode *y;
  gpointer k;
  glong d;

  /* The table's size and count, as the walk began (a resize that left the
   * count as it was is a thaw), are the test for an iterator on no entry
   * too: there nnodes is negative, which no table's count is. */
  if (__builtin_expect (!_G_HASH_ITER_SAME_NUMBERS (t, it), 0))
    {
      if (n)
        return _G_HASH_ITER_REPORTED (it, key, val);
      *key = _G_HASH_ITER_NULL;
      *val = _G_HASH_ITER_NULL;
      return _G_HASH_ITER_NULL;
    }
  /* Anything may have been done to the table since the last step, n taken
   * back by GLib among it.  A node that was the last of its chain is not
   * read: the walk goes on from the next bucket.  Any other had a next, x,
   * which the step hands out once it has found n as it was: from its
   * bucket's head, after entries with the keys they had, where it was
   * among the chain's first three; further down, the node handed out
   * there, with its key and next as then. */
  nodes = t->nodes;
  i = it->i;
  if (_G_HASH_ITER_EVEN (!chain))
    goto bucket;
  if (__builtin_expect (!(chain & 3), 1))
    {
      /* n was its chain's head. */
      x = _G_HASH_ITER_NODE (chain);
      if (__builtin_expect (nodes[i] != n || n->key != it->keys[0] || n->next != x, 0))
        return _G_HASH_ITER_REPORTED (it, key, val);
    second:
      k = x->key;
      it->keys[1] = k;
      chain = x->next ? _G_HASH_ITER_WORD (x->next) | 1 : 0;
      goto give;
    }
  x = _G_HASH_ITER_NODE (chain & ~3UL);
  if (__builtin_expect ((chain & 3) == 3, 0))
    {
      /* n was further down, and far is n, unless steps without checks
       * moved the walk since (their chain 3 has no next). */
      if (__builtin_expect (it->far != n || !x, 0))
        {
          _G_HASH_ITER_ELSEWHERE (it, key, val);
          goto lost;
        }
      if (__builtin_expect (n->key != it->keys[0] || n->next != x, 0))
        return _G_HASH_ITER_REPORTED (it, key, val);
      goto far;
    }
  /* n was the second or third of its chain. */
  _G_HASH_ITER_ELSEWHERE (it, key, val);
  y = nodes[i];
  if (__builtin_expect (!y || y->key != it->keys[0], 0))
    return _G_HASH_ITER_REPORTED (it, key, val);
  if (chain & 2)
    {
      y = y->next;
      if (__builtin_expect (!y || y->key != it->keys[1], 0))
        return _G_HASH_ITER_REPORTED (it, key, val);
    }
  if (__builtin_expect (y->next != n || n->key != it->keys[chain & 3] || n->next != x, 0))
    return _G_HASH_ITER_REPORTED (it, key, val);
  if (chain & 2)
    goto far;
third:
  k = x->key;
  it->keys[2] = k;
  chain = x->next ? _G_HASH_ITER_WORD (x->next) | 2 : 0;
  goto give;
far:
  k = x->key;
  it->far = x;
  it->keys[0] = k;
  chain = x->next ? _G_HASH_ITER_WORD (x->next) | 3 : 0;
give:
  it->node = x;
  it->chain = chain;
  *key = k;
  *val = x->value;
  return *key;
lost:
  /* Steps that kept nothing of what a checked step compares (built with
   * BUCKETWALK_DISABLE_CHECKS) moved the walk: n is found again from its
   * bucket's head, however far down, and the walk goes on from there.  The
   * bucket is read only below the size, which such steps may have left
   * behind: this is the one bound of the index, as only such steps, which
   * then leave this way here, move it where a checked step did not. */
  if (__builtin_expect (_G_HASH_ITER_TO (gulong, i) >= _G_HASH_ITER_TO (gulong, t->size), 0))
    return _G_HASH_ITER_REPORTED (it, key, val);
  for (d = 0, y = nodes[i]; y != n; d++, y = y->next)
    {
      if (!y)
        return _G_HASH_ITER_REPORTED (it, key, val);
      if (d < 2)
        it->keys[d] = y->key;
    }
  if (d < 2)
    it->keys[d] = n->key;
  x = n->next;
  if (!x)
    goto bucket;
  if (d == 0)
    goto second;
  if (d == 1)
    goto third;
  goto far;
#else
  if (__builtin_expect (!n, 0))
    {
      /* On no entry: stay there and read nothing. */
      *key = _G_HASH_ITER_NULL;
      *val = _G_HASH_ITER_NULL;
      return _G_HASH_ITER_NULL;
    }
  x = n->next;
  if (_G_HASH_ITER_EVEN (!x))
    goto bucket;
give:
  it->node = x;
  *key = x->key;
  *val = x->value;
  return *key;
#endif

bucket:
  {
    /* On to the next bucket that holds an entry.  A long index needs no
     * widening on x86_64; i stays below size, a gint. */
    glong size = t->size;

#ifdef BUCKETWALK_DISABLE_CHECKS
    nodes = t->nodes;
    i = it->i;
#endif

    /* Most often the next bucket holds an entry.  A run of empty ones is
     * scanned two buckets a turn: a loop of one a turn is so short that its
     * speed depends on where the compiler happens to place it (across a
     * 32-byte boundary it takes twice as long). */
    if (__builtin_expect (_G_HASH_ITER_TO (gulong, ++i) >= _G_HASH_ITER_TO (gulong, size), 0))
      goto end;
    if (__builtin_expect (!(x = nodes[i]), 0))
      {
        _G_HASH_ITER_ELSEWHERE (it, key, val);
        /* i as the scan begins: what the scan computes of it, GCC would
         * otherwise compute before, on every step into a bucket. */
        __asm__ ("" : "+r" (i));
        /* A large table's nodes are not in the caches, and a walk would
         * wait for one miss after the other: each bucket passed prefetches
         * ahead (see _G_HASH_ITER_PREFETCH_AHEAD), and so does the one
         * arrived at, below.  Steps without checks, which are to cost no
         * more than a plain loop, test for it only where they pass an empty
         * bucket. */
        if (__builtin_expect (size >= _G_HASH_ITER_PREFETCH_SIZE, 0)
            && _G_HASH_ITER_PREFETCHES (size, t->nnodes))
          {
            for (;;)
              {
                if (__builtin_expect (i < size - 2 * _G_HASH_ITER_PREFETCH_AHEAD, 1))
                  _G_HASH_ITER_PREFETCH (nodes, i);
                if (__builtin_expect (++i >= size, 0))
                  goto end;
                if ((x = nodes[i]))
                  break;
              }
#ifdef BUCKETWALK_DISABLE_CHECKS
            if (__builtin_expect (i < size - 2 * _G_HASH_ITER_PREFETCH_AHEAD, 1))
              _G_HASH_ITER_PREFETCH (nodes, i);
#endif
          }
        else
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
#ifndef BUCKETWALK_DISABLE_CHECKS
    if (__builtin_expect (size >= _G_HASH_ITER_PREFETCH_SIZE, 0)
        && _G_HASH_ITER_PREFETCHES (size, t->nnodes) && i < size - 2 * _G_HASH_ITER_PREFETCH_AHEAD)
      _G_HASH_ITER_PREFETCH (nodes, i);
#endif
    it->i = _G_HASH_ITER_GINT (i);
#ifndef BUCKETWALK_DISABLE_CHECKS
    k = x->key;
    it->keys[0] = k;
    chain = _G_HASH_ITER_WORD (x->next);
    goto give;
#else
    /* A checked step that takes over finds that the walk moved on (and
     * where to: see lost). */
    it->chain = 3;
    goto give;
#endif
  }

end:
  _G_HASH_ITER_END (it, _G_HASH_ITER_GINT (i), -1, key, val);
  return _G_HASH_ITER_NULL;
}

#endif /* the step */

/* Programs built with this header call the library's functions of version
 * BUCKETWALK_1.3, whose step is the one above.  The functions that a
 * program linked without it gets, such as one built with an older header,
 * keep the state of the older headers' steps (see bucketwalk(3)). */
#if defined (__GNUC__) && !defined (_G_HASH_ITER_OUT_OF_LINE)
__asm__ (".symver g_hash_iter_new,g_hash_iter_new@BUCKETWALK_1.3\n\t"
         ".symver g_hash_iter_first,g_hash_iter_first@BUCKETWALK_1.3\n\t"
         ".symver g_hash_iter_next,g_hash_iter_next@BUCKETWALK_1.3\n\t"
         ".symver g_hash_iter_destroy,g_hash_iter_destroy@BUCKETWALK_1.3");
#endif

#ifdef __cplusplus
}
#endif

#endif /* BUCKETWALK_H */
