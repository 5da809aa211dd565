// The four operations of libbucketwalk.  They read a GLib 1.2 table through
// the layout declared in bucketwalk.h and never write to it.
//
// g_hash_iter_next is the hot path, one call per entry.  Before it reads
// the node it stands on, it finds that node again in its bucket's chain,
// after entries with the same keys as when it arrived there and with its
// own key as then, in a table of the size and count that the walk began
// with; anything else ends the walk with a report (changed).  The step along a chain is kept short: one compare of
// the table's size and count, a walk down the chain to the node (most often
// its head), each slot written once.  The step to the next bucket comes
// second; scanning past empty buckets is out of line (next_bucket), and so
// is every step into a bucket of a large table, where a walk waits on cache
// misses: each bucket passed prefetches the first nodes of buckets further
// ahead, so that the misses overlap.
//
// Programs built with the 1.1 header, whose inline step keeps no
// fingerprint, call g_hash_iter_next at version BUCKETWALK_1.1: there the
// node is found again in its chain, but the keys are not compared.

// The library defines the function that the header's inline step stands for.
#define BUCKETWALK_NO_INLINE
#include "bucketwalk.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#define BW_EXPORT extern "C" __attribute__((visibility("default")))

// The library reads GLib 1.2's private records directly: their layout must
// be the one GLib 1.2 has on each target.
static_assert(sizeof(GHashNode) == 3 * sizeof(gpointer), "GHashNode is three pointers");
#if defined(__i386__)
static_assert(offsetof(GHashTable, nodes) == 12 && sizeof(GHashTable) == 24,
	      "GLib 1.2's GHashTable on i386");
#elif defined(__x86_64__)
static_assert(offsetof(GHashTable, nodes) == 16 && sizeof(GHashTable) == 40,
	      "GLib 1.2's GHashTable on x86_64");
#endif
// The iterator grows at its end only: since 1.1 by the table's size and
// count as the walk began, in the table's own order, so that one compare
// covers both, and since 1.2 by the fingerprint of the keys of node's chain
// through node.
static_assert(offsetof(GHashIter, size) == 3 * sizeof(gpointer) &&
		      offsetof(GHashTable, nnodes) == offsetof(GHashTable, size) + sizeof(gint) &&
		      offsetof(GHashIter, nnodes) == offsetof(GHashIter, size) + sizeof(gint) &&
		      offsetof(GHashIter, chain) == offsetof(GHashIter, nnodes) + sizeof(gint),
	      "the iterator grew at its end");

