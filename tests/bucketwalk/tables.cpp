// The iterator on tables built through GLib's own calls, real GLib 1.2 or
// the stand-in: placement and order known in advance, random histories of
// inserts, removes, freezes and thaws whose walk must equal
// g_hash_table_foreach entry for entry, no allocation during a walk, and
// tables changed in the middle of a walk, which must end it with a report
// and never hand out an entry that is no longer in the table.

#include <bucketwalk.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
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
// expects none checks the count it leaves behind.  A case may give the
// handler something to do with the iterator whose step reports.
int reports;
std::string last_report;
GHashIter *reporting;
void (*in_handler)(GHashIter *it);

void
on_report(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
	reports++;
	last_report = message;
	CHECK(domain && std::strcmp(domain, "bucketwalk") == 0);
	CHECK(level & G_LOG_LEVEL_CRITICAL);
	if (in_handler && reporting)
		in_handler(reporting);
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

#if BUCKETWALK_MINOR_VERSION >= 2
// The library's step, through a pointer, so that it is called where the
// inline step is built too.
gpointer (*volatile library_next)(GHashIter *, gpointer *, gpointer *) = g_hash_iter_next;
#endif

#if BUCKETWALK_MINOR_VERSION >= 2 && !defined(G_DISABLE_CHECKS)
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

// 1.1's step, which programs built with the 1.1 header call.
using Next = gpointer (*)(GHashIter *, gpointer *, gpointer *);
const Next library_next_1_1 = reinterpret_cast<Next>(dlvsym(RTLD_DEFAULT, "g_hash_iter_next", "BUCKETWALK_1.1"));

// Keys 1 to 200, values ten times the key, in the buckets of a table that
// grew to hold them, or in the 11 of one frozen from its start.
GHashTable *
two_hundred(bool frozen)
{
	GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
	if (frozen)
		g_hash_table_freeze(t);
	for (long k = 1; k <= 200; k++)
		g_hash_table_insert(t, GINT_TO_POINTER(k), GINT_TO_POINTER(k * 10));
	return t;
}

// A change made to a table between two steps of a walk, at each of the
// first 40 places the walk passes through (heads of chains and nodes
// further down): one call or several, on the walked table and on another,
// GLib's free list holding the nodes of a destroyed table.  A change of the
// count or size is reported by the very next step, which ends the walk.
// Any other change is reported by the very next step or leaves the walk
// exact.  Every entry handed out is in the table with its current value,
// and none twice.  Each change names the keys it took out of the table.
using Gone = std::vector<gpointer>;

gpointer
K(long k)
{
	return GINT_TO_POINTER(k);
}

void
drop(GHashTable *t, long k, Gone &gone)
{
	g_hash_table_remove(t, K(k));
	gone.push_back(K(k));
}

long
L(gpointer k)
{
	return GPOINTER_TO_INT(k);
}

// The log handlers' doings: step the iterator whose step reports, which
// stays at the end, silently; or start its walk again, which stands.
void
step_again(GHashIter *it)
{
	gpointer key = K(1), val = K(1);
	CHECK(g_hash_iter_next(it, &key, &val) == nullptr && !key && !val && !it->node);
	key = val = K(1);
	CHECK(library_next(it, &key, &val) == nullptr && !key && !val && !it->node);
	CHECK(g_hash_iter_changed(it));
}

void
start_again(GHashIter *it)
{
	gpointer key, val;
	CHECK(g_hash_iter_first(it, &key, &val) && it->node);
}

struct Change {
	const char *name;
	bool frozen;  // when the walk begins
	void (*make)(GHashTable *t, long current, GHashTable *other, Gone &gone);
	enum { reported, exact, either } outcome;
	void (*handler)(GHashIter *it);
};

const Change changes[] = {
	{"the current entry removed", false, [](GHashTable *t, long k, GHashTable *, Gone &g) { drop(t, k, g); }, Change::reported, nullptr},
	{"the current entry removed, frozen", true, [](GHashTable *t, long k, GHashTable *, Gone &g) { drop(t, k, g); }, Change::reported, nullptr},
	{"another entry removed", false, [](GHashTable *t, long k, GHashTable *, Gone &g) { drop(t, k == 7 ? 8 : 7, g); }, Change::reported, nullptr},
	{"an entry inserted", false, [](GHashTable *t, long, GHashTable *, Gone &) { g_hash_table_insert(t, K(5000), nullptr); }, Change::reported, nullptr},
	{"an entry inserted, frozen", true, [](GHashTable *t, long, GHashTable *, Gone &) { g_hash_table_insert(t, K(5000), nullptr); }, Change::reported, nullptr},
	{"foreach_remove removes the current entry", false,
	 [](GHashTable *t, long k, GHashTable *, Gone &g) {
		 CHECK(g_hash_table_foreach_remove(t, remove_key, K(k)) == 1);
		 g.push_back(K(k));
	 },
	 Change::reported, nullptr},
	{"thawed after growing while frozen", true, [](GHashTable *t, long, GHashTable *, Gone &) { g_hash_table_thaw(t); }, Change::reported, nullptr},
	{"the current entry renamed: a new key inserted, the current one removed", false,
	 [](GHashTable *t, long k, GHashTable *, Gone &g) {
		 g_hash_table_insert(t, K(k + 1000), nullptr);
		 drop(t, k, g);
	 },
	 Change::either, nullptr},
	{"the current entry removed, then its key inserted again", false,
	 [](GHashTable *t, long k, GHashTable *, Gone &g) {
		 drop(t, k, g);
		 g_hash_table_insert(t, K(k), nullptr);
	 },
	 Change::either, nullptr},
	{"the current entry removed, then a key of its bucket inserted", false,
	 [](GHashTable *t, long k, GHashTable *, Gone &g) {
		 drop(t, k, g);
		 g_hash_table_insert(t, K(k + t->size), nullptr);
	 },
	 Change::either, nullptr},
	{"the current entry removed, a key of its bucket inserted, then its own key again", false,
	 [](GHashTable *t, long k, GHashTable *, Gone &g) {
		 drop(t, k, g);
		 g_hash_table_insert(t, K(k + t->size), nullptr);
		 g_hash_table_insert(t, K(k), nullptr);
		 drop(t, k == 7 ? 8 : 7, g);
	 },
	 Change::either, nullptr},
	{"the current entry removed, another table grown by an insertion, a new key inserted", false,
	 [](GHashTable *t, long k, GHashTable *other, Gone &g) {
		 drop(t, k, g);
		 g_hash_table_insert(other, K(-1), nullptr);
		 g_hash_table_insert(t, K(k + 1000), nullptr);
	 },
	 Change::either, nullptr},
	{"the current entry removed, an entry removed from another table, a new key inserted", false,
	 [](GHashTable *t, long k, GHashTable *other, Gone &g) {
		 drop(t, k, g);
		 g_hash_table_remove(other, K(-2));
		 g_hash_table_insert(t, K(k + 1000), nullptr);
	 },
	 Change::either, nullptr},
	{"the previous, current and next entries removed, their keys inserted again", false,
	 [](GHashTable *t, long k, GHashTable *, Gone &g) {
		 for (long n : {k + 1, k, k - 1})
			 drop(t, n, g);
		 for (long n : {k - 1, k, k + 1})
			 g_hash_table_insert(t, K(n), nullptr);
	 },
	 Change::either, nullptr},
	{"the current entry and the next 9 removed, 10 new keys inserted", false,
	 [](GHashTable *t, long k, GHashTable *, Gone &g) {
		 for (long n = 0; n < 10; n++)
			 drop(t, k + n, g);
		 for (long n = 0; n < 10; n++)
			 g_hash_table_insert(t, K(k + 2000 + n), nullptr);
	 },
	 Change::either, nullptr},
	{"all but 10 entries removed and as many inserted: the table shrinks and grows back", false,
	 [](GHashTable *t, long k, GHashTable *, Gone &g) {
		 for (long n = 1; n <= 200; n++)
			 if (n < k - 5 || n > k + 4)
				 drop(t, n, g);
		 for (long n = 1; n <= 200; n++)
			 if (n < k - 5 || n > k + 4)
				 g_hash_table_insert(t, K(n + 3000), nullptr);
	 },
	 Change::either, nullptr},
	{"the current entry's value replaced", false, [](GHashTable *t, long k, GHashTable *, Gone &) { g_hash_table_insert(t, K(k), nullptr); }, Change::exact, nullptr},
	{"foreach_remove removes nothing", false,
	 [](GHashTable *t, long, GHashTable *, Gone &) { CHECK(g_hash_table_foreach_remove(t, remove_key, nullptr) == 0); }, Change::exact, nullptr},
	{"frozen and thawed, nothing else", false, [](GHashTable *t, long, GHashTable *, Gone &) { g_hash_table_freeze(t), g_hash_table_thaw(t); }, Change::exact, nullptr},
	{"another table's entries removed and inserted", false,
	 [](GHashTable *, long, GHashTable *other, Gone &) {
		 g_hash_table_remove(other, K(-3));
		 g_hash_table_insert(other, K(-40), nullptr);
	 },
	 Change::exact, nullptr},
	{"a log handler that steps the iterator", false, [](GHashTable *t, long k, GHashTable *, Gone &g) { drop(t, k, g); }, Change::reported, step_again},
	{"a log handler that starts the walk again", false, [](GHashTable *t, long k, GHashTable *, Gone &g) { drop(t, k, g); }, Change::reported, start_again},
};

// Steps a inline and b through the library, which must agree, and returns
// whether they reported a change; adds what they hand out to seen.  A
// third iterator, stepped by 1.1's step, must hand out only what is in the
// table.
bool
step_both(GHashTable *t, GHashIter *a, GHashIter *b, GHashIter *old, std::vector<Entry> &seen)
{
	gpointer ka, va, kb, vb, ko, vo;
	const int before = reports;
	reporting = a;
	gpointer ra = g_hash_iter_next(a, &ka, &va);
	reporting = b;
	gpointer rb = library_next(b, &kb, &vb);
	reporting = nullptr;
	CHECK(ra == rb && ka == kb && va == vb);
	CHECK(a->i == b->i && a->node == b->node && a->size == b->size && a->nnodes == b->nnodes &&
	      a->chain == b->chain);
	const bool reported = reports != before;
	CHECK(!reported || reports == before + 2);
	if (old->node) {
		const int count = reports;
		library_next_1_1(old, &ko, &vo);
		CHECK(!old->node || present(t, {ko, vo}));
		reports = count;
	}
	if (a->node && !reported) {
		CHECK(present(t, {ka, va}));
		for (const Entry &e : seen)
			if (!CHECK(e.first != ka))
				break;
		seen.emplace_back(ka, va);
	}
	return reported;
}

void
changed_tables()
{
	GHashTable *spare = g_hash_table_new(g_direct_hash, g_direct_equal);
	for (long k = 1; k <= 300; k++)
		g_hash_table_insert(spare, K(-k), K(-k));
	g_hash_table_destroy(spare);
	CHECK(library_next_1_1 != nullptr);

	for (const Change &c : changes) {
		const int failed_before = check::failures();
		int cut_short = 0;
		for (int at = 0; at < 40 && check::failures() == failed_before; at++) {
			GHashTable *t = two_hundred(c.frozen), *other = g_hash_table_new(g_direct_hash, g_direct_equal);
			for (long k = 2; k <= 33; k++)
				g_hash_table_insert(other, K(-k), nullptr);
			const std::vector<Entry> before = foreach(t);
			std::vector<Entry> seen;
			Gone gone;
			reports = 0;

			GHashIter *a = g_hash_iter_new(t), *b = g_hash_iter_new(t), *old = g_hash_iter_new(t);
			gpointer key, val;
			g_hash_iter_first(a, &key, &val);
			g_hash_iter_first(b, &key, &val);
			g_hash_iter_first(old, &key, &val);
			seen.emplace_back(key, val);
			for (int n = 0; n < at; n++)
				step_both(t, a, b, old, seen);
			const size_t handed_out = seen.size();
			c.make(t, L(seen.back().first), other, gone);
			// A report comes at the very next step, or never.
			in_handler = c.handler;
			const bool reported = step_both(t, a, b, old, seen);
			in_handler = nullptr;
			while (c.handler != start_again && a->node && CHECK(!step_both(t, a, b, old, seen)))
				;
			CHECK(reported || c.outcome != Change::reported);
			CHECK(!reported || c.outcome != Change::exact);
			if (reported) {
				cut_short++;
				CHECK(seen.size() == handed_out && reports == 2);
				CHECK(last_report.find("g_hash_iter_next: the table changed during the walk") == 0);
			} else {
				// Exact: every entry that was in the table throughout.
				for (const Entry &e : before) {
					bool left = false, once = false;
					for (gpointer k : gone)
						left = left || k == e.first;
					for (const Entry &h : seen)
						once = once || h.first == e.first;
					CHECK(left || once);
				}
			}
			if (c.handler != start_again) {
				// The end, a's by the inline step and b's by the library,
				// stepped by the other way: it stays, silently.
				for (GHashIter *it : {a, b})
					CHECK(!it->node && it->i == t->size && it->nnodes == (reported ? -2 : -1) &&
					      it->chain == 0 && bool(g_hash_iter_changed(it)) == reported);
				gpointer kx = K(1), vx = K(1);
				CHECK(library_next(a, &kx, &vx) == nullptr && !kx && !vx && !a->node);
				kx = vx = K(1);
				CHECK(g_hash_iter_next(b, &kx, &vx) == nullptr && !kx && !vx && !b->node);
				CHECK(a->i == b->i && a->nnodes == b->nnodes && reports == (reported ? 2 : 0));
			} else if (reported) {
				// The handler's restart stood: the walk goes on from the
				// first entry, as foreach walks the table.
				CHECK(!g_hash_iter_changed(a) && a->node && a->node == b->node);
				std::vector<Entry> again;
				for (; a->node; g_hash_iter_next(a, &key, &val))
					again.emplace_back(a->node->key, a->node->value);
				CHECK(again == foreach(t));
			}
			// A restart walks the table as it now is.
			reports = 0;
			std::vector<Entry> again;
			for (g_hash_iter_first(a, &key, &val); a->node; g_hash_iter_next(a, &key, &val))
				again.emplace_back(key, val);
			CHECK(again == foreach(t) && reports == 0 && !g_hash_iter_changed(a));
			g_hash_iter_destroy(a);
			g_hash_iter_destroy(b);
			g_hash_iter_destroy(old);
			g_hash_table_destroy(t);
			g_hash_table_destroy(other);
		}
		if (check::failures() != failed_before)
			std::printf("  in: %s\n", c.name);
		else if (c.outcome == Change::either)
			std::printf("  %s: reported at %d of 40 places\n", c.name, cut_short);
	}
	reports = 0;
}

// Keys chosen so that the chain a step finds would have the fingerprint of
// the one it left, were the fingerprint a fixed function of the keys alone
// (a multiply and add from 1, a sum, an exclusive or): the current entry X
// is removed, and Y, inserted, takes its node behind A, which the walk
// would then miss.  The step must report it.
void
chosen_keys_found_out()
{
	using Start = gulong (*)(gulong x, gulong a);
	const Start attacks[] = {
		[](gulong x, gulong a) { return 0x5bd1e995UL + x - (0x5bd1e995UL + a) * 0x5bd1e995UL; },
		[](gulong x, gulong a) { return x - a; },
		[](gulong x, gulong a) { return x ^ a; },
	};
	for (Start y_for : attacks) {
		// X and A share a bucket of a table of 11 buckets, and so must Y.
		gulong x = 1, a = 12, y = y_for(x, a);
		while (static_cast<guint>(y) % 11 != x % 11 || y == x || y == a) {
			if ((a += 11) > 3000)
				x++, a = x + 11;
			y = y_for(x, a);
		}
		GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
		g_hash_table_insert(t, reinterpret_cast<gpointer>(x), nullptr);
		g_hash_table_insert(t, reinterpret_cast<gpointer>(a), nullptr);
		GHashIter *it = g_hash_iter_new(t);
		gpointer key, val;
		g_hash_iter_first(it, &key, &val);
		CHECK(key == reinterpret_cast<gpointer>(x));
		g_hash_table_remove(t, key);
		g_hash_table_insert(t, reinterpret_cast<gpointer>(y), nullptr);
		reports = 0;
		CHECK(!g_hash_iter_next(it, &key, &val) && g_hash_iter_changed(it) && reports == 1);
		g_hash_iter_destroy(it);
		g_hash_table_destroy(t);
	}
	reports = 0;
}

// A walk of a table without entries ends at once, in either way, and the
// other way's step stays there.
void
ends_crossed()
{
	GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
	GHashIter *a = g_hash_iter_new(t), *b = g_hash_iter_new(t);
	gpointer key = K(1), val = K(1);
	CHECK(!a->node && a->nnodes == -1 && !g_hash_iter_changed(a));
	CHECK(g_hash_iter_next(a, &key, &val) == nullptr && !key && !val);
	key = val = K(1);
	CHECK(library_next(b, &key, &val) == nullptr && !key && !val && b->i == a->i && b->nnodes == -1);
	g_hash_iter_destroy(a);
	g_hash_iter_destroy(b);
	g_hash_table_destroy(t);
}
#endif

#if defined(G_DISABLE_CHECKS) && defined(__OPTIMIZE__)
// The library's step takes over a walk that steps without checks took past
// the buckets of the table as it now is, which has its size and count of
// the walk's start again: it reads no bucket past the last, and reports.
// Without optimisation every step is the library's, which checks, so no
// step leaves the walk there.
void
library_takes_over_an_unchecked_walk()
{
	GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
	for (long k = 1; k <= 5; k++)
		g_hash_table_insert(t, GINT_TO_POINTER(k), GINT_TO_POINTER(k));
	GHashIter *it = g_hash_iter_new(t);
	gpointer key, val;
	g_hash_iter_first(it, &key, &val);
	g_hash_table_freeze(t);
	for (long k = 6; k <= 200; k++)
		g_hash_table_insert(t, GINT_TO_POINTER(k), nullptr);
	g_hash_table_thaw(t);
	while (it->node && it->i < 40)
		g_hash_iter_next(it, &key, &val);
	g_hash_table_freeze(t);
	for (long k = 6; k <= 200; k++)
		g_hash_table_remove(t, GINT_TO_POINTER(k));
	g_hash_table_thaw(t);
	CHECK(it->node && it->i >= t->size);
	reports = 0;
	CHECK(library_next(it, &key, &val) == nullptr && !it->node && reports == 1);
	reports = 0;
	g_hash_iter_destroy(it);
	g_hash_table_destroy(t);
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
#if BUCKETWALK_MINOR_VERSION >= 2 && !defined(G_DISABLE_CHECKS)
		{"changed tables: reported, or the walk stays exact", changed_tables},
		{"keys chosen to share a fingerprint found out", chosen_keys_found_out},
		{"ends crossed between the inline step and the library", ends_crossed},
#endif
#if BUCKETWALK_MINOR_VERSION >= 2 && defined(G_DISABLE_CHECKS) && defined(__OPTIMIZE__)
		{"the library takes over a walk without checks", library_takes_over_an_unchecked_walk},
#endif
	});
}
