// libFuzzer target, in two modes chosen by the input's first byte.
//  - A table of arbitrary shape laid out by hand (any size, including 0 and
//    negative; empty buckets and long chains; null keys, null values, keys
//    equal to values), and a walk over it: every node is reported exactly
//    once, in bucket order and along each chain; results and slots are as
//    documented; g_hash_iter_next after the end stays there; a restart
//    gives the same walk.  The bucket array has exactly `size` entries, so
//    AddressSanitizer catches any read past the last bucket.
//  - Two or three tables built through GLib's calls, changed through them
//    between the steps of a walk of the first: 0 to 6 calls (inserts,
//    removes, replaced values, foreach_remove, freezes, thaws, other tables
//    destroyed and made again) between two steps, GLib's free list primed;
//    the walked table's hash may put every key in one chain.  Each step
//    hands out an entry that is in the walked table with its current value,
//    never one twice; a changed count or size is reported by the very next
//    step, and a report ends the walk; a walk that nothing ended early hands
//    out every entry that was in the table throughout.  Where the walk
//    stands further down than the third entry of a chain, what the header
//    promises there: calls that leave the node it stands on with its key
//    and next go unseen, and the rest of the walk then only ends.  From the
//    last entry of a chain, nothing but a changed count or size is
//    reported.  Twin iterators stepped through the library's functions and
//    through the inline step built as C agree with the inline step at every
//    step.

#include <bucketwalk.h>

#include "steps.h"

// The walks go through the header's inline step, the path most callers take.
#ifndef BUCKETWALK_INLINE_STEP
#error "the fuzzer is meant to walk through the inline step"
#endif

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

// The walks must take the inline step, which the sanitizers are to check:
// a call to the library's step here means that the compiler did not inline
// it (bucketwalk.inlined checks this binary for such calls).

namespace {

class Input {
public:
	Input(const uint8_t *data, size_t size) : p(data), end(data + size) {}
	bool empty() const { return p == end; }
	unsigned byte() { return p < end ? *p++ : 0; }
	unsigned u16() { return byte() | byte() << 8; }

private:
	const uint8_t *p, *end;
};

// Ends the run with the failed requirement, for the crash report.
[[noreturn]] void
failed(int line, const char *what)
{
	std::fprintf(stderr, "walk_fuzzer.cpp:%d: requirement failed: %s\n", line, what);
	std::abort();
}
#define require(ok) ((ok) ? (void)0 : failed(__LINE__, #ok))

struct Walk {
	std::vector<const GHashNode *> nodes;
	bool operator==(const Walk &o) const { return nodes == o.nodes; }
};

// Checks one step's result and slots against the node the iterator stands on.
void
check_step(const GHashIter *it, gpointer result, gpointer key, gpointer val, bool same_slot)
{
	if (!it->node) {
		require(result == nullptr && key == nullptr && (same_slot || val == nullptr));
		require(it->i == (it->hash->size > 0 ? it->hash->size : 0));
		return;
	}
	require(it->i >= 0 && it->i < it->hash->size);
	if (same_slot) {
		require(key == it->node->value && result == it->node->value);
	} else {
		require(key == it->node->key && val == it->node->value && result == key);
	}
}

Walk
walk(GHashIter *it, bool same_slot)
{
	Walk w;
	gpointer key = nullptr, val = nullptr;
	gpointer *k = &key, *v = same_slot ? &key : &val;
	gpointer r = g_hash_iter_first(it, k, v);
	check_step(it, r, key, val, same_slot);
	while (it->node) {
		w.nodes.push_back(it->node);
		r = g_hash_iter_next(it, k, v);
		check_step(it, r, key, val, same_slot);
	}
	// After the end every call stays at the end.
	for (int n = 0; n < 2; n++) {
		key = val = &key;
		r = g_hash_iter_next(it, k, v);
		check_step(it, r, key, val, same_slot);
		require(it->node == nullptr);
	}
	return w;
}

int reports;

void
on_report(const gchar *, GLogLevelFlags, const gchar *, gpointer)
{
	reports++;
}

bool
present(GHashTable *t, gpointer key, gpointer val)
{
	gpointer k, v;
	return g_hash_table_lookup_extended(t, key, &k, &v) && k == key && v == val;
}

std::vector<gpointer>
foreach_keys(GHashTable *t)
{
	std::vector<gpointer> keys;
	g_hash_table_foreach(
	    t, [](gpointer k, gpointer, gpointer all) { static_cast<std::vector<gpointer> *>(all)->push_back(k); }, &keys);
	return keys;
}

// The library's functions, called through pointers so that they are not
// inlined: a twin iterator stepped by them must agree with the inline step.
gpointer (*volatile library_first)(GHashIter *, gpointer *, gpointer *) = g_hash_iter_first;
gpointer (*volatile library_next)(GHashIter *, gpointer *, gpointer *) = g_hash_iter_next;

// Two or three tables built and changed through GLib's calls; table 0 is
// walked.  Table j holds direct keys from 1000 * j + 1 to 1000 * j + 64, so
// that an entry handed out from another table, or from a node on GLib's
// free list, is not found in table 0.
class Tables {
public:
	Tables(unsigned count, bool one_chain) : n(count)
	{
		for (unsigned j = 0; j < n; j++)
			t[j] = g_hash_table_new(j == 0 && one_chain ? one_bucket : g_direct_hash, g_direct_equal);
	}
	~Tables()
	{
		for (unsigned j = 0; j < n; j++)
			g_hash_table_destroy(t[j]);
	}
	GHashTable *walked() const { return t[0]; }
	// The walked table's keys that have left it since forget() (and may
	// have come back).
	const std::set<gpointer> &gone() const { return left; }
	void forget() { left.clear(); }