namespace {

// The count an iterator holds where it stands on no entry: the walk ran
// out, or a change of the table ended it (g_hash_iter_changed).
constexpr gint ran_out = -1;
constexpr gint cut_short = -2;

// How far ahead of the walk nodes are prefetched, in buckets, and from how
// many buckets on, as in the inline step.
constexpr gint prefetch_distance = _G_HASH_ITER_PREFETCH_AHEAD;
constexpr gint prefetch_min_size = _G_HASH_ITER_PREFETCH_SIZE;

inline gpointer
no_entry(gpointer *key, gpointer *val)
{
	*key = nullptr;
	*val = nullptr;
	return nullptr;
}

// Ends the walk at bucket index i: the iterator stands on no entry, which
// a negative count tells the header's inline step too.
inline gpointer
end(GHashIter *it, gint i, gint mark, gpointer *key, gpointer *val)
{
	it->i = i;
	it->node = nullptr;
	it->nnodes = mark;
	it->chain = 0;
	return no_entry(key, val);
}

// Whether t still has the size and count that the walk began with:
// compared as one word, as they lie side by side in both records.
inline bool
unchanged(const GHashTable *t, const GHashIter *it)
{
#ifdef G_DISABLE_CHECKS
	(void)t;
	(void)it;
	return true;
#else
	uint64_t now, then;
	std::memcpy(&now, &t->size, sizeof now);
	std::memcpy(&then, &it->size, sizeof then);
	return now == then;
#endif
}

// The table changed during the walk: ends the walk, then reports it, as
// GLib reports a failed precondition, so that a log handler may step the
// iterator (it stays at the end, silently) or start a new walk (which
// stands).
__attribute__((noinline, cold)) gpointer
changed(GHashIter *it, gpointer *key, gpointer *val)
{
	const GHashTable *t = it->hash;
	const gint nnodes = t->nnodes, size = t->size, then_nnodes = it->nnodes, then_size = it->size;
	end(it, size > 0 ? size : 0, cut_short, key, val);
	g_log("bucketwalk", G_LOG_LEVEL_CRITICAL,
	      "g_hash_iter_next: the table changed during the walk (%d entries in %d buckets, "
	      "%d in %d when the walk began); the walk ends here",
	      nnodes, size, then_nnodes, then_size);
	return nullptr;
}

// Moves onto n, which follows the keys fingerprinted in chain, and hands
// out its key and value.  The result is the key slot read back after both
// writes: with one slot for key and value, it is the value.
inline gpointer
found(GHashIter *it, gulong chain, GHashNode *n, gpointer *key, gpointer *val)
{
	gpointer const k = n->key, v = n->value;
	it->node = n;
	it->chain = _G_HASH_ITER_MIX(chain, k);
	*key = k;
	*val = v;
	return *key;
}

// Whether a walk of t prefetches ahead (see _G_HASH_ITER_PREFETCH): t is
// large, and not mostly empty buckets.
inline bool
prefetching(const GHashTable *t)
{
	return __builtin_expect(t->size >= prefetch_min_size, 0) && _G_HASH_ITER_PREFETCHES(t->size, t->nnodes);
}

// Hands out n, the first node of bucket i, which the walk has just reached.
inline gpointer
arrived(GHashIter *it, const GHashTable *t, gint i, GHashNode *n, gpointer *key, gpointer *val)
{
	it->i = i;
	return found(it, _G_HASH_ITER_SEED(t), n, key, val);
}

// The chain of bucket it->i is done: moves to the first entry of a later
// bucket, or to the end, where it->i is the table's size.  On a large
// table, every bucket passed prefetches ahead.
__attribute__((noinline)) gpointer
next_bucket(GHashIter *it, gpointer *key, gpointer *val)
{
	const GHashTable *t = it->hash;
	GHashNode *const *const nodes = t->nodes;
	const gint size = t->size;
	gint i = it->i;
	GHashNode *n;

	if (prefetching(t)) {
		const gint last = size - 2 * prefetch_distance;
		do {
			if (++i >= size)
				return end(it, i, ran_out, key, val);
			if (__builtin_expect(i < last, 1))
				_G_HASH_ITER_PREFETCH(nodes, i);
		} while ((n = nodes[i]) == nullptr);
	} else
		do {
			if (++i >= size)
				return end(it, i, ran_out, key, val);
		} while ((n = nodes[i]) == nullptr);
	return arrived(it, t, i, n, key, val);
}

// The step of g_hash_iter_next; with_keys compares the keys of the chain
// with the fingerprint, which 1.1's inline step does not keep.
template <bool with_keys>
inline gpointer
step(GHashIter *it, gpointer *key, gpointer *val)
{
	GHashNode *n = it->node;

	// Standing on no entry (after the end, or on a table without entries):
	// stay there and read nothing.
	if (__builtin_expect(n == nullptr, 0))
		return no_entry(key, val);
	const GHashTable *t = it->hash;
	if (__builtin_expect(!unchanged(t, it), 0))
		return changed(it, key, val);
#ifndef G_DISABLE_CHECKS
	// Before anything of n is read, GLib may have taken it back: n is found
	// again in its chain, after the same keys as before.  The bucket is read
	// only below the size, which steps that did not check (G_DISABLE_CHECKS)
	// may have left behind.
	if (__builtin_expect(static_cast<guint>(it->i) >= static_cast<guint>(t->size), 0))
		return changed(it, key, val);
	gulong chain = _G_HASH_ITER_SEED(t);
	for (const GHashNode *x = t->nodes[it->i];; x = x->next) {
		if (__builtin_expect(x == nullptr, 0))
			return changed(it, key, val);
		chain = _G_HASH_ITER_MIX(chain, x->key);
		if (x == n)
			break;
	}
	if (with_keys && __builtin_expect(chain != it->chain, 0))
		return changed(it, key, val);
#else
	const gulong chain = it->chain;
#endif
	GHashNode *const next = n->next;
	if (__builtin_expect(next == nullptr, 0)) {
#if defined(__i386__)
		// With i386's few registers the inline step below would make
		// every call save and restore four of them.
		return next_bucket(it, key, val);
#else
		// Most often the next bucket has an entry; else scan out of line,
		// as on a table that the walk prefetches.
		const gint i = it->i + 1;
		if (__builtin_expect(i >= t->size || (n = t->nodes[i]) == nullptr || prefetching(t), 0))
			return next_bucket(it, key, val);
		return arrived(it, t, i, n, key, val);
#endif
	}
	return found(it, chain, next, key, val);
}

}  // namespace

