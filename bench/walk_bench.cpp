// A full walk over a GLib 1.2 table three ways, on the same tables:
//   iterator  g_hash_iter_new, _first, _next to the end, _destroy
//   foreach   g_hash_table_foreach with a callback
//   floor     an inlined double loop over the bucket array, the least work
// Each sums keys and values so that nothing is optimised away.
//
//   walk_bench [benchmark flags]   run all, print medians and ratios
//   walk_bench --once WAY TABLE    build TABLE, walk it once WAY (for callgrind,
//                                  which counts inside walk_WAY), print entries
//   walk_bench --tables            list the tables

#include <benchmark/benchmark.h>
#include <bucketwalk.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Sum = uintptr_t;

extern "C" __attribute__((noinline)) Sum
walk_iterator(GHashTable *t)
{
	GHashIter *it = g_hash_iter_new(t);
	gpointer key, val;
	Sum sum = 0;
	if (g_hash_iter_first(it, &key, &val))
		do
			sum += reinterpret_cast<Sum>(key) + reinterpret_cast<Sum>(val);
		while (g_hash_iter_next(it, &key, &val));
	g_hash_iter_destroy(it);
	return sum;
}

void
add(gpointer key, gpointer val, gpointer sum)
{
	*static_cast<Sum *>(sum) += reinterpret_cast<Sum>(key) + reinterpret_cast<Sum>(val);
}

extern "C" __attribute__((noinline)) Sum
walk_foreach(GHashTable *t)
{
	Sum sum = 0;
	g_hash_table_foreach(t, add, &sum);
	return sum;
}

extern "C" __attribute__((noinline)) Sum
walk_floor(GHashTable *t)
{
	Sum sum = 0;
	for (gint i = 0; i < t->size; i++)
		for (const GHashNode *n = t->nodes[i]; n; n = n->next)
			sum += reinterpret_cast<Sum>(n->key) + reinterpret_cast<Sum>(n->value);
	return sum;
}

struct Way {
	const char *name;
	Sum (*walk)(GHashTable *);
};
const Way ways[] = {{"iterator", walk_iterator}, {"foreach", walk_foreach}, {"floor", walk_floor}};

struct TableSpec {
	std::string name;
	bool strings;
	int entries;
	int keep;  // entries left after removals while frozen (sparse tables)
};

const std::vector<TableSpec> specs = {
	{"direct/1000", false, 1000, 0},      {"direct/100000", false, 100000, 0},
	{"direct/1000000", false, 1000000, 0}, {"string/1000", true, 1000, 0},
	{"string/100000", true, 100000, 0},    {"string/1000000", true, 1000000, 0},
	{"sparse/1000000-10000", false, 1000000, 10000},
};

// Builds a table through GLib's own calls.  Direct keys are scattered
// integers, so that the walk order is unrelated to the order in which the
// nodes were allocated, as with most real keys.
GHashTable *
build(const TableSpec &s)
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

// Prints, after the usual output, one line per table: the median time per
// entry of each way and the ratios of the iterator to the other two.
class Summary : public benchmark::ConsoleReporter {
public:
	void ReportRuns(const std::vector<Run> &runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const Run &r : runs)
			if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
				medians[r.run_name.function_name] = r.GetAdjustedRealTime() * r.counters.at("per_entry");
	}
	void Finalize() override
	{
		ConsoleReporter::Finalize();
		std::printf("\nmedian ns per entry\n%-22s %9s %9s %9s %10s %10s\n", "table", "iterator",
			    "foreach", "floor", "it/foreach", "it/floor");
		for (const TableSpec &s : specs) {
			double it = medians["iterator/" + s.name], fe = medians["foreach/" + s.name],
			       fl = medians["floor/" + s.name];
			if (it > 0 && fe > 0 && fl > 0)
				std::printf("%-22s %9.2f %9.2f %9.2f %10.2f %10.2f\n", s.name.c_str(), it, fe, fl,
					    it / fe, it / fl);
		}
	}

private:
	std::map<std::string, double> medians;
};

}  // namespace

int
main(int argc, char **argv)
{
	if (argc == 2 && std::strcmp(argv[1], "--tables") == 0) {
		for (const TableSpec &s : specs)
			std::printf("%s\n", s.name.c_str());
		return 0;
	}
	if (argc == 4 && std::strcmp(argv[1], "--once") == 0) {
		for (const TableSpec &s : specs)
			for (const Way &w : ways)
				if (s.name == argv[3] && std::strcmp(w.name, argv[2]) == 0) {
					GHashTable *t = build(s);
					benchmark::DoNotOptimize(w.walk(t));
					std::printf("%u\n", g_hash_table_size(t));
					return 0;
				}
		std::fprintf(stderr, "walk_bench: no way %s or table %s\n", argv[2], argv[3]);
		return 2;
	}

	benchmark::Initialize(&argc, argv);
	std::vector<GHashTable *> tables;
	for (const TableSpec &s : specs) {
		GHashTable *t = build(s);
		tables.push_back(t);
		const double entries = g_hash_table_size(t);
		for (const Way &w : ways)
			benchmark::RegisterBenchmark((std::string(w.name) + "/" + s.name).c_str(),
						     [t, w, entries](benchmark::State &state) {
							     for (auto _ : state)
								     benchmark::DoNotOptimize(w.walk(t));
							     state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(entries));
							     state.counters["per_entry"] = 1.0 / entries;
						     });
	}
	Summary summary;
	benchmark::RunSpecifiedBenchmarks(&summary);
	benchmark::Shutdown();
	return 0;
}
