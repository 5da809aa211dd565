// The tables the benchmarks walk, built through GLib's own calls.
#ifndef BENCH_TABLES_H
#define BENCH_TABLES_H

#include <glib.h>

#include <string>
#include <vector>

struct TableSpec {
	std::string name;  // kind/entries, or sparse/entries-kept
	bool strings;
	int entries;
	int keep;  // entries left after removals while frozen (sparse tables)
};

extern const std::vector<TableSpec> table_specs;

GHashTable *build_table(const TableSpec &s);

#endif
