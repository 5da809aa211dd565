// The tables the benchmarks walk, built through GLib's own calls, and the
// ways they are walked.
#ifndef BENCH_TABLES_H
#define BENCH_TABLES_H

#include <glib.h>

#include <string>
#include <vector>

struct TableSpec {
	std::string name;  // kind/entries, or sparse/entries-kept
	const char *label;  // a short one, for the report's columns
	bool strings;
	int entries;
	int keep;  // entries left after removals while frozen (sparse tables)
	// Long chains: the keys inserted while the table is frozen (in its 11
	// buckets), or a hash that puts them all in one bucket.
	enum { grown, frozen, one_chain } chains = grown;
};

extern const std::vector<TableSpec> table_specs;

GHashTable *build_table(const TableSpec &s);

// A way to walk a table (see walks.h), and the way it is compared with,
// which does the same work through g_hash_table_foreach.
struct Way {
	const char *name;
	char letter;  // for walk_count, whose arguments keep one size
	gulong (*walk)(GHashTable *);
	const char *function;  // walk's name, for callgrind's counts
	const char *against;  // or null
};

extern const std::vector<Way> ways;

#endif
