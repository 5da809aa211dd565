// The iterator on tables built through GLib's own calls, real GLib 1.2 or
// the stand-in: placement and order known in advance, random histories of
// inserts, removes, freezes and thaws whose walk must equal
// g_hash_table_foreach entry for entry, no allocation during a walk, and
// tables changed in the middle of a walk, which must end it with a report
// and never hand out an entry that is no longer in the table.

#include <bucketwalk.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "steps.h"

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

// The library's steps, through pointers, so that they are called where the
// inline step is built too: those of the version the program is bound to.
gpointer (*volatile library_first)(GHashIter *, gpointer *, gpointer *) = g_hash_iter_first;
gpointer (*volatile library_next)(GHashIter *, gpointer *, gpointer *) = g_hash_iter_next;

gpointer
K(long k)
{
	return GINT_TO_POINTER(k);
}

guint
one_bucket(gconstpointer)
{
	return 0;
}

// The tables the walks below meet: keys 1 to 200, values ten times the
// key, in the buckets of a table that grew to hold them, in the 11 of one
// frozen from its start (chains of 18 or 19), or all in one chain.
enum Shape { thawed = 1, frozen = 2, one_chain = 4 };

GHashTable *
two_hundred(Shape shape)
{
	GHashTable *t = g_hash_table_new(shape == one_chain ? one_bucket : g_direct_hash, g_direct_equal);
	if (shape == frozen)
		g_hash_table_freeze(t);
	for (long k = 1; k <= 200; k++)
		g_hash_table_insert(t, K(k), K(k * 10));
	return t;
}

// A step, and the step of the older headers' programs (BUCKETWALK_1.1).
using Step = gpointer (*)(GHashIter *, gpointer *, gpointer *);
const Step library_next_1_1 = reinterpret_cast<Step>(dlvsym(RTLD_DEFAULT, "g_hash_iter_next", "BUCKETWALK_1.1"));

// Starts a walk of it with first and steps it with next until it stands on
// the entry whose key is k, or on none.
void
walk_to(GHashIter *it, Step first, Step next, gpointer k)
{
	gpointer key, val;
	for (first(it, &key, &val); it->node && key != k; next(it, &key, &val)) {
	}
}

// A walk of an unchanged table whose steps are taken in turn, or at random,
// by the inline step (C++ and C) and by the library's functions, on one
// iterator: a program built with any header, linked against any library,
// walks it exactly, with no report.  A checked step that takes over from
// steps without checks may report what it cannot prove; the walk has
// handed out the table's first entries then.
#ifdef BUCKETWALK_DISABLE_CHECKS
#define MIXED_MAY_REPORT true
#else
#define MIXED_MAY_REPORT false
#endif
// A walk that handed out the table's entries, all of them and no report,
// or, where a report may come, the first of them and a report.  Clears the
// count of reports.
bool
walked_right(const std::vector<Entry> &got, const std::vector<Entry> &want, bool may_report)
{
	const bool right = may_report ? got == want || (reports && got.size() < want.size() &&
							std::equal(got.begin(), got.end(), want.begin()))
				      : got == want && !reports;
	reports = 0;
	return right;
}

