// libFuzzer target, in two modes chosen by the input's first byte.
//  - A table of arbitrary shape laid out by hand (any size, including 0 and
//    negative; empty buckets and long chains; null keys, null values, keys
//    equal to values), and a walk over it: every node is reported exactly
//    once, in bucket order and along each chain; results and slots are as
//    documented; g_hash_iter_next after the end stays there; a restart
//    gives the same walk.  The bucket array has exactly `size` entries, so
//    AddressSanitizer catches any read past the last bucket.
//  - A table built through GLib's calls, changed through them between the
//    steps of a walk (inserts, removes, replaced values, freezes, thaws):
//    each step hands out an entry that is in the table; a change of the
//    count is reported by the very next step, a resize alone no later than
//    the next step into a bucket, and either ends the walk; nothing else is
//    reported, and a restart walks the table as foreach does.

#include <bucketwalk.h>

// The walks go through the header's inline step, the path most callers take.
#ifndef BUCKETWALK_INLINE_STEP
#error "the fuzzer is meant to walk through the inline step"
#endif

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

void
require(bool ok)
{
	if (!ok)
		std::abort();
}

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

// One of GLib's calls on t, chosen by the input: keys 1 to 64.
void
apply(GHashTable *t, Input &in, unsigned n)
{
	const unsigned op = in.byte();
	gpointer key = GINT_TO_POINTER(static_cast<gint>(op >> 2) + 1);
	switch (op & 3) {
	case 0:
	case 1:
		g_hash_table_insert(t, key, GINT_TO_POINTER(static_cast<gint>(n)));
		break;
	case 2:
		g_hash_table_remove(t, key);
		break;
	default:
		if (op & 4)
			g_hash_table_thaw(t);
		else
			g_hash_table_freeze(t);
	}
}

void
walk_changed_table(Input &in)
{
	static bool handler = (g_log_set_handler("bucketwalk", G_LOG_LEVEL_CRITICAL, on_report, nullptr), true);
	(void)handler;
	GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
	for (unsigned n = 0, ops = in.byte() * 2; n < ops; n++)
		apply(t, in, n);

	reports = 0;
	GHashIter *it = g_hash_iter_new(t);
	gpointer key, val;
	std::vector<gpointer> seen;
	bool changed = false;
	enum { none, next_step, into_a_bucket } due = none;
	for (g_hash_iter_first(it, &key, &val); it->node;) {
		seen.push_back(key);
		require(present(t, key, val));
		const gint size = t->size, nnodes = t->nnodes;
		if (!in.empty())
			apply(t, in, 1000 + static_cast<unsigned>(seen.size()));
		if (t->nnodes != nnodes)
			due = next_step;
		else if (t->size != size && due == none)
			due = into_a_bucket;
		changed = changed || due != none;
		// Read only while the node is still in the table.
		const bool bucket_step = due != next_step && it->node->next == nullptr;
		g_hash_iter_next(it, &key, &val);
		if (reports) {
			require(reports == 1 && due != none && !it->node && !key && !val);
			break;
		}
		require(due != next_step && !(due == into_a_bucket && bucket_step));
	}
	require(reports == (changed ? 1 : 0) && !key && !val);
	// The walk ended, and stays so.
	require(g_hash_iter_next(it, &key, &val) == nullptr && !it->node && reports == (changed ? 1 : 0));
	if (!changed)
		require(seen == foreach_keys(t));
	seen.clear();
	for (g_hash_iter_first(it, &key, &val); it->node; g_hash_iter_next(it, &key, &val))
		seen.push_back(key);
	require(seen == foreach_keys(t) && reports == (changed ? 1 : 0));
	g_hash_iter_destroy(it);
	g_hash_table_destroy(t);
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Input in(data, size);
	const unsigned mode = in.byte();
	if (mode & 0x80) {
		walk_changed_table(in);
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
