#!/bin/sh
# Runs the walk benchmark from a release build and prints
#  - the median nanoseconds per entry of the iterator, g_hash_table_foreach and
#    the plain loop, measured in one run, interleaved and repeated, with the
#    ratios iterator/foreach and iterator/floor;
#  - the instructions per entry of each, counted by callgrind (exact and
#    repeatable, unlike the times on a shared machine).
#   bench/report.sh [BUILD_DIR]
set -eu
bench=${1:-build/bench}/bench/walk_bench
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(uname -r)"
"$bench" --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
	--benchmark_report_aggregates_only=true --benchmark_min_time=0.1 \
	--benchmark_color=false >"$tmp/run.txt" 2>"$tmp/context.txt"
sed -n '/^median ns per entry/,$p' "$tmp/run.txt"

echo
echo "instructions per entry (callgrind)"
printf '%-22s %9s %9s %9s %10s %10s\n' table iterator foreach floor it/foreach it/floor
for table in $("$bench" --tables); do
	for way in iterator foreach floor; do
		entries=$(valgrind --tool=callgrind --toggle-collect="walk_$way" \
			--callgrind-out-file="$tmp/cg" "$bench" --once "$way" "$table" 2>/dev/null)
		echo "$entries $(sed -n 's/^summary: //p' "$tmp/cg")"
	done | awk -v t="$table" '{ ipe[NR] = $2 / $1 }
		END { printf "%-22s %9.1f %9.1f %9.1f %10.2f %10.2f\n", t, ipe[1], ipe[2], ipe[3],
			ipe[1] / ipe[2], ipe[1] / ipe[3] }'
done