void
mixed_steps_walk_exactly()
{
	const Step firsts[] = {[](GHashIter *it, gpointer *k, gpointer *v) { return g_hash_iter_first(it, k, v); },
			       library_first, c_first};
	const Step nexts[] = {[](GHashIter *it, gpointer *k, gpointer *v) { return g_hash_iter_next(it, k, v); },
			      library_next, c_next};
	std::mt19937 rng(20261210);
	for (Shape shape : {thawed, frozen, one_chain}) {
		GHashTable *t = two_hundred(shape);
		const std::vector<Entry> want = foreach(t);
		GHashIter *it = g_hash_iter_new(t);
		// 0 to 2: one way throughout; 3: each in turn; 4: at random.
		for (int mix = 0; mix < 5; mix++)
			for (int start = 0; start < 3; start++) {
				std::vector<Entry> got;
				gpointer key, val;
				unsigned n = 0;
				auto pick = [&] { return mix < 3 ? mix : mix == 3 ? n++ % 3 : rng() % 3; };
				for (firsts[start](it, &key, &val); it->node; nexts[pick()](it, &key, &val))
					got.emplace_back(key, val);
				CHECK(walked_right(got, want, MIXED_MAY_REPORT));
				// A walk right after g_hash_iter_new, whose first entry it
				// stands on already.
				g_hash_iter_destroy(it);
				it = g_hash_iter_new(t);
				got.assign(1, {it->node->key, it->node->value});
				while (nexts[pick()](it, &key, &val), it->node)
					got.emplace_back(key, val);
				CHECK(walked_right(got, want, MIXED_MAY_REPORT));
			}

		// Walks of the table changed between them, by the inline step but
		// for one library step, from the entry that the library's steps
		// stood on last in an earlier walk: a key added to its chain after
		// it, and removed again.  What a step kept of an earlier walk does
		// not stand for this one.
		gpointer key, val, last = nullptr;
		for (library_first(it, &key, &val); it->node; library_next(it, &key, &val))
			last = key;
		long added = GPOINTER_TO_INT(last);
		while (added <= 200)
			added += shape == one_chain ? 200 : t->size;
		auto inline_but_at_last = [&] {
			std::vector<Entry> got;
			for (firsts[0](it, &key, &val); it->node; (key == last ? Step(library_next) : nexts[0])(it, &key, &val))
				got.emplace_back(key, val);
			return got;
		};
		g_hash_table_insert(t, K(added), K(added * 10));
		CHECK(walked_right(inline_but_at_last(), foreach(t), MIXED_MAY_REPORT));
		walk_to(it, library_first, library_next, last);
		g_hash_table_remove(t, K(added));
		CHECK(walked_right(inline_but_at_last(), foreach(t), MIXED_MAY_REPORT));

#if BUCKETWALK_MINOR_VERSION != 1
		// An entry that the library's steps handed out fifth in its chain
		// in an earlier walk, now its head, and handed out so by the
		// inline step; then removed with its next, leaving the key and next
		// it had, the count kept.  The library's step reports it.  (1.1's
		// inline steps keep nothing by which to tell, and its programs get
		// what 1.1's own step did.)  The frozen table keeps its buckets'
		// order through the removals.
		if (shape == frozen) {
			auto c = [](long j) { return K(1 + j * 11); };
			walk_to(it, library_first, library_next, c(4));
			for (long j = 0; j < 4; j++)
				g_hash_table_remove(t, c(j));
			walk_to(it, firsts[0], nexts[0], c(4));
			g_hash_table_insert(t, K(201), nullptr);
			g_hash_table_insert(t, K(202), nullptr);
			g_hash_table_remove(t, c(5));
			g_hash_table_remove(t, c(4));
			CHECK(library_next(it, &key, &val) == nullptr && !it->node && reports == 1);
			reports = 0;
		}
#endif
		g_hash_iter_destroy(it);
		g_hash_table_destroy(t);
	}

#if BUCKETWALK_MINOR_VERSION >= 3 && !defined(BUCKETWALK_DISABLE_CHECKS)
	// A file that declares the functions itself calls the older versions'
	// step: a walk that both call hands out the table's entries in order,
	// all of them unless it reports.  The older step must not take the
	// null second key that the header's step keeps for the end of a chain.
	GHashTable *t = g_hash_table_new(one_bucket, g_direct_equal);
	for (long k : {5, 0, 1, 2, 3, 4, 6, 7, 8, 9})
		g_hash_table_insert(t, K(k), K(k * 10));
	const std::vector<Entry> want = foreach(t);
	GHashIter *it = g_hash_iter_new(t);
	for (size_t at = 0; at < want.size(); at++) {
		std::vector<Entry> got;
		gpointer key, val;
		for (g_hash_iter_first(it, &key, &val); it->node;
		     (got.size() == at + 1 ? library_next_1_1 : nexts[0])(it, &key, &val))
			got.emplace_back(key, val);
		CHECK(walked_right(got, want, true));
	}
	g_hash_iter_destroy(it);
	g_hash_table_destroy(t);
#endif
}

#if BUCKETWALK_MINOR_VERSION >= 3 && !defined(BUCKETWALK_DISABLE_CHECKS)
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

long
L(gpointer k)
{
	return GPOINTER_TO_INT(k);
}

