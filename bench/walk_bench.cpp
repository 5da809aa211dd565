// Times a full walk over the same GLib 1.2 tables in each of the ways of
// tables.cpp.  Prints, after Google Benchmark's own output, the median time
// per entry of each way on each table, and the ratio of each iterator way to
// the foreach way it is compared with.
//
//   walk_bench [benchmark flags]

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "tables.h"
#include "walks.h"

namespace {

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
		std::vector<const TableSpec *> measured;  // a run without repetitions has no medians
		for (const TableSpec &s : table_specs)
			if (ns(ways.front().name, s) > 0)
				measured.push_back(&s);
		if (measured.empty())
			return;
		auto header = [&](const char *title) {
			std::printf("\n%s\n%-18s", title, "way");
			for (const TableSpec *s : measured)
				std::printf(" %7s", s->label);
			std::printf("\n");
		};
		header("median ns per entry");
		for (const Way &w : ways) {
			std::printf("%-18s", w.name);
			for (const TableSpec *s : measured)
				std::printf(" %7.2f", ns(w.name, *s));
			std::printf("\n");
		}
		header("median time, against the foreach way");
		for (const Way &w : ways)
			if (w.against)
				ratios(w.name, w.against, measured);
		header("median time, against the streaming read");
		for (const Way &w : ways)
			ratios(w.name, "stream", measured);
		const double collected = medians["remove-collected"], foreach_remove = medians["remove-foreach"];
		if (collected > 0 && foreach_remove > 0)
			std::printf("\nremoving every entry of %d string keys, each key freed: median ns per entry\n"
				    "collected in a walk, removed after it   %7.2f\n"
				    "g_hash_table_foreach_remove             %7.2f\n"
				    "the first against the second            %7.2f\n",
				    removed_entries, collected, foreach_remove, collected / foreach_remove);
	}
	static constexpr int removed_entries = 50000;

private:
	double ns(const std::string &way, const TableSpec &s) { return medians[way + "/" + s.name]; }
	void ratios(const std::string &way, const std::string &against, const std::vector<const TableSpec *> &tables)
	{
		std::printf("%-18s", (way + "/" + against).c_str());
		for (const TableSpec *s : tables)
			std::printf(" %7.2f", ns(way, *s) / ns(against, *s));
		std::printf("\n");
	}

	std::map<std::string, double> medians;
};

}  // namespace

int
main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	for (const TableSpec &s : table_specs) {
		GHashTable *t = build_table(s);
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
	// Removing every entry of a table of string keys, each built anew
	// outside the time measured.
	for (auto remove : {std::make_pair("remove-collected", remove_collected),
			    std::make_pair("remove-foreach", remove_foreach)})
		benchmark::RegisterBenchmark(remove.first, [remove](benchmark::State &state) {
			for (auto _ : state) {
				state.PauseTiming();
				GHashTable *t = g_hash_table_new(g_str_hash, g_str_equal);
				for (int i = 0; i < Summary::removed_entries; i++) {
					char buf[32];
					std::snprintf(buf, sizeof buf, "key-%d", i);
					g_hash_table_insert(t, g_strdup(buf), GINT_TO_POINTER(i + 1));
				}
				state.ResumeTiming();
				remove.second(t);
				state.PauseTiming();
				g_hash_table_destroy(t);
				state.ResumeTiming();
			}
			state.counters["per_entry"] = 1.0 / Summary::removed_entries;
		});
	Summary summary;
	benchmark::RunSpecifiedBenchmarks(&summary);
	benchmark::Shutdown();
	return 0;
}
