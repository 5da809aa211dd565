#include "tables.h"

#include "walks.h"

#include <cstdio>

const std::vector<TableSpec> table_specs = {
	{"direct/1000", "d1k", false, 1000, 0},          {"direct/10000", "d10k", false, 10000, 0},
	{"direct/100000", "d100k", false, 100000, 0},    {"direct/1000000", "d1M", false, 1000000, 0},
	{"string/1000", "s1k", true, 1000, 0},           {"string/10000", "s10k", true, 10000, 0},
	{"string/100000", "s100k", true, 100000, 0},     {"string/1000000", "s1M", true, 1000000, 0},
	{"direct/4000000", "d4M", false, 4000000, 0},    {"string/4000000", "s4M", true, 4000000, 0},
	{"sparse/1000000-10000", "sparse", false, 1000000, 10000},
	{"frozen/20000", "f20k", false, 20000, 0, TableSpec::frozen},
	{"onechain/20000", "o20k", false, 20000, 0, TableSpec::one_chain},
};

namespace {

guint
one_bucket(gconstpointer)
{
	return 0;
}

}  // namespace

// Direct keys are scattered integers, so that the walk order is unrelated to
// the order in which the nodes were allocated, as with most real keys.
GHashTable *
build_table(const TableSpec &s)
{
	GHashTable *t = s.strings ? g_hash_table_new(g_str_hash, g_str_equal)
		      : g_hash_table_new(s.chains == TableSpec::one_chain ? one_bucket : g_direct_hash, g_direct_equal);
	if (s.chains == TableSpec::frozen)
		g_hash_table_freeze(t);
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
	stream_prepare(t);
	return t;
}

// The iterator's ways, each compared with the foreach way that does the
// same work; "-nochk" ways are built with G_DISABLE_CHECKS.
#define WALK(f) f, #f
const std::vector<Way> ways = {
	{"doc", 'a', WALK(walk_doc_gcc), "foreach"},
	{"doc-nochk", 'b', WALK(walk_doc_gcc_nochk), "foreach"},
	{"node", 'c', WALK(walk_node_gcc), "foreach"},
	{"node-nochk", 'd', WALK(walk_node_gcc_nochk), "foreach"},
	{"doc-clang", 'e', WALK(walk_doc_clang), "foreach"},
	{"doc-clang-nochk", 'f', WALK(walk_doc_clang_nochk), "foreach"},
	{"node-clang", 'g', WALK(walk_node_clang), "foreach"},
	{"node-clang-nochk", 'h', WALK(walk_node_clang_nochk), "foreach"},
	{"doc-Os", 'i', WALK(walk_doc_gcc_Os), "foreach"},
	{"doc-Os-nochk", 'j', WALK(walk_doc_gcc_Os_nochk), "foreach"},
	{"node-Os", 'k', WALK(walk_node_gcc_Os), "foreach"},
	{"node-Os-nochk", 'l', WALK(walk_node_gcc_Os_nochk), "foreach"},
	{"call", 'm', WALK(walk_doc_call), "foreach"},
	{"consume", 'n', WALK(walk_consume_gcc), "fe-consume"},
	{"consume-nochk", 'o', WALK(walk_consume_gcc_nochk), "fe-consume"},
	{"foreach", 'p', WALK(walk_foreach), nullptr},
	{"fe-consume", 'q', WALK(walk_foreach_consume), nullptr},
	{"floor", 'r', WALK(walk_floor), nullptr},
	{"floor-prefetch", 's', WALK(walk_floor_prefetch), nullptr},
	{"stream", 't', WALK(walk_stream), nullptr},
};
