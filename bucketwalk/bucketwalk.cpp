// The four operations of libbucketwalk.  They read a GLib 1.2 table through
// the layout declared in bucketwalk.h and never write to it.
//
// g_hash_iter_first and g_hash_iter_next, at version BUCKETWALK_1.3, are
// the header's own definitions, compiled here out of line under names of
// the library's (bw_first, bw_next): the step that a program inlines and
// the one it calls are one text.
//
// Programs built with the 1.0, 1.1 and 1.2 headers keep other state in the
// iterator: their inline steps write the fields of their own header and
// leave the rest as it was, and 1.2's keeps a fingerprint of its own in
// chain.  They call the functions of the older versions, BUCKETWALK_1.1
// (1.0 and 1.1) and BUCKETWALK_1.2, or, when linked again against this
// library, the default version, which is BUCKETWALK_1.2's: the compat_
// functions below, which keep 1.2's fingerprint for 1.2's inline step and
// compare none of them, as no older step may have kept it.

// The library defines the functions that the header's step stands for.
// Its step calls the report (bw_report), where the inline step has it in
// line: a step that makes no call of its own needs no register kept across
// one, and so saves none.
#define _G_HASH_ITER_OUT_OF_LINE
#define g_hash_iter_first bw_first
#define g_hash_iter_next bw_next
#define _G_HASH_ITER_REPORTED(it, key, val) bw_report(it, key, val)
#define _G_HASH_ITER_ELSEWHERE(it, key, val) return bw_next_rest(it, key, val)
#define BW_EXPORT extern "C" __attribute__((visibility("default")))
BW_EXPORT void *bw_first(struct _GHashIter *, void **, void **);
BW_EXPORT void *bw_next(struct _GHashIter *, void **, void **);
extern "C" __attribute__((noinline, cold)) void *bw_report(struct _GHashIter *, void **, void **);
extern "C" void *bw_next_rest(struct _GHashIter *, void **, void **);
#include "bucketwalk.h"
#undef g_hash_iter_first
#undef g_hash_iter_next

#include <cstddef>

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
// count as the walk began, since 1.2 by chain, since 1.3 by keys and far.
static_assert(offsetof(GHashIter, size) == 3 * sizeof(gpointer) &&
		      offsetof(GHashIter, nnodes) == offsetof(GHashIter, size) + sizeof(gint) &&
		      offsetof(GHashIter, chain) == offsetof(GHashIter, nnodes) + sizeof(gint) &&
		      offsetof(GHashIter, keys) == offsetof(GHashIter, chain) + sizeof(gulong) &&
		      sizeof(GHashIter) == offsetof(GHashIter, keys) + 4 * sizeof(gpointer),
	      "the iterator grew at its end");

namespace {

// The count an iterator holds where its walk ran out (a change of the
// table that ended it leaves -2: g_hash_iter_changed).
constexpr gint ran_out = -1;

// The fingerprint that 1.2's inline step keeps in chain: the keys of the
// chain from its head through the current node, multiplied and added from
// the table's address.
inline gulong
mix_1_2(gulong h, gconstpointer k)
{
	return h * 0x5bd1e995UL + reinterpret_cast<gulong>(k);
}

inline gulong
seed_1_2(const GHashTable *t)
{
	return reinterpret_cast<gulong>(t);
}

inline gpointer
end(GHashIter *it, gint i, gint mark, gpointer *key, gpointer *val)
{
	it->i = i;
	it->node = nullptr;
	it->nnodes = mark;
	it->chain = 0;
	*key = nullptr;
	*val = nullptr;
	return nullptr;
}

// Hands out n, down a chain whose keys before it fingerprint to h.  A node
// further down than the third of its chain keeps its key in keys[0], its
// next in keys[1], its fingerprint in keys[2], and itself in far: the next
// step checks them there, as the header's step does, rather than walk down
// to it.
inline gpointer
hand_out(GHashIter *it, GHashNode *n, gulong h, glong depth, gpointer *key, gpointer *val)
{
	gpointer const k = n->key, v = n->value;
	it->node = n;
	it->chain = mix_1_2(h, k);
	if (depth > 3) {
		it->far = n;
		it->keys[0] = k;
		it->keys[1] = n->next;
		it->keys[2] = reinterpret_cast<gpointer>(it->chain);
	}
	*key = k;
	*val = v;
	return *key;
}

// The first entry of bucket i or a later one, or the end.
gpointer
compat_bucket(GHashIter *it, const GHashTable *t, gint i, gpointer *key, gpointer *val)
{
	GHashNode *const *const nodes = t->nodes;
	for (; i < t->size; i++)
		if (GHashNode *n = nodes[i]) {
			it->i = i;
			it->far = nullptr;
			return hand_out(it, n, seed_1_2(t), 1, key, val);
		}
	return end(it, t->size > 0 ? t->size : 0, ran_out, key, val);
}

}  // namespace

// The four functions go by names of the library's own here, and are
// exported under their public names (see bucketwalk.map and the end of
// this file).
extern "C" {

gpointer
bw_report(GHashIter *it, gpointer *key, gpointer *val)
{
	return _G_HASH_ITER_REPORT(it, key, val);
}

}  // extern "C"

