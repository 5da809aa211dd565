#include "tables.h"

#include "walks.h"

#include <cstdio>

const std::vector<TableSpec> table_specs = {
	{"direct/1000", false, 1000, 0},       {"direct/10000", false, 10000, 0},
	{"direct/100000", false, 100000, 0},   {"direct/1000000", false, 1000000, 0},
	{"string/1000", true, 1000, 0},        {"string/10000", true, 10000, 0},
	{"string/100000", true, 100000, 0},    {"string/1000000", true, 1000000, 0},
	{"sparse/1000000-10000", false, 1000000, 10000},
};

// Direct keys are scattered integers, so that the walk order is unrelated to
// the order in which the nodes were allocated, as with most real keys.
GHashTable *
build_table(const TableSpec &s)
{
	GHashTable *t = s.strings ? g_hash_table_new(g_str_hash, g_str_equal)
				  : g_hash_table_new(g_direct_hash, g_direct_equal);
	auto key = [&](int i) -> gpointer {
		if (s.strings) {
			char buf[32];
			std::snprintf(buf, sizeof buf, "key-%d", i);
			return g_strdup(buf);
		}
		return GUINT_TO_POINTER((static_cast<guint>(i) + 1) * 2654435761u);
	};
	for (int i = 0; i < s.entries; i++)
		g_hash_table_insert(t, key(i), GINT_TO_POINTER(i + 1));
	if (s.keep) {
		g_hash_table_freeze(t);
		for (int i = s.keep; i < s.entries; i++)
			g_hash_table_remove(t, key(i));  // direct keys only: nothing to free
	}
	return t;
}

const std::vector<Way> ways = {
	{"inline", 'i', walk_inline, "foreach"},
	{"node", 'n', walk_node_inline, "foreach"},
	{"call", 'c', walk_call, "foreach"},
	{"foreach", 'f', walk_foreach, nullptr},
	{"floor", 'l', walk_floor, nullptr},
	{"consume", 'e', walk_consume_inline, "fe-consume"},
	{"fe-consume", 'g', walk_foreach_consume, nullptr},
};