// A change made to a table between two steps of a walk, at each of the
// first 40 places the walk passes through (heads of chains and entries
// further down): one call or several, on the walked table and on another,
// GLib's free list holding the nodes of a destroyed table.  A change of the
// count or size is reported by the very next step, which ends the walk.
// Any other change is reported by the very next step or leaves the walk
// exact: every entry handed out is in the table with its current value,
// none twice, and every entry that was in the table throughout is handed
// out.  Where the current entry is further down than the third of its
// chain, the header promises only this: a change that leaves its node
// with its key and its next is not seen, and then every entry handed out
// after it that is not in the table is one that a table held once.  Each
// change names the keys it took out of the table.
using Gone = std::vector<gpointer>;

void
drop(GHashTable *t, long k, Gone &gone)
{
	g_hash_table_remove(t, K(k));
	gone.push_back(K(k));
}

// The key of the entry after the current one of it in its chain, or 0.
long
after(const GHashIter *it)
{
	return it->node->next ? L(it->node->next->key) : 0;
}

// The log handlers' doings: step the iterator whose step reports, which
// stays at the end, silently; or start its walk again, which the report
// ends too.
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
	unsigned shapes;  // of the tables it is made to
	void (*make)(GHashTable *t, const GHashIter *at, GHashTable *other, Gone &gone);
	enum { reported, exact, either } outcome;
	void (*handler)(GHashIter *it);
};

// The current entry's key.
long
current(const GHashIter *it)
{
	return L(it->node->key);
}

#define ROW(shapes, outcome, name, ...) \
	{name, shapes, [](GHashTable *t, const GHashIter *at, GHashTable *other, Gone &g) { \
		 (void)t, (void)at, (void)other, (void)g; \
		 __VA_ARGS__; \
	 }, \
	 Change::outcome, nullptr}

constexpr unsigned any = thawed | frozen | one_chain;

