// The iterator on tables built through GLib's own calls, real GLib 1.2 or
// the stand-in: placement and order known in advance, random histories of
// inserts, removes, freezes and thaws whose walk must equal
// g_hash_table_foreach entry for entry, no allocation during a walk, and
// tables changed in the middle of a walk, which must end it with a report
// and never hand out an entry that is no longer in the table.

#include <bucketwalk.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.h"

namespace {

using Entry = std::pair<gpointer, gpointer>;

// Counts the allocations made through the C library while `counting` is set.
// The build leaves COUNT_ALLOCATIONS undefined under the sanitizers, which
// replace the allocator themselves.
#ifdef COUNT_ALLOCATIONS
bool counting;
int allocations;
}  // namespace

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *malloc(size_t n)
{
	allocations += counting;
	return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
	allocations += counting;
	return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
	allocations += counting;
	return __libc_realloc(p, n);
}
}

namespace {
#endif

// The CRITICALs the library and the inline step log, counted; a case that
// expects none checks the count it leaves behind.
int reports;
std::string last_report;

void
on_report(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
	reports++;
	last_report = message;
	CHECK(domain && std::strcmp(domain, "bucketwalk") == 0);
	CHECK(level & G_LOG_LEVEL_CRITICAL);
}

std::vector<Entry>
walk(GHashTable *t)
{
	std::vector<Entry> seen;
	GHashIter *it = g_hash_iter_new(t);
	gpointer key, val;
	for (g_hash_iter_first(it, &key, &val); it->node; g_hash_iter_next(it, &key, &val))
		seen.emplace_back(key, val);
	CHECK(key == nullptr && val == nullptr);
	g_hash_iter_destroy(it);
	return seen;
}

std::vector<Entry>
foreach(GHashTable *t)
{
	std::vector<Entry> seen;
	g_hash_table_foreach(
	    t, [](gpointer k, gpointer v, gpointer all) { static_cast<std::vector<Entry> *>(all)->emplace_back(k, v); },
	    &seen);
	return seen;
}

std::vector<long>
walk_keys(GHashTable *t)
{
	std::vector<long> keys;
	for (const Entry &e : walk(t))
		keys.push_back(GPOINTER_TO_INT(e.first));
	return keys;
}

// Orders worked out by hand from GLib 1.2's rules: 11 buckets to start,
// entries appended to their chain, resizes to the next spaced prime that
// push every node onto the head of its new chain.
void
placement_as_glib()
{
	GHashTable *t = g_hash_table_new(nullptr, nullptr);  // direct hash, pointer keys
	for (long k = 1; k <= 40; k++)
		g_hash_table_insert(t, GINT_TO_POINTER(k), GINT_TO_POINTER(k));
	CHECK(t->size == 37);
	CHECK(walk_keys(t) == (std::vector<long>{37, 1, 38, 2, 39, 3, 40, 4, 5, 6, 7, 8, 9, 10,
						 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
						 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36}));
	for (long k = 41; k <= 100; k++)
		g_hash_table_insert(t, GINT_TO_POINTER(k), nullptr);
	for (long k = 1; k <= 90; k++)
		g_hash_table_remove(t, GINT_TO_POINTER(k));
	CHECK(t->size == 19);
	CHECK(walk_keys(t) == (std::vector<long>{95, 96, 97, 98, 99, 100, 91, 92, 93, 94}));
	g_hash_table_destroy(t);

	// Keys that share bucket 0 at 11 and at 73 buckets: one chain, in
	// insertion order while frozen, reversed by the resize on thaw.
	t = g_hash_table_new(g_direct_hash, g_direct_equal);
	g_hash_table_freeze(t);
	g_hash_table_freeze(t);
	std::vector<long> in, reversed;
	for (long i = 1; i <= 40; i++) {
		g_hash_table_insert(t, GINT_TO_POINTER(i * 803), GINT_TO_POINTER(i));
		in.push_back(i * 803);
		reversed.insert(reversed.begin(), i * 803);
	}
	g_hash_table_thaw(t);
	CHECK(t->size == 11 && walk_keys(t) == in);
	g_hash_table_thaw(t);
	CHECK(t->size == 73 && walk_keys(t) == reversed);
	g_hash_table_destroy(t);
}

void
insert_keeps_the_first_key()
{
	static char a1[] = "same", a2[] = "same";
	GHashTable *t = g_hash_table_new(g_str_hash, g_str_equal);
	g_hash_table_insert(t, a1, GINT_TO_POINTER(1));
	g_hash_table_insert(t, a2, GINT_TO_POINTER(2));
	CHECK(walk(t) == (std::vector<Entry>{{a1, GINT_TO_POINTER(2)}}));
	g_hash_table_destroy(t);
}

void
string_hash()
{
	const std::pair<const char *, guint> known[] = {
		{"", 0u}, {"a", 97u}, {"ab", 3105u}, {"\xe9", 4294967273u}, {"a\xe9", 2984u},
		{"hello", 99162322u},
	};
	for (const auto &k : known)
		CHECK(g_str_hash(k.first) == k.second);
}

// Random histories over four kinds of keys; after each batch the walk must
// be foreach's sequence, a restart the same walk, and two iterators agree.
void
random_histories_walk_as_foreach()
{
	static std::vector<std::string> words;
	static gint ints[4096];
	for (int i = 0; i < 4096; i++) {
		ints[i] = i * 7919 - 10000000;
		words.push_back("w" + std::to_string(i * 104729u) + (i % 3 ? "\xc3\xa9" : ""));
	}
	struct Kind {
		GHashFunc hash;
		GCompareFunc eq;
		gpointer (*key)(int);
	};
	const Kind kinds[] = {
		{nullptr, nullptr, [](int i) { return GINT_TO_POINTER(i * 11); }},
		{g_direct_hash, g_direct_equal, [](int i) { return GINT_TO_POINTER(i); }},
		{g_int_hash, g_int_equal, [](int i) { return static_cast<gpointer>(&ints[i]); }},
		{g_str_hash, g_str_equal, [](int i) { return static_cast<gpointer>(&words[static_cast<size_t>(i)][0]); }},
	};
	std::mt19937 rng(20261208);
	for (int round = 0; round < 40; round++) {
		const Kind &kind = kinds[round % 4];
		const int span = 1 << (4 + round % 9);
		GHashTable *t = g_hash_table_new(kind.hash, kind.eq);
		int frozen = 0;
		for (int batch = 0; batch < 8; batch++) {
			for (int op = 0; op < span; op++) {
				int r = static_cast<int>(rng() % 100);
				gpointer key = kind.key(static_cast<int>(rng() % static_cast<unsigned>(span)));
				if (r < 60)
					g_hash_table_insert(t, key, GINT_TO_POINTER(op));
				else if (r < 97)
					g_hash_table_remove(t, key);
				else if (r < 99 && frozen < 3)
					g_hash_table_freeze(t), frozen++;
				else
					g_hash_table_thaw(t), frozen -= frozen > 0;
			}
			const std::vector<Entry> want = foreach(t);
			const std::vector<Entry> got = walk(t);
			CHECK(got == want);
			CHECK(got.size() == g_hash_table_size(t));

			GHashIter *a = g_hash_iter_new(t), *b = g_hash_iter_new(t);
			gpointer ka, va, kb, vb;
			g_hash_iter_first(a, &ka, &va);
			g_hash_iter_first(b, &kb, &vb);
			for (size_t n = 0; n < want.size(); n++) {
				CHECK(ka == want[n].first && va == want[n].second && ka == kb && va == vb);
				g_hash_iter_next(a, &ka, &va);
				g_hash_iter_next(b, &kb, &vb);
			}
			CHECK(a->node == nullptr && a->i == t->size);
			g_hash_iter_destroy(a);
			g_hash_iter_destroy(b);
		}
		g_hash_table_destroy(t);
	}
}

#if BUCKETWALK_MINOR_VERSION >= 1 && !defined(G_DISABLE_CHECKS)
// Whether an entry is in the table now, with this key and value.
bool
present(GHashTable *t, const Entry &e)
{
	gpointer key, val;
	return g_hash_table_lookup_extended(t, e.first, &key, &val) && key == e.first && val == e.second;
}

gboolean
remove_key(gpointer key, gpointer, gpointer doomed)
{
	return key == doomed;
}

// A change made to a table in the middle of a walk, on the entry the
// iterator stands on or elsewhere.  A change is found by the very next step;
// a resize that leaves the count as it was, by the next step into a bucket
// at the latest.  The rest are no changes, and the walk goes on.
struct Change {
	const char *name;
	bool frozen;  // when the walk begins
	void (*make)(GHashTable *t, gpointer current);
	enum { next_step, step_into_a_bucket, none } found;
};

const Change changes[] = {
	{"the current entry removed", false, [](GHashTable *t, gpointer k) { g_hash_table_remove(t, k); }, Change::next_step},
	{"the current entry removed, frozen", true, [](GHashTable *t, gpointer k) { g_hash_table_remove(t, k); }, Change::next_step},
	{"another entry removed", false, [](GHashTable *t, gpointer) { g_hash_table_remove(t, GINT_TO_POINTER(7)); }, Change::next_step},
	{"an entry inserted", false, [](GHashTable *t, gpointer) { g_hash_table_insert(t, GINT_TO_POINTER(5000), nullptr); }, Change::next_step},
	{"an entry inserted, frozen", true, [](GHashTable *t, gpointer) { g_hash_table_insert(t, GINT_TO_POINTER(5000), nullptr); }, Change::next_step},
	{"foreach_remove removes the current entry", false,
	 [](GHashTable *t, gpointer k) { CHECK(g_hash_table_foreach_remove(t, remove_key, k) == 1); }, Change::next_step},
	{"thawed after growing while frozen", true, [](GHashTable *t, gpointer) { g_hash_table_thaw(t); }, Change::step_into_a_bucket},
	{"the current entry's value replaced", false, [](GHashTable *t, gpointer k) { g_hash_table_insert(t, k, nullptr); }, Change::none},
	{"foreach_remove removes nothing", false,
	 [](GHashTable *t, gpointer) { CHECK(g_hash_table_foreach_remove(t, remove_key, nullptr) == 0); }, Change::none},
	{"frozen and thawed, nothing else", false, [](GHashTable *t, gpointer) { g_hash_table_freeze(t), g_hash_table_thaw(t); }, Change::none},
};

void
changed_tables_end_the_walk()
{
	// Nodes on GLib's free list, with keys and values of their own, for a
	// step that followed a node GLib took back to hand out.
	GHashTable *spare = g_hash_table_new(g_direct_hash, g_direct_equal);
	for (long k = 1; k <= 300; k++)
		g_hash_table_insert(spare, GINT_TO_POINTER(-k), GINT_TO_POINTER(-k));
	g_hash_table_destroy(spare);

	for (const Change &c : changes) {
		const int failed_before = check::failures();
		GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
		// 200 entries: in 223 buckets, or in the 11 of a table frozen from
		// its start, which a thaw resizes.
		if (c.frozen)
			g_hash_table_freeze(t);
		for (long k = 1; k <= 200; k++)
			g_hash_table_insert(t, GINT_TO_POINTER(k), GINT_TO_POINTER(k * 10));
		const std::vector<Entry> before = foreach(t);
		reports = 0;

		GHashIter *it = g_hash_iter_new(t);
		gpointer key, val;
		std::vector<Entry> seen;
		g_hash_iter_first(it, &key, &val);
		for (int n = 0; n < 12; n++)
			seen.emplace_back(key, val), g_hash_iter_next(it, &key, &val);
		c.make(t, key);
		seen.emplace_back(key, val);
		// Steps until the walk ends; until then each hands out an entry
		// that is in the table, and with a resize no step into a bucket.
		for (;;) {
			const bool into_a_bucket = it->node->next == nullptr;
			g_hash_iter_next(it, &key, &val);
			if (!it->node)
				break;
			if (!CHECK(c.found != Change::next_step) ||
			    !CHECK(!(c.found == Change::step_into_a_bucket && into_a_bucket)) ||
			    !CHECK(present(t, {key, val})))
				break;
			seen.emplace_back(key, val);
		}
		CHECK(it->node || (key == nullptr && val == nullptr));
		if (c.found == Change::none) {
			CHECK(reports == 0);
			CHECK(seen.size() == before.size());
		} else {
			CHECK(reports == 1);
			CHECK(last_report.find("g_hash_iter_next: the table changed during the walk") == 0);
			// Ended, and stays so without another report.
			CHECK(g_hash_iter_next(it, &key, &val) == nullptr && key == nullptr && val == nullptr);
			CHECK(it->node == nullptr && reports == 1);
		}
		// A restart walks the table as it now is.
		std::vector<Entry> again;
		for (g_hash_iter_first(it, &key, &val); it->node; g_hash_iter_next(it, &key, &val))
			again.emplace_back(key, val);
		CHECK(again == foreach(t));
		CHECK(reports == (c.found == Change::none ? 0 : 1));
		g_hash_iter_destroy(it);
		g_hash_table_destroy(t);
		if (check::failures() != failed_before)
			std::printf("  in: %s\n", c.name);
	}
	reports = 0;
}
#endif

// A walk inside foreach's callback, of the table foreach walks.
void
walks_inside_foreach()
{
	GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
	for (long k = 1; k <= 50; k++)
		g_hash_table_insert(t, GINT_TO_POINTER(k), GINT_TO_POINTER(k));
	static GHashTable *table;
	static size_t walked;
	table = t;
	walked = 0;
	g_hash_table_foreach(
	    t, [](gpointer, gpointer, gpointer) { walked += walk(table).size(); }, nullptr);
	CHECK(walked == 50 * 50);
	g_hash_table_destroy(t);
}

// Everything but the changed tables, which count their own reports.
void
nothing_else_reported()
{
	CHECK(reports == 0);
}

void
one_allocation_per_iterator()
{
#ifdef COUNT_ALLOCATIONS
	GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
	for (long k = 1; k <= 100000; k++)
		g_hash_table_insert(t, GINT_TO_POINTER(k), GINT_TO_POINTER(k));
	allocations = 0;
	counting = true;
	GHashIter *it = g_hash_iter_new(t);
	CHECK(allocations == 1);
	gpointer key, val;
	long n = 0;
	for (g_hash_iter_first(it, &key, &val); key; g_hash_iter_next(it, &key, &val))
		n++;
	g_hash_iter_first(it, &key, &val);
	g_hash_iter_next(it, &key, &val);
	counting = false;
	CHECK(allocations == 1);
	CHECK(n == 100000);
	g_hash_iter_destroy(it);
	g_hash_table_destroy(t);
#endif
}

}  // namespace

int
main()
{
	g_log_set_handler("bucketwalk", G_LOG_LEVEL_CRITICAL, on_report, nullptr);
	return check::run_all({
		{"placement as GLib 1.2", placement_as_glib},
		{"insert keeps the first key", insert_keeps_the_first_key},
		{"g_str_hash", string_hash},
		{"random histories walk as foreach", random_histories_walk_as_foreach},
		{"walks inside foreach", walks_inside_foreach},
		{"one allocation per iterator", one_allocation_per_iterator},
		{"nothing reported of unchanged tables", nothing_else_reported},
#if BUCKETWALK_MINOR_VERSION >= 1 && !defined(G_DISABLE_CHECKS)
		{"changed tables end the walk", changed_tables_end_the_walk},
#endif
	});
}
