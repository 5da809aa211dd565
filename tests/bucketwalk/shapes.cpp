// The iterator on tables laid out by hand: every shape a walk can meet, the
// contents of the slots and the iterator after each call, and the calls made
// where the walk stands on no entry.  Each bucket array ends right before an
// inaccessible page, so a read past the last bucket crashes the test.

#include <bucketwalk.h>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "check.h"
#include "steps.h"

namespace {

using Entry = std::pair<gpointer, gpointer>;
using Buckets = std::vector<std::vector<Entry>>;

gpointer
P(long n)
{
	return GINT_TO_POINTER(n);
}

// A slot value that no call may leave behind.
gpointer const junk = P(0x5a5a5a);

// A table laid out by hand in one mapping: the nodes, then the bucket array
// ending right before an inaccessible page.  Once built, the whole table is
// made read-only, so that a walk that writes to it crashes.
class HandTable {
public:
	explicit HandTable(const Buckets &buckets)
	{
		const gint size = static_cast<gint>(buckets.size());
		size_t entries = 0;
		for (const auto &chain : buckets)
			entries += chain.size();
		table.size = size;
		table.nnodes = static_cast<gint>(entries);
		if (size == 0)
			return;
		const size_t nodes = sizeof(GHashNode) * entries;
		const size_t bytes = sizeof(GHashNode *) * buckets.size();
		map_len = (nodes + bytes + page - 1) / page * page + page;
		map = static_cast<char *>(mmap(nullptr, map_len, PROT_READ | PROT_WRITE,
					       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
		mprotect(map + map_len - page, page, PROT_NONE);
		table.nodes = reinterpret_cast<GHashNode **>(map + map_len - page - bytes);

		GHashNode *node = reinterpret_cast<GHashNode *>(map);
		for (size_t b = 0; b < buckets.size(); b++) {
			GHashNode **link = &table.nodes[b];
			for (const Entry &e : buckets[b]) {
				*node = GHashNode{e.first, e.second, nullptr};
				*link = node;
				link = &node++->next;
			}
		}
		mprotect(map, map_len - page, PROT_READ);
	}
	// A table of size buckets, all empty; size may be 0 or negative, and then
	// the table has no bucket array at all.
	explicit HandTable(gint size) : HandTable(Buckets(size > 0 ? static_cast<size_t>(size) : 0))
	{
		table.size = size;
	}
	~HandTable()
	{
		if (map)
			munmap(map, map_len);
	}
	HandTable(const HandTable &) = delete;
	HandTable &operator=(const HandTable &) = delete;

	// Makes the nodes and the bucket array unreadable, or readable again.
	void readable(bool yes) { mprotect(map, map_len - page, yes ? PROT_READ : PROT_NONE); }

	GHashTable table{};

private:
	const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	char *map = nullptr;
	size_t map_len = 0;
};

// RAII for an iterator.
struct Iter {
	explicit Iter(GHashTable *t) : it(g_hash_iter_new(t)) {}
	~Iter() { g_hash_iter_destroy(it); }
	Iter(const Iter &) = delete;
	Iter &operator=(const Iter &) = delete;
	GHashIter *it;
};

// The result and both slots of one call, the slots filled with junk first.
struct Step {
	gpointer result, key, val;
	bool operator==(const Step &o) const
	{
		return result == o.result && key == o.key && val == o.val;
	}
};

Step
first(GHashIter *it)
{
	Step s{nullptr, junk, junk};
	s.result = g_hash_iter_first(it, &s.key, &s.val);
	return s;
}

Step
next(GHashIter *it)
{
	Step s{nullptr, junk, junk};
	s.result = g_hash_iter_next(it, &s.key, &s.val);
	return s;
}

const Step end{nullptr, nullptr, nullptr};

Step
at(const Entry &e)
{
	return {e.first, e.first, e.second};
}

// Walks from the first entry while the iterator stands on one.
std::vector<Entry>
walk(GHashIter *it)
{
	std::vector<Entry> seen;
	for (Step s = first(it); it->node; s = next(it))
		seen.emplace_back(s.key, s.val);
	return seen;
}

void
null_table()
{
	CHECK(g_hash_iter_new(nullptr) == nullptr);
}

void
no_buckets()
{
	GHashNode stale{P(1), P(2), nullptr};
	for (gint size : {0, -1, -1000}) {
		HandTable h(size);  // nodes is null: reading it would crash
		Iter i(&h.table);
		CHECK(i.it->hash == &h.table && i.it->i == 0 && i.it->node == nullptr);
		i.it->node = &stale;
		CHECK(first(i.it) == end);
		CHECK(i.it->i == 0 && i.it->node == nullptr);
		CHECK(next(i.it) == end);
	}
}

void
empty_buckets()
{
	HandTable h(7);
	Iter i(&h.table);
	CHECK(i.it->i == 7 && i.it->node == nullptr);
	CHECK(first(i.it) == end);
	CHECK(i.it->i == 7 && i.it->node == nullptr);
	CHECK(next(i.it) == end);
	CHECK(i.it->i == 7 && i.it->node == nullptr);
}

void
last_bucket_only()
{
	HandTable h(Buckets{{}, {}, {}, {}, {{P(40), P(41)}}});
	Iter i(&h.table);
	CHECK(first(i.it) == at({P(40), P(41)}));
	CHECK(i.it->i == 4 && i.it->node == h.table.nodes[4]);
	CHECK(next(i.it) == end);
	CHECK(i.it->i == 5 && i.it->node == nullptr);
}

void
chain_in_one_bucket()
{
	HandTable h(Buckets{{}, {{P(1), P(10)}, {P(2), P(20)}}, {}});
	Iter i(&h.table);
	CHECK(first(i.it) == at({P(1), P(10)}));
	CHECK(next(i.it) == at({P(2), P(20)}));
	CHECK(i.it->i == 1);
	CHECK(next(i.it) == end);
}

void
bucket_order_not_insertion_order()
{
	HandTable h(Buckets{{}, {}, {{P(5), P(50)}}, {}, {}, {{P(2), P(20)}}, {}});
	Iter i(&h.table);
	CHECK(walk(i.it) == (std::vector<Entry>{{P(5), P(50)}, {P(2), P(20)}}));
}

void
next_right_after_new()
{
	HandTable two(Buckets{{{P(1), P(10)}}, {}, {{P(2), P(20)}}});
	Iter i(&two.table);
	CHECK(next(i.it) == at({P(2), P(20)}));

	HandTable one(Buckets{{}, {{P(1), P(10)}}});
	Iter j(&one.table);
	CHECK(next(j.it) == end);
}

void
restart_mid_walk()
{
	HandTable h(Buckets{{{P(1), P(10)}, {P(2), P(20)}}, {}, {{P(3), P(30)}}});
	Iter i(&h.table);
	const std::vector<Entry> all{{P(1), P(10)}, {P(2), P(20)}, {P(3), P(30)}};
	first(i.it);
	next(i.it);
	CHECK(first(i.it) == at(all[0]));
	CHECK(i.it->i == 0 && i.it->node == h.table.nodes[0]);
	CHECK(walk(i.it) == all);
	CHECK(walk(i.it) == all);
}

void
null_key()
{
	HandTable h(Buckets{{}, {{nullptr, P(10)}}, {}, {{P(3), P(30)}}, {{nullptr, nullptr}}});
	Iter i(&h.table);
	CHECK(first(i.it) == (Step{nullptr, nullptr, P(10)}));
	CHECK(next(i.it) == at({P(3), P(30)}));
	CHECK(next(i.it) == end);  // a null key with a null value: only the state tells
	CHECK(i.it->node == h.table.nodes[4]);
	CHECK(next(i.it) == end);
	CHECK(i.it->node == nullptr && i.it->i == 5);
}

void
same_slot_for_key_and_value()
{
	HandTable h(Buckets{{{P(1), P(10)}, {P(2), P(20)}}});
	Iter i(&h.table);
	gpointer slot = junk;
	CHECK(g_hash_iter_first(i.it, &slot, &slot) == P(10) && slot == P(10));
	CHECK(g_hash_iter_next(i.it, &slot, &slot) == P(20) && slot == P(20));
	CHECK(g_hash_iter_next(i.it, &slot, &slot) == nullptr && slot == nullptr);
}

void
stays_at_the_end_without_reading()
{
	HandTable h(Buckets{{{P(1), P(10)}}, {}});
	Iter i(&h.table);
	next(i.it);
	// Past the end no node and no bucket may be read again (the table's
	// count may: it tells the inline step that the walk has ended).
	h.readable(false);
	for (int n = 0; n < 3; n++) {
		CHECK(next(i.it) == end);
		CHECK(i.it->node == nullptr && i.it->i == 2);
	}
	h.readable(true);
}

void
large_tables()
{
	// Big enough for the walk to prefetch ahead (2^18 buckets and more):
	// one mostly empty, which the walk only scans, and one with more entries
	// than buckets, which it prefetches ahead of on every bucket, through
	// chains of up to five.  Each has entries at the start, a long chain,
	// runs of empty buckets, and two of every three of its last 40 buckets,
	// where a prefetch that reached too far, from a bucket with entries or
	// an empty one, would read past the bucket array.
	const gint size = 300007;
	struct {
		const char *name;
		int gap;  // buckets from one entry to the next, less one
		int chain;  // entries a bucket holds, up to, by its index
	} const shapes[] = {{"sparse", 977, 1}, {"dense", 1, 5}};
	for (const auto &shape : shapes) {
		Buckets b(size);
		std::vector<Entry> want;
		for (gint n = 0; n < size; n += (n % 7 == 0 ? shape.gap : 0) + 1)
			for (int k = 0; k < 1 + n % shape.chain; k++)
				b[static_cast<size_t>(n)].push_back({P(n * 5 + k + 1), P(-n)});
		for (int n = 0; n < 500; n++)
			b[150000].push_back({P(size * 5 + n + 1), P(n)});
		for (gint n = size - 40; n < size; n++)
			if (n % 3)
				b[static_cast<size_t>(n)].push_back({P(size * 6 + n), P(7)});
		for (const auto &chain : b)
			want.insert(want.end(), chain.begin(), chain.end());

		HandTable h(b);
		Iter i(&h.table);
		if (!CHECK(walk(i.it) == want) || !CHECK(i.it->i == size && i.it->node == nullptr) ||
		    !CHECK(next(i.it) == end))
			std::fprintf(stderr, "  in the %s table\n", shape.name);
	}
}

// Named without a call, the functions are the library's own, inline step
// or not: those of BUCKETWALK_1.3, which the header binds its programs to;
// for programs built with older headers, those of the version they were
// linked against, 1.1's or the default, 1.2's, which are the same.
bool
library_function(void *f, const char *name)
{
#if BUCKETWALK_MINOR_VERSION >= 3
	return f == dlvsym(RTLD_DEFAULT, name, "BUCKETWALK_1.3");
#else
	return f == dlvsym(RTLD_DEFAULT, name, "BUCKETWALK_1.2") && f == dlvsym(RTLD_DEFAULT, name, "BUCKETWALK_1.1");
#endif
}

void
addresses_are_the_library_functions()
{
	CHECK(library_function(reinterpret_cast<void *>(&g_hash_iter_next), "g_hash_iter_next"));
	CHECK(library_function(reinterpret_cast<void *>(&g_hash_iter_first), "g_hash_iter_first"));
}

#if defined(BUCKETWALK_DISABLE_CHECKS) && defined(__OPTIMIZE__)
// A checked step, the inline one (built as C: c_next) or the library's,
// takes over a walk that steps without checks took past the buckets of the
// table as it now is: the table grew meanwhile and shrank back to the size
// and count that the walk began with.  It reads no bucket past the last
// (which lies before an inaccessible page), and reports.  So from each of
// the places a checked step may have left the walk: a chain's head, its
// second and third entry, further down.  Without optimisation every step
// is the library's, which checks, so that no step leaves the walk there.
int reports;

void
checked_steps_take_over()
{
	HandTable small(Buckets{{{P(1), P(1)}, {P(2), P(2)}, {P(3), P(3)}, {P(4), P(4)}, {P(5), P(5)}}, {}});
	Buckets b(100);
	for (long k = 1; k <= 5; k++)
		b[static_cast<size_t>(80 + k)].push_back({P(k + 10), P(k)});
	HandTable large(b);
	g_log_set_handler("bucketwalk", G_LOG_LEVEL_CRITICAL, [](const gchar *, GLogLevelFlags, const gchar *, gpointer) { reports++; }, nullptr);
	using Next = gpointer (*)(GHashIter *, gpointer *, gpointer *);
	Next volatile library_next = g_hash_iter_next;
	for (Next take : {Next(c_next), Next(library_next)})
		for (int checked = 0; checked <= 4; checked++) {
			GHashTable t = small.table;
			Iter i(&t);
			gpointer key, val;
			c_first(i.it, &key, &val);
			for (int n = 0; n < checked; n++)
				c_next(i.it, &key, &val);
			t.size = large.table.size;
			t.nodes = large.table.nodes;
			while (i.it->i < 81)
				g_hash_iter_next(i.it, &key, &val);  // without checks
			t.size = small.table.size;
			t.nodes = small.table.nodes;
			reports = 0;
			CHECK(i.it->node && take(i.it, &key, &val) == nullptr && !i.it->node && g_hash_iter_changed(i.it) &&
			      reports == 1);
		}
}
#endif

}  // namespace

int
main()
{
	return check::run_all({
		{"null table", null_table},
		{"size 0 or less", no_buckets},
		{"buckets without entries", empty_buckets},
		{"only the last bucket", last_bucket_only},
		{"two entries in one chain", chain_in_one_bucket},
		{"buckets 2 and 5", bucket_order_not_insertion_order},
		{"next right after new", next_right_after_new},
		{"restart mid-walk", restart_mid_walk},
		{"null key", null_key},
		{"same slot for key and value", same_slot_for_key_and_value},
		{"next after the end", stays_at_the_end_without_reading},
		{"large tables, sparse and dense", large_tables},
		{"addresses are the library's functions", addresses_are_the_library_functions},
#if defined(BUCKETWALK_DISABLE_CHECKS) && defined(__OPTIMIZE__)
		{"checked steps take over a walk without checks", checked_steps_take_over},
#endif
	});
}