const Change changes[] = {
	ROW(any, reported, "the current entry removed", drop(t, current(at), g)),
	ROW(thawed, reported, "another entry removed", drop(t, current(at) == 7 ? 8 : 7, g)),
	ROW(thawed | frozen, reported, "an entry inserted", g_hash_table_insert(t, K(5000), nullptr)),
	ROW(thawed, reported, "foreach_remove removes the current entry",
	    CHECK(g_hash_table_foreach_remove(t, remove_key, K(current(at))) == 1);
	    g.push_back(K(current(at)))),
	ROW(frozen, reported, "thawed after growing while frozen", g_hash_table_thaw(t)),
	ROW(any, either, "the current entry renamed: a new key inserted, the current one removed",
	    long k = current(at);
	    g_hash_table_insert(t, K(k + 1000), nullptr);
	    drop(t, k, g)),
	ROW(any, either, "the current entry removed, then its key inserted again", long k = current(at);
	    drop(t, k, g);
	    g_hash_table_insert(t, K(k), nullptr)),
	ROW(thawed, either, "the current entry removed, then a key of its bucket inserted", long k = current(at);
	    drop(t, k, g);
	    g_hash_table_insert(t, K(k + t->size), nullptr)),
	ROW(thawed, either, "the current entry removed, a key of its bucket inserted, then its own key again",
	    long k = current(at);
	    drop(t, k, g);
	    g_hash_table_insert(t, K(k + t->size), nullptr);
	    g_hash_table_insert(t, K(k), nullptr);
	    drop(t, k == 7 ? 8 : 7, g)),
	ROW(thawed, either, "the current entry removed, another table grown by an insertion, a new key inserted",
	    long k = current(at);
	    drop(t, k, g);
	    g_hash_table_insert(other, K(-1), nullptr);
	    g_hash_table_insert(t, K(k + 1000), nullptr)),
	ROW(thawed, either, "the current entry removed, an entry removed from another table, a new key inserted",
	    long k = current(at);
	    drop(t, k, g);
	    g_hash_table_remove(other, K(-2));
	    g_hash_table_insert(t, K(k + 1000), nullptr)),
	ROW(thawed, either, "the previous, current and next keys removed, and inserted again", long k = current(at);
	    for (long n : {k + 1, k, k - 1})
		    drop(t, n, g);
	    for (long n : {k - 1, k, k + 1})
		    g_hash_table_insert(t, K(n), nullptr)),
	ROW(thawed, either, "the current key and the next 9 removed, 10 new keys inserted", long k = current(at);
	    for (long n = 0; n < 10; n++)
		    drop(t, k + n, g);
	    for (long n = 0; n < 10; n++)
		    g_hash_table_insert(t, K(k + 2000 + n), nullptr)),
	ROW(thawed, either, "all but 10 entries removed and as many inserted: the table shrinks and grows back",
	    long k = current(at);
	    for (long n = 1; n <= 200; n++)
		    if (n < k - 5 || n > k + 4)
			    drop(t, n, g);
	    for (long n = 1; n <= 200; n++)
		    if (n < k - 5 || n > k + 4)
			    g_hash_table_insert(t, K(n + 3000), nullptr)),
	// Long chains: the walk stands on entries further down than the third,
	// where these go unseen.
	ROW(one_chain, either, "the next entry and the current one removed, their keys inserted again",
	    long k = current(at), n = after(at);
	    if (n) drop(t, n, g);
	    drop(t, k, g);
	    g_hash_table_insert(t, K(k), nullptr);
	    if (n) g_hash_table_insert(t, K(n), nullptr)),
	ROW(one_chain, either, "two keys inserted, then the next entry and the current one removed",
	    long k = current(at), n = after(at);
	    g_hash_table_insert(t, K(5000), nullptr);
	    g_hash_table_insert(t, K(5001), nullptr);
	    if (n) drop(t, n, g);
	    else drop(t, 5001, g);
	    drop(t, k, g)),
	ROW(one_chain, either, "the first entry of the chain removed and inserted again",
	    long k = L(t->nodes[0]->key);
	    drop(t, k, g);
	    g_hash_table_insert(t, K(k), nullptr)),
	ROW(thawed | one_chain, exact, "the current entry's value replaced", g_hash_table_insert(t, K(current(at)), nullptr)),
	ROW(thawed, exact, "foreach_remove removes nothing",
	    CHECK(g_hash_table_foreach_remove(t, remove_key, nullptr) == 0)),
	ROW(thawed, exact, "frozen and thawed, nothing else", g_hash_table_freeze(t), g_hash_table_thaw(t)),
	ROW(thawed, exact, "another table's entries removed and inserted", g_hash_table_remove(other, K(-3));
	    g_hash_table_insert(other, K(-40), nullptr)),
	{"a log handler that steps the iterator", thawed,
	 [](GHashTable *t, const GHashIter *at, GHashTable *, Gone &g) { drop(t, current(at), g); }, Change::reported,
	 step_again},
	{"a log handler that starts the walk again", thawed,
	 [](GHashTable *t, const GHashIter *at, GHashTable *, Gone &g) { drop(t, current(at), g); }, Change::reported,
	 start_again},
};

// The walks of the change table: a and b stepped by the inline step and
// through the library, c by the inline step compiled as C, which must all
// agree; old by the older headers' step, which must hand out only what is
// in the table.
struct Walks {
	GHashIter *a, *b, *c, *old;
};