// The four functions go by names of the library's own here, and are
// exported under their public names at two versions (see bucketwalk.map):
// BUCKETWALK_1.2, the default, and BUCKETWALK_1.1, for programs built with
// the 1.0 and 1.1 headers, whose step does not compare the fingerprint,
// which their inline steps do not keep.
extern "C" {

BW_EXPORT gpointer
bw_first(GHashIter *it, gpointer *key, gpointer *val)
{
	const GHashTable *t = it->hash;

	it->size = t->size;
	it->nnodes = t->nnodes;
	// A bucket is read only once its index is known to be below size; with
	// a size of 0 or less there is no bucket array to read.
	GHashNode *const *nodes = t->nodes;
	for (gint i = 0; i < t->size; i++)
		if (GHashNode *n = nodes[i])
			return arrived(it, t, i, n, key, val);
	return end(it, t->size > 0 ? t->size : 0, ran_out, key, val);
}

BW_EXPORT GHashIter *
bw_new(GHashTable *t)
{
	if (!t)
		return nullptr;
	// g_malloc ends the process if memory is exhausted: no test needed.
	GHashIter *it = static_cast<GHashIter *>(g_malloc(sizeof *it));
	gpointer key, val;

	it->hash = t;
	it->node = nullptr;
	bw_first(it, &key, &val);
	return it;
}

BW_EXPORT gpointer
bw_next(GHashIter *it, gpointer *key, gpointer *val)
{
	return step<true>(it, key, val);
}

BW_EXPORT gpointer
bw_next_1_1(GHashIter *it, gpointer *key, gpointer *val)
{
	return step<false>(it, key, val);
}

BW_EXPORT void
bw_destroy(GHashIter *it)
{
	g_free(it);
}

}  // extern "C"

#ifndef BUCKETWALK_UNVERSIONED
__asm__(".symver bw_new, g_hash_iter_new@@BUCKETWALK_1.2\n"
	".symver bw_first, g_hash_iter_first@@BUCKETWALK_1.2\n"
	".symver bw_next, g_hash_iter_next@@BUCKETWALK_1.2\n"
	".symver bw_destroy, g_hash_iter_destroy@@BUCKETWALK_1.2\n"
	".symver bw_new, g_hash_iter_new@BUCKETWALK_1.1\n"
	".symver bw_first, g_hash_iter_first@BUCKETWALK_1.1\n"
	".symver bw_next_1_1, g_hash_iter_next@BUCKETWALK_1.1\n"
	".symver bw_destroy, g_hash_iter_destroy@BUCKETWALK_1.1");
#else
// The test of a library without versions, as 1.0 was, exports the names
// themselves.
BW_EXPORT GHashIter *g_hash_iter_new(GHashTable *) __attribute__((alias("bw_new")));
BW_EXPORT gpointer g_hash_iter_first(GHashIter *, gpointer *, gpointer *) __attribute__((alias("bw_first")));
BW_EXPORT gpointer g_hash_iter_next(GHashIter *, gpointer *, gpointer *) __attribute__((alias("bw_next")));
BW_EXPORT void g_hash_iter_destroy(GHashIter *) __attribute__((alias("bw_destroy")));
#endif
