// The four operations of libbucketwalk.  They read a GLib 1.2 table through
// the layout declared in bucketwalk.h and never write to it.
//
// g_hash_iter_next is the hot path: one call per entry.  It keeps the common
// step (the next node of the same chain) short, and only when it moves on to
// later buckets does it read the table record.  On large tables, where a walk
// waits on cache misses, it also prefetches the first node of the bucket
// prefetch_distance buckets ahead, so that those misses overlap.

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

constexpr gint prefetch_distance = 8;
// Below this many buckets a table is assumed to sit in the cache already.
constexpr gint prefetch_min_size = 1 << 14;

inline void
prefetch_heads(GHashNode *const *nodes, gint size, gint from, gint to)
{
	if (size < prefetch_min_size)
		return;
	if (to > size)
		to = size;
	for (gint j = from; j < to; j++)
		__builtin_prefetch(nodes[j]);
}

// Moves it to the first entry of the buckets after it->i; null at the end,
// where it->i is the table's size.
__attribute__((noinline)) GHashNode *
next_bucket(GHashIter *it)
{
	const GHashTable *t = it->hash;
	GHashNode *const *nodes = t->nodes;
	const gint size = t->size;
	const gint from = it->i;
	GHashNode *n = nullptr;
	gint i = from;

	while (!n) {
		if (++i >= size) {
			it->i = i;
			return nullptr;
		}
		n = nodes[i];
	}
	it->i = i;
	prefetch_heads(nodes, size, from + prefetch_distance + 1, i + prefetch_distance + 1);
	return n;
}

}  // namespace

BW_EXPORT gpointer
g_hash_iter_first(GHashIter *it, gpointer *key, gpointer *val)
{
	const GHashTable *t = it->hash;
	const gint size = t->size;

	it->i = 0;
	*key = nullptr;
	*val = nullptr;
	if (size <= 0) {
		it->node = nullptr;
		return nullptr;
	}

	GHashNode *const *nodes = t->nodes;
	GHashNode *n = nullptr;
	gint i = 0;
	for (; i < size; i++)
		if ((n = nodes[i]) != nullptr)
			break;
	it->i = i;
	it->node = n;
	if (!n)
		return nullptr;
	prefetch_heads(nodes, size, i + 1, i + prefetch_distance + 1);
	*key = n->key;
	*val = n->value;
	return *key;
}

BW_EXPORT GHashIter *
g_hash_iter_new(GHashTable *t)
{
	if (!t)
		return nullptr;
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
	*key = nullptr;
	*val = nullptr;
	GHashNode *n = it->node;
	// Standing on no entry (after the end, or on an empty table): stay there.
	if (__builtin_expect(n == nullptr, 0))
		return nullptr;
	n = n->next;
	if (__builtin_expect(n == nullptr, 0)) {
		n = next_bucket(it);
		it->node = n;
		if (!n)
			return nullptr;
	} else {
		it->node = n;
	}
	*key = n->key;
	*val = n->value;
	return *key;
}

BW_EXPORT void
g_hash_iter_destroy(GHashIter *it)
{
	g_free(it);
}