// Steps the walks once; returns whether they reported a change, and adds
// what they hand out to seen, each in the table and none twice, but where
// a change further down (deep) went unseen.
bool
step_all(GHashTable *t, const Walks &w, std::vector<Entry> &seen, bool deep, bool old_unseen = false)
{
	gpointer ka, va, kb, vb, kc, vc, ko, vo;
	const int before = reports;
	reporting = w.a;
	gpointer ra = g_hash_iter_next(w.a, &ka, &va);
	reporting = w.b;
	gpointer rb = library_next(w.b, &kb, &vb);
	reporting = w.c;
	gpointer rc = c_next(w.c, &kc, &vc);
	reporting = nullptr;
	CHECK(ra == rb && ka == kb && va == vb && ra == rc && ka == kc && va == vc);
	for (const GHashIter *x : {w.b, w.c})
		CHECK(w.a->i == x->i && w.a->node == x->node && w.a->size == x->size && w.a->nnodes == x->nnodes &&
		      w.a->chain == x->chain);
	const bool reported = reports != before;
	CHECK(!reported || reports == before + 3);
	if (w.old->node) {
		const int count = reports;
		library_next_1_1(w.old, &ko, &vo);
		CHECK(!w.old->node || old_unseen || present(t, {ko, vo}));
		reports = count;
	}
	if (w.a->node && !reported) {
		if (!deep) {
			CHECK(present(t, {ka, va}));
			for (const Entry &e : seen)
				if (!CHECK(e.first != ka))
					break;
		}
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

	for (const Change &c : changes)
		for (Shape shape : {thawed, frozen, one_chain}) {
			if (!(c.shapes & shape))
				continue;
			const int failed_before = check::failures();
			int cut_short = 0, unseen_deep = 0;
			for (int place = 0; place < 40 && check::failures() == failed_before; place++) {
				GHashTable *t = two_hundred(shape), *other = g_hash_table_new(g_direct_hash, g_direct_equal);
				for (long k = 2; k <= 33; k++)
					g_hash_table_insert(other, K(-k), nullptr);
				const std::vector<Entry> before = foreach(t);
				std::vector<Entry> seen;
				Gone gone;
				reports = 0;

				const Walks w{g_hash_iter_new(t), g_hash_iter_new(t), g_hash_iter_new(t), g_hash_iter_new(t)};
				gpointer key, val;
				g_hash_iter_first(w.a, &key, &val);
				library_first(w.b, &key, &val);
				c_first(w.c, &key, &val);
				g_hash_iter_first(w.old, &key, &val);
				seen.emplace_back(key, val);
				for (int n = 0; n < place; n++)
					step_all(t, w, seen, false);
				const size_t handed_out = seen.size();
				// Further down than the third entry of its chain; its last.
				const GHashNode was = *w.a->node;
				const bool deep = (w.a->chain & 3) == 3, last = !was.next;
				// The step of the older headers' programs: the same exception,
				// where it handed out its entry further down.
				const bool old_far = w.old->node && w.old->far == w.old->node;
				const GHashNode old_was = w.old->node ? *w.old->node : GHashNode{};
				const gint count = t->nnodes, size = t->size;
				c.make(t, w.a, other, gone);
				const bool kept = w.a->node->key == was.key && w.a->node->next == was.next;
				const bool old_unseen =
				    old_far && w.old->node->key == old_was.key && w.old->node->next == old_was.next;
				const bool numbers_kept = t->nnodes == count && t->size == size;
				// A report comes at the very next step, or never.
				in_handler = c.handler;
				const bool reported = step_all(t, w, seen, deep, old_unseen);
				in_handler = nullptr;
				// An unseen change further down may lead the walk through GLib's
				// free list, which ends.
				for (int steps = 0; w.a->node && CHECK(!step_all(t, w, seen, deep, old_unseen)); steps++)
					if (!CHECK(steps < 1000000))
						break;
				CHECK(reported || c.outcome != Change::reported || (deep && kept));
				// From the last of a chain, the step reads nothing of it.
				CHECK(!reported || !last || !numbers_kept);
				CHECK(!reported || c.outcome != Change::exact);
				if (reported) {
					cut_short++;
					CHECK(seen.size() == handed_out && reports == 3);
					CHECK(last_report.find("g_hash_iter_next: the table changed during the walk") == 0 &&
					      last_report.find("g_hash_table_foreach_remove") != std::string::npos);
				} else if (deep) {
					// What goes unseen further down: a node kept as it was.
					CHECK(kept);
					unseen_deep++;
				} else {
					// Exact: every entry that was in the table throughout.
					for (const Entry &e : before) {
						bool left = false, once_seen = false;
						for (gpointer k : gone)
							left = left || k == e.first;
						for (const Entry &h : seen)
							once_seen = once_seen || h.first == e.first;
						CHECK(left || once_seen);
					}
				}
				// The end, a's by the inline step and b's by the library, stepped
				// by the other way: it stays, silently.  A handler's new walk
				// ended with the report too.
				for (GHashIter *it : {w.a, w.b, w.c})
					CHECK(!it->node && it->i == t->size && it->nnodes == (reported ? -2 : -1) && it->chain == 0 &&
					      bool(g_hash_iter_changed(it)) == reported);
				gpointer kx = K(1), vx = K(1);
				CHECK(library_next(w.a, &kx, &vx) == nullptr && !kx && !vx && !w.a->node);
				kx = vx = K(1);
				CHECK(g_hash_iter_next(w.b, &kx, &vx) == nullptr && !kx && !vx && !w.b->node);
				CHECK(w.a->i == w.b->i && w.a->nnodes == w.b->nnodes && reports == (reported ? 3 : 0));
				// A restart walks the table as it now is.
				reports = 0;
				std::vector<Entry> again;
				for (g_hash_iter_first(w.a, &key, &val); w.a->node; g_hash_iter_next(w.a, &key, &val))
					again.emplace_back(key, val);
				CHECK(again == foreach(t) && reports == 0 && !g_hash_iter_changed(w.a));
				for (GHashIter *it : {w.a, w.b, w.c, w.old})
					g_hash_iter_destroy(it);
				g_hash_table_destroy(t);
				g_hash_table_destroy(other);
			}
			const char *table = shape == thawed ? "" : shape == frozen ? ", frozen" : ", one chain";
			if (check::failures() != failed_before)
				std::printf("  in: %s%s\n", c.name, table);
			else if (c.outcome == Change::either)
				std::printf("  %s%s: reported at %d of 40 places%s\n", c.name, table, cut_short,
					    unseen_deep ? (", unseen further down at " + std::to_string(unseen_deep)).c_str() : "");
		}
	reports = 0;
}

// Keys chosen so that the chain a step finds would pass for the one it
// left, were it compared by a fingerprint of the keys (a multiply and add,
// a sum, an exclusive or, and 1.2's, whose collisions did not depend on the
// table's address): the step must report them.  In a table of 11 buckets.
void
chosen_keys_found_out()
{
	// 1.2's: in one bucket, 3 14 25 and 9757388 8533319 14299563 gave one
	// fingerprint; the walk stood on the third.
	{
		GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
		for (long k : {3, 14, 25, 36})
			g_hash_table_insert(t, K(k), nullptr);
		GHashIter *it = g_hash_iter_new(t);
		gpointer key, val;
		g_hash_iter_first(it, &key, &val);
		g_hash_iter_next(it, &key, &val);
		g_hash_iter_next(it, &key, &val);
		CHECK(key == K(25));
		g_hash_table_freeze(t);
		for (long k : {3, 14, 25, 36})
			g_hash_table_remove(t, K(k));
		for (long k : {9757388, 8533319, 14299563, 36})
			g_hash_table_insert(t, K(k), nullptr);
		g_hash_table_thaw(t);
		reports = 0;
		CHECK(!g_hash_iter_next(it, &key, &val) && g_hash_iter_changed(it) && reports == 1);
		g_hash_iter_destroy(it);
		g_hash_table_destroy(t);
	}
	// A chain a1 a2 a3 e b1 b2 b3: the walk on e, a1 a2 a3 and e removed,
	// e inserted again and three keys elsewhere.  1.2 handed out nothing
	// more of the chain, and reported nothing.
	{
		GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
		g_hash_table_freeze(t);
		for (long k = 1; k <= 7; k++)
			g_hash_table_insert(t, K(k * 11), nullptr);
		GHashIter *it = g_hash_iter_new(t);
		gpointer key, val;
		g_hash_iter_first(it, &key, &val);
		for (int n = 0; n < 3; n++)
			g_hash_iter_next(it, &key, &val);
		CHECK(key == K(44));
		for (long k : {11, 22, 33, 44})
			g_hash_table_remove(t, K(k));
		g_hash_table_insert(t, K(44), nullptr);
		for (long k : {1, 2, 3})
			g_hash_table_insert(t, K(k), nullptr);
		reports = 0;
		CHECK(!g_hash_iter_next(it, &key, &val) && g_hash_iter_changed(it) && reports == 1);
		g_hash_iter_destroy(it);
		g_hash_table_destroy(t);
	}
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
		{"steps of every kind mixed on one iterator walk exactly", mixed_steps_walk_exactly},
#if BUCKETWALK_MINOR_VERSION >= 3 && !defined(BUCKETWALK_DISABLE_CHECKS)
		{"changed tables: reported, or the walk stays exact", changed_tables},
		{"keys chosen to pass for others found out", chosen_keys_found_out},
		{"ends crossed between the inline step and the library", ends_crossed},
#endif
	});
}