	// One of GLib's calls, chosen by two bytes of the input: an insert (of a
	// new key, or a new value for a key the table holds), a remove, a
	// foreach_remove of several keys, a freeze, a thaw, or the destruction
	// of a table that is not walked, whose nodes go onto GLib's free list,
	// and a new one in its place.
	void apply(Input &in, unsigned serial)
	{
		const unsigned op = in.byte(), k = in.byte(), j = op % n;
		gpointer key = GINT_TO_POINTER(static_cast<gint>(1000 * j + 1 + k % 64));
		switch (op / 3 % 8) {
		case 0:
		case 1:
		case 2:
			g_hash_table_insert(t[j], key, GUINT_TO_POINTER(serial));
			break;
		case 3:
		case 4:
			if (j == 0 && g_hash_table_lookup_extended(t[j], key, nullptr, nullptr))
				left.insert(key);
			g_hash_table_remove(t[j], key);
			break;
		case 5:
			// The keys with a given remainder.
			modulus = 2 + k % 5;
			remainder = k / 5 % modulus;
			walked_table = j == 0;
			g_hash_table_foreach_remove(t[j], doomed, this);
			break;
		case 6:
			if (k & 1)
				g_hash_table_thaw(t[j]);
			else
				g_hash_table_freeze(t[j]);
			break;
		default:
			if (j == 0)
				break;
			g_hash_table_destroy(t[j]);
			t[j] = g_hash_table_new(g_direct_hash, g_direct_equal);
			for (unsigned e = 0; e < k % 48; e++)
				g_hash_table_insert(t[j], GINT_TO_POINTER(static_cast<gint>(1000 * j + 1 + e)), nullptr);
		}
	}

private:
	static guint one_bucket(gconstpointer) { return 0; }
	static gboolean doomed(gpointer key, gpointer, gpointer self)
	{
		Tables *ts = static_cast<Tables *>(self);
		if (GPOINTER_TO_UINT(key) % ts->modulus != ts->remainder)
			return FALSE;
		if (ts->walked_table)
			ts->left.insert(key);
		return TRUE;
	}

