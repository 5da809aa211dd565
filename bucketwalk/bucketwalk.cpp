// The four operations of libbucketwalk.  They read a GLib 1.2 table through
// the layout declared in bucketwalk.h and never write to it.
//
// g_hash_iter_next is the hot path, one call per entry.  The step along a
// chain is kept as short as it can be: no table access, each slot written
// once.  The step to the next bucket comes second; scanning past empty
// buckets is out of line (next_bucket).  On large tables, where a walk waits
// on cache misses, each bucket reached prefetches the first two nodes of
// buckets further ahead (prefetch_ahead), so that the misses overlap.

// The library defines the function that the header's inline step stands for.
#define BUCKETWALK_NO_INLINE
#include "bucketwalk.h"

#include <cstddef>

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
		if (++i >= size) {
			it->i = i;
			it->node = nullptr;
			return no_entry(key, val);
		}
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

	it->i = 0;
	*key = nullptr;
	*val = nullptr;
	if (t->size <= 0) {
		// No bucket array to read; the iterator stands on no entry.
		it->node = nullptr;
		return nullptr;
	}
	// A bucket is read only once its index is known to be below size.
	GHashNode *const *nodes = t->nodes;
	for (; it->i < t->size; it->i++) {
		it->node = nodes[it->i];
		if (it->node)
			return arrived(t, it->i, it->node, key, val);
	}
	return nullptr;
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
