// libFuzzer target: builds a table of arbitrary shape from the input (any
// size, including 0 and negative; empty buckets and long chains; null keys,
// null values, keys equal to values) and checks a walk over it: every node
// is reported exactly once, in bucket order and along each chain; results
// and slots are as documented; g_hash_iter_next after the end stays there;
// a restart gives the same walk.  The bucket array has exactly `size`
// entries, so AddressSanitizer catches any read past the last bucket.

#include <bucketwalk.h>

// The walks go through the header's inline step, the path most callers take.
#ifndef BUCKETWALK_INLINE_STEP
#error "the fuzzer is meant to walk through the inline step"
#endif

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

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

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Input in(data, size);
	const unsigned mode = in.byte();
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