	GHashTable *t[3];
	unsigned n;
	std::set<gpointer> left;
	unsigned modulus = 1, remainder = 0;
	bool walked_table = false;
};

struct Step {
	gpointer result, key, val;
};

// Steps a inline, b through the library and c by the inline step built as
// C, and requires that they agree: results, slots and the iterators' fields.
Step
step_all(GHashIter *a, GHashIter *b, GHashIter *c, bool first)
{
	Step s, l, x;
	s.result = first ? g_hash_iter_first(a, &s.key, &s.val) : g_hash_iter_next(a, &s.key, &s.val);
	l.result = first ? library_first(b, &l.key, &l.val) : library_next(b, &l.key, &l.val);
	x.result = first ? c_first(c, &x.key, &x.val) : c_next(c, &x.key, &x.val);
	for (const Step &o : {l, x})
		require(s.result == o.result && s.key == o.key && s.val == o.val);
	for (const GHashIter *o : {b, c})
		require(a->i == o->i && a->node == o->node && a->size == o->size && a->nnodes == o->nnodes &&
			a->chain == o->chain);
	return s;
}

// A walk of table 0 while, between two steps, the input makes 0 to 6 of
// GLib's calls on two or three tables, GLib's free list primed by a
// destroyed table.  A change of the table's count or size is reported by
// the very next step, which ends the walk.  Every entry handed out is in
// the table with its current value, and none twice.  Where no step reported
// a change the walk is exact: every entry that was in the table throughout
// was handed out.  After the walk, a restart walks the table as foreach does.
void
walk_changed_tables(Input &in, bool one_chain)
{
	static bool handler = (g_log_set_handler("bucketwalk", G_LOG_LEVEL_CRITICAL, on_report, nullptr), true);
	(void)handler;
	GHashTable *spare = g_hash_table_new(g_direct_hash, g_direct_equal);
	for (gint k = 0, n = static_cast<gint>(in.byte()); k < n; k++)
		g_hash_table_insert(spare, GINT_TO_POINTER(-1 - k), nullptr);
	g_hash_table_destroy(spare);

	Tables ts(2 + in.byte() % 2, one_chain);
	for (unsigned n = 0, ops = in.byte() * 2; n < ops; n++)
		ts.apply(in, n);
	GHashTable *t = ts.walked();
	const std::vector<gpointer> before = foreach_keys(t);
	ts.forget();

	reports = 0;
	GHashIter *a = g_hash_iter_new(t), *b = g_hash_iter_new(t), *c = g_hash_iter_new(t);
	std::set<gpointer> seen;
	// Whether calls went unseen where the walk stood further down than the
	// third entry of its chain: then the walk has only to end.
	bool unseen = false;
	Step s = step_all(a, b, c, true);
	for (unsigned serial = 1000, steps = 0; a->node; steps++) {
		if (!unseen) {
			require(present(t, s.key, s.val));
			require(seen.insert(s.key).second);
		}
		// GLib's free list, down which such a walk may go, holds fewer
		// nodes than the fuzzer's tables ever had.
		require(steps < 1000000);
		const gint size = t->size, nnodes = t->nnodes;
		const bool far = (a->chain & 3) == 3;
		const GHashNode was = *a->node;
		unsigned calls = in.byte() % 7;
		for (unsigned n = calls; n > 0 && !in.empty(); n--)
			ts.apply(in, serial++);
		const bool counted = t->size != size || t->nnodes != nnodes;
		const bool kept = a->node->key == was.key && a->node->next == was.next;
		s = step_all(a, b, c, false);
		if (reports) {
			// From the last of a chain, the step reads nothing of it.
			require(counted || was.next);
			break;
		}
		require(!counted);
		unseen = unseen || (far && calls && kept);
	}
	require(!a->node && !s.result && !s.key && !s.val && a->i == (t->size > 0 ? t->size : 0));
	require(reports == 0 || reports == 3);
	const bool changed = reports != 0;
	require(g_hash_iter_changed(a) == changed && g_hash_iter_changed(b) == changed && g_hash_iter_changed(c) == changed);
	if (!changed && !unseen)
		for (gpointer k : before)
			require(seen.count(k) || ts.gone().count(k));
	// The walk ended, and stays so, silently.
	require(g_hash_iter_next(a, &s.key, &s.val) == nullptr && !a->node && !s.key && !s.val);
	require(library_next(b, &s.key, &s.val) == nullptr && !b->node && !s.key && !s.val);
	require(c_next(c, &s.key, &s.val) == nullptr && !c->node && !s.key && !s.val);
	require(reports == (changed ? 3 : 0));
	std::vector<gpointer> again;
	for (g_hash_iter_first(a, &s.key, &s.val); a->node; g_hash_iter_next(a, &s.key, &s.val))
		again.push_back(s.key);
	require(again == foreach_keys(t) && reports == (changed ? 3 : 0));
	for (GHashIter *it : {a, b, c})
		g_hash_iter_destroy(it);
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Input in(data, size);
	const unsigned mode = in.byte();
	if (mode & 0x80) {
		walk_changed_tables(in, mode & 0x40);
		return 0;
	}
	const bool same_slot = mode & 1;
	const gint buckets = static_cast<gint>(in.u16() % 1030) - 6;

	std::vector<GHashNode> storage;
	std::vector<unsigned> bucket_of;
	while (!in.empty() && storage.size() < 4096) {
		const unsigned where = in.u16(), what = in.byte();
		gpointer value = (what & 1) ? nullptr : reinterpret_cast<gpointer>(uintptr_t{what} << 4 | 8);
		gpointer key = (what & 2) ? nullptr : (what & 4) ? value : reinterpret_cast<gpointer>(uintptr_t{where} << 4);
		storage.push_back({key, value, nullptr});
		// Long chains: mode's upper bits squeeze the nodes into few buckets.
		const unsigned spread = (mode >> 1) ? (mode >> 1) : 1;
		bucket_of.push_back(buckets > 0 ? where % spread % static_cast<unsigned>(buckets) : 0);
	}
	if (buckets <= 0)
		storage.clear();

	GHashTable table{};
	table.size = buckets;
	table.nnodes = static_cast<gint>(storage.size());
	GHashNode **heads = buckets > 0 ? new GHashNode *[static_cast<size_t>(buckets)]() : nullptr;
	table.nodes = heads;

	// Link each node at the end of its chain; the expected walk is the
	// nodes sorted by bucket, in chain order.
	std::vector<GHashNode **> tails;
	for (gint b = 0; b < buckets; b++)
		tails.push_back(&heads[b]);
	for (size_t n = 0; n < storage.size(); n++) {
		*tails[bucket_of[n]] = &storage[n];
		tails[bucket_of[n]] = &storage[n].next;
	}
	Walk want;
	for (gint b = 0; b < buckets; b++)
		for (const GHashNode *n = heads[b]; n; n = n->next)
			want.nodes.push_back(n);

	GHashIter *it = g_hash_iter_new(&table);
	require(it && it->hash == &table);
	require(it->node == (want.nodes.empty() ? nullptr : want.nodes[0]));
	const Walk got = walk(it, same_slot);
	require(got == want);
	require(walk(it, same_slot) == want);
	g_hash_iter_destroy(it);
	delete[] heads;
	return 0;
}
