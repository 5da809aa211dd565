// Times a full walk over the same GLib 1.2 tables four ways (see walks.h):
// the iterator with its inline step, the iterator called, foreach and the
// floor.  Prints, after Google Benchmark's own output, the median time per
// entry of each way and the ratios of the iterator's two paths to foreach.
//
//   walk_bench [benchmark flags]

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "tables.h"
#include "walks.h"

namespace {

struct Way {
	const char *name;
	gulong (*walk)(GHashTable *);
};
const Way ways[] = {
	{"inline", walk_inline}, {"call", walk_call}, {"foreach", walk_foreach}, {"floor", walk_floor}};

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
		std::printf("\nmedian ns per entry\n%-22s %8s %8s %8s %8s %10s %10s\n", "table", "inline", "call",
			    "foreach", "floor", "in/foreach", "call/fe");
		for (const TableSpec &s : table_specs) {
			double ns[4];
			for (int w = 0; w < 4; w++)
				ns[w] = medians[std::string(ways[w].name) + "/" + s.name];
			if (ns[0] > 0 && ns[1] > 0 && ns[2] > 0 && ns[3] > 0)
				std::printf("%-22s %8.2f %8.2f %8.2f %8.2f %10.2f %10.2f\n", s.name.c_str(), ns[0],
					    ns[1], ns[2], ns[3], ns[0] / ns[2], ns[1] / ns[2]);
		}
	}

private:
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
	Summary summary;
	benchmark::RunSpecifiedBenchmarks(&summary);
	benchmark::Shutdown();
	return 0;
}
