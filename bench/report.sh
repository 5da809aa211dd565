#!/bin/sh
# The walk benchmarks' report, for each way of walking a table (see
# bench/tables.cpp) and each table:
#  - median nanoseconds per entry, measured interleaved and repeated in one
#    run (x86_64), with the ratio of each iterator way to the foreach way
#    that does the same work;
#  - instructions per entry: on x86_64 counted by callgrind inside the walk,
#    on i386 by the qemu-i386 plugin as the difference between a run with
#    the walk and one without; with the GLib 1.2 each program loads;
#  - a chart of the times against table size, written to CHART.
#
#   bench/report.sh [X86_64_BUILD] [I386_BUILD] [CHART]
#   (defaults build/bench, build/bench-i386, build/bench/walk.svg)
set -eu
x86=${1:-build/bench}
i386=${2:-build/bench-i386}
chart=${3:-$x86/walk.svg}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

machine="$(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
echo "machine: $machine, $(uname -r)"
"$x86/bench/walk_bench" --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
	--benchmark_report_aggregates_only=true --benchmark_min_time=0.1 \
	--benchmark_color=false >"$tmp/run.txt" 2>"$tmp/context.txt"
sed -n '/^median ns per entry/,$p' "$tmp/run.txt" | tee "$tmp/times.txt"

# The ways, one per line: letter, name, the foreach way it is compared with.
"$x86/bench/walk_count" --ways >"$tmp/ways"

header() {
	echo
	echo "instructions per entry, $1"
	awk '{ h = h sprintf(" %10s", $2); if ($3 != "-") r = r sprintf(" %10s", $2 "/fe") }
		END { printf "%-22s%s%s\n", "table", h, r }' "$tmp/ways"
}
# Reads one count per way, in the order of the ways, and prints the row.
row() {
	awk -v t="$1" 'NR == FNR { way[NR] = $2; against[NR] = $3; n = NR; next }
		{ ipe[way[FNR]] = $1 }
		END {
			printf "%-22s", t
			for (i = 1; i <= n; i++) printf " %10.2f", ipe[way[i]]
			for (i = 1; i <= n; i++) if (against[i] != "-") printf " %10.2f", ipe[way[i]] / ipe[against[i]]
			printf "\n"
		}' "$tmp/ways" -
}

# Which GLib 1.2 a program loads: the real one or the stand-in.
glib_of() {
	"$@" 2>/dev/null | awk '$1 == "libglib-1.2.so.0" { print $3 }'
}
echo
echo "GLib 1.2 of the x86_64 runs: $(glib_of env LD_TRACE_LOADED_OBJECTS=1 "$x86/bench/walk_count")"

# x86_64: callgrind counts inside walk_inline, walk_call, ... alone.
header "x86_64 (callgrind)"
for table in $("$x86/bench/walk_count" --tables); do
	while read -r letter name against; do
		entries=$(valgrind --tool=callgrind --toggle-collect="walk_*" \
			--callgrind-out-file="$tmp/cg" "$x86/bench/walk_count" "$letter" "$table" 2>/dev/null)
		awk -v e="$entries" '/^summary:/ { print $2 / e }' "$tmp/cg"
	done <"$tmp/ways" | row "$table"
done

# i386: the plugin counts whole runs; a run that builds the table without
# walking it is subtracted.
plugin=$x86/bench/libinsn_count.so
count_i386() {
	qemu-i386 -plugin "$plugin,out=$tmp/n" "$i386/bench/walk_count" "$1" "$2" >"$tmp/entries" &&
		cat "$tmp/n"
}
if ! command -v qemu-i386 >/dev/null || [ ! -f "$plugin" ] || [ ! -x "$i386/bench/walk_count" ]; then
	echo
	echo "i386: not counted (needs qemu-i386, $plugin and $i386/bench/walk_count)"
elif ! count_i386 - direct/1000 >/dev/null 2>"$tmp/err"; then
	echo
	echo "i386: not counted: qemu-i386 could not load the plugin: $(head -n 1 "$tmp/err")"
else
	echo
	echo "GLib 1.2 of the i386 runs: $(glib_of qemu-i386 -E LD_TRACE_LOADED_OBJECTS=1 "$i386/bench/walk_count")"
	header "i386 (qemu-i386 and the counting plugin)"
	for table in $("$x86/bench/walk_count" --tables); do
		base=$(count_i386 - "$table")
		while read -r letter name against; do
			n=$(count_i386 "$letter" "$table")
			awk -v n="$n" -v b="$base" -v e="$(cat "$tmp/entries")" 'BEGIN { print (n - b) / e }'
		done <"$tmp/ways" | row "$table"
	done
fi

# The chart: one panel per kind of key, the times against the table's size;
# the columns of times.txt are the ways in the order of bench/tables.cpp.
if ! command -v gnuplot >/dev/null; then
	echo
	echo "chart: not drawn (needs gnuplot)"
	exit 0
fi
for kind in direct string; do
	awk -v k="$kind" '$1 ~ "^" k "/" { split($1, t, "/"); $1 = t[2]; print }' \
		"$tmp/times.txt" >"$tmp/$kind.dat"
done
mkdir -p "$(dirname "$chart")"
gnuplot <<EOF
set terminal svg size 960,420 dynamic font "sans,12"
set output "$chart"
set multiplot layout 1,2 title "A full walk of a GLib 1.2 table: median ns per entry ($machine)"
set logscale xy
set xrange [600:1.6e6]
set format x "10^{%L}"
set xlabel "entries"
set ylabel "ns per entry"
set grid
set key top left
do for [kind in "direct string"] {
	set title kind . " keys"
	plot "$tmp/".kind.".dat" using 1:2 with linespoints title "iterator, inline step", \
		"" using 1:3 with linespoints title "iterator, it->node loop", \
		"" using 1:4 with linespoints title "iterator, called", \
		"" using 1:5 with linespoints title "g\\\\_hash\\\\_table\\\\_foreach", \
		"" using 1:6 with linespoints title "floor (double loop)", \
		"" using 1:7 with linespoints title "iterator, body calls consume()", \
		"" using 1:8 with linespoints title "foreach, callback calls consume()"
}
unset multiplot
EOF
echo
echo "chart: $chart"