namespace {

// A new iterator on t, started by first; null for a null t.
GHashIter *
make(GHashTable *t, gpointer (*first)(GHashIter *, gpointer *, gpointer *))
{
	if (!t)
		return nullptr;
	// g_malloc ends the process if memory is exhausted: no test needed.
	GHashIter *it = static_cast<GHashIter *>(g_malloc(sizeof *it));
	gpointer key, val;

	it->hash = t;
	it->node = nullptr;
	it->chain = 0;
	it->keys[0] = it->keys[1] = it->keys[2] = nullptr;
	it->far = nullptr;
	first(it, &key, &val);
	return it;
}

}  // namespace

extern "C" {

BW_EXPORT GHashIter *
bw_new(GHashTable *t)
{
	return make(t, bw_first);
}

BW_EXPORT void
bw_destroy(GHashIter *it)
{
	g_free(it);
}

BW_EXPORT gpointer
compat_first(GHashIter *it, gpointer *key, gpointer *val)
{
	const GHashTable *t = it->hash;

	it->size = t->size;
	it->nnodes = t->nnodes;
	return compat_bucket(it, t, 0, key, val);
}

BW_EXPORT GHashIter *
compat_new(GHashTable *t)
{
	return make(t, compat_first);
}

// The step of the programs built with the older headers.  It compares the
// table's size and count with the walk's, as 1.1's step did, and finds the
// current entry again in its chain from the head, or goes on from its
// record of an entry further down than the third of its chain (below).  It
// checks no fingerprint against the chain, which 1.0's and 1.1's steps do
// not keep, and keeps 1.2's for the inline step of 1.2.
BW_EXPORT gpointer
compat_next(GHashIter *it, gpointer *key, gpointer *val)
{
	GHashNode *const n = it->node;

	// Standing on no entry (after the end, or on a table without entries):
	// stay there and read nothing.
	if (!n) {
		*key = nullptr;
		*val = nullptr;
		return nullptr;
	}
	const GHashTable *t = it->hash;
	if (t->size != it->size || t->nnodes != it->nnodes ||
	    static_cast<guint>(it->i) >= static_cast<guint>(t->size))
		return bw_report(it, key, val);
	gulong h = seed_1_2(t);
	glong depth = 1;
	// The record of an entry further down may be older than this walk, or
	// be another version's state: the older headers' inline steps leave it
	// as it was, and a program that mixes in the header's steps writes
	// other keys there.  It stands only while the fingerprint is the one it
	// was made with (1.2's inline step, which keeps one, handed the entry
	// out after the same keys) and the node holds the key and next it
	// records; otherwise the entry is found again from the head.  1.1's
	// inline steps keep no fingerprint: after them, a record that an
	// earlier walk left at the entry stands as 1.1's own step went on, by
	// the table's numbers and the entry's next.
	if (it->far == n && it->chain == reinterpret_cast<gulong>(it->keys[2]) && n->key == it->keys[0] &&
	    n->next == it->keys[1]) {
		h = it->chain;
		depth = 4;
	} else
		for (const GHashNode *x = t->nodes[it->i];; x = x->next, depth++) {
			if (!x)
				return bw_report(it, key, val);
			h = mix_1_2(h, x->key);
			if (x == n)
				break;
		}
	if (GHashNode *next = n->next)
		return hand_out(it, next, h, depth + 1, key, val);
	return compat_bucket(it, t, it->i + 1, key, val);
}

}  // extern "C"

#ifndef BUCKETWALK_UNVERSIONED
// BUCKETWALK_1.3, which the header binds its programs to, has the header's
// step; the default, BUCKETWALK_1.2, and BUCKETWALK_1.1 the older headers'.
__asm__(".symver bw_new, g_hash_iter_new@BUCKETWALK_1.3\n"
	".symver bw_first, g_hash_iter_first@BUCKETWALK_1.3\n"
	".symver bw_next, g_hash_iter_next@BUCKETWALK_1.3\n"
	".symver bw_destroy, g_hash_iter_destroy@BUCKETWALK_1.3\n"
	".symver compat_new, g_hash_iter_new@@BUCKETWALK_1.2\n"
	".symver compat_first, g_hash_iter_first@@BUCKETWALK_1.2\n"
	".symver compat_next, g_hash_iter_next@@BUCKETWALK_1.2\n"
	".symver bw_destroy, g_hash_iter_destroy@@BUCKETWALK_1.2\n"
	".symver compat_new, g_hash_iter_new@BUCKETWALK_1.1\n"
	".symver compat_first, g_hash_iter_first@BUCKETWALK_1.1\n"
	".symver compat_next, g_hash_iter_next@BUCKETWALK_1.1\n"
	".symver bw_destroy, g_hash_iter_destroy@BUCKETWALK_1.1");
#else
// The test of a library without versions, as 1.0 was, exports the names
// themselves, with the older headers' functions.
BW_EXPORT GHashIter *g_hash_iter_new(GHashTable *) __attribute__((alias("compat_new")));
BW_EXPORT gpointer g_hash_iter_first(GHashIter *, gpointer *, gpointer *) __attribute__((alias("compat_first")));
BW_EXPORT gpointer g_hash_iter_next(GHashIter *, gpointer *, gpointer *) __attribute__((alias("compat_next")));
BW_EXPORT void g_hash_iter_destroy(GHashIter *) __attribute__((alias("bw_destroy")));
#endif
