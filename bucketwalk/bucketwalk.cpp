// The four operations of libbucketwalk.  They read a GLib 1.2 table through
// the layout declared in bucketwalk.h and never write to it.
//
// g_hash_iter_next is the hot path, one call per entry.  The step along a
// chain is kept as short as it can be: one compare of the table with what
// the walk began with, each slot written once.  The step to the next bucket
// comes second; scanning past empty buckets is out of line (next_bucket).  On large tables, where a walk waits
// on cache misses, each bucket reached prefetches the first two nodes of
// buckets further ahead (prefetch_ahead), so that the misses overlap.

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
// Since 1.1 the iterator ends with the table's size and count as the walk
// began, in the table's own order, so that one compare covers both.
static_assert(offsetof(GHashIter, size) == 3 * sizeof(gpointer) &&
		      offsetof(GHashTable, nnodes) == offsetof(GHashTable, size) + sizeof(gint) &&
		      offsetof(GHashIter, nnodes) == offsetof(GHashIter, size) + sizeof(gint),
	      "the iterator grew at its end, its size and nnodes as the table's");

namespace {

// How far ahead of the walk nodes are prefetched, in buckets, and from how
// many buckets on: smaller tables sit in the caches already, and there the
// prefetches would only cost instructions.
constexpr gint prefetch_distance = 16;
constexpr gint prefetch_min_size = 1 << 18;

inline gpointer
no_entry(gpointer *key, gpointer *val)
{
	*key = nullptr;
	*val = nullptr;
	return nullptr;
}

// Ends the walk at bucket index i: the iterator stands on no entry, which
// a count of -1 tells the header's inline step too.
inline gpointer
end(GHashIter *it, gint i, gpointer *key, gpointer *val)
{
	it->i = i;
	it->node = nullptr;
	it->nnodes = -1;
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

// The table changed during the walk: reports it, as GLib reports a failed
// precondition, and ends the walk.
__attribute__((noinline, cold)) gpointer
changed(GHashIter *it, gpointer *key, gpointer *val)
{
	const GHashTable *t = it->hash;
	g_log("bucketwalk", G_LOG_LEVEL_CRITICAL,
	      "g_hash_iter_next: the table changed during the walk (%d entries in %d buckets, "
	      "%d in %d when the walk began); the walk ends here",
	      t->nnodes, t->size, it->nnodes, it->size);
	return end(it, t->size, key, val);
}

// Hands out n's key and value.  The result is the key slot read back after
// both writes: with one slot for key and value, it is the value.
inline gpointer
found(const GHashNode *n, gpointer *key, gpointer *val)
{
	*key = n->key;
	*val = n->value;
	return *key;
}

// Prefetches ahead of bucket i, where the walk has arrived, in two stages:
// the first node of the bucket 2 * prefetch_distance ahead, and the second
// node of the bucket prefetch_distance ahead, whose first node the first
// stage brought in earlier.  Reads no bucket past the last one.  Returns
// result, so that callers can end with it as a tail call.
__attribute__((noinline)) gpointer
prefetch_ahead(gpointer result, GHashNode *const *nodes, gint size, gint i)
{
	if (i < size - 2 * prefetch_distance) {
		__builtin_prefetch(nodes[i + 2 * prefetch_distance]);
		if (const GHashNode *n = nodes[i + prefetch_distance])
			__builtin_prefetch(n->next);
	}
	// Keeps GCC from taking the function for one without effects and
	// deleting its calls.
	asm volatile("" ::: "memory");
	return result;
}

// Hands out n, the first node of bucket i, which the walk has just reached.
inline gpointer
arrived(const GHashTable *t, gint i, const GHashNode *n, gpointer *key, gpointer *val)
{
	gpointer result = found(n, key, val);
	if (__builtin_expect(t->size < prefetch_min_size, 1))
		return result;
	return prefetch_ahead(result, t->nodes, t->size, i);
}

// The chain of bucket it->i is done: moves to the first entry of a later
// bucket, or to the end, where it->i is the table's size.
__attribute__((noinline)) gpointer
next_bucket(GHashIter *it, gpointer *key, gpointer *val)
{
	const GHashTable *t = it->hash;
	GHashNode *const *const nodes = t->nodes;
	const gint size = t->size;
	gint i = it->i;
	GHashNode *n;

	do {
		if (++i >= size)
			return end(it, i, key, val);
	} while ((n = nodes[i]) == nullptr);
	it->i = i;
	it->node = n;
	return arrived(t, i, n, key, val);
}

}  // namespace

BW_EXPORT gpointer
g_hash_iter_first(GHashIter *it, gpointer *key, gpointer *val)
{
	const GHashTable *t = it->hash;

	it->size = t->size;
	it->nnodes = t->nnodes;
	// A bucket is read only once its index is known to be below size; with
	// a size of 0 or less there is no bucket array to read.
	GHashNode *const *nodes = t->nodes;
	for (gint i = 0; i < t->size; i++)
		if (GHashNode *n = nodes[i]) {
			it->i = i;
			it->node = n;
			return arrived(t, i, n, key, val);
		}
	return end(it, t->size > 0 ? t->size : 0, key, val);
}

BW_EXPORT GHashIter *
g_hash_iter_new(GHashTable *t)
{
	if (!t)
		return nullptr;
	// g_malloc ends the process if memory is exhausted: no test needed.
	GHashIter *it = static_cast<GHashIter *>(g_malloc(sizeof *it));
	gpointer key, val;

	it->hash = t;
	it->node = nullptr;
	g_hash_iter_first(it, &key, &val);
	return it;
}

BW_EXPORT gpointer
g_hash_iter_next(GHashIter *it, gpointer *key, gpointer *val)
{
	GHashNode *n = it->node;

	// Standing on no entry (after the end, or on a table without entries):
	// stay there and read nothing.
	if (__builtin_expect(n == nullptr, 0))
		return no_entry(key, val);
	// Before anything of the table is read: GLib may have taken n back.
	if (__builtin_expect(!unchanged(it->hash, it), 0))
		return changed(it, key, val);
	n = n->next;
	if (__builtin_expect(n == nullptr, 0)) {
#if defined(__i386__)
		// With i386's few registers the inline step below would make
		// every call save and restore four of them.
		return next_bucket(it, key, val);
#else
		// Most often the next bucket has an entry; else scan out of line.
		const GHashTable *t = it->hash;
		const gint i = it->i + 1;
		if (__builtin_expect(i >= t->size || (n = t->nodes[i]) == nullptr, 0))
			return next_bucket(it, key, val);
		it->i = i;
		it->node = n;
		return arrived(t, i, n, key, val);
#endif
	}
	it->node = n;
	return found(n, key, val);
}

BW_EXPORT void
g_hash_iter_destroy(GHashIter *it)
{
	g_free(it);
}
