#!/bin/sh
# The walk benchmarks' report, for each way of walking a table (see
# bench/tables.cpp) on each table:
#  - median nanoseconds per entry, measured interleaved and repeated in one
#    run (x86_64), and each iterator way's time against the foreach way that
#    does the same work;
#  - instructions per entry: on x86_64 counted by callgrind inside each walk
#    function, on i386 by the qemu-i386 plugin as the difference between a
#    run with the walk and one without; against the foreach way; and what
#    the checks cost, a way's count less that of its G_DISABLE_CHECKS build;
#    with the GLib 1.2 each program loads;
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
echo "machine: $machine, $(uname -r); $(clang --version | head -n 1), $(gcc --version | head -n 1)"
"$x86/bench/walk_bench" --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
	--benchmark_report_aggregates_only=true --benchmark_min_time=0.05 \
	--benchmark_color=false >"$tmp/run.txt" 2>"$tmp/context.txt"
sed -n '/^median ns per entry/,$p' "$tmp/run.txt" | tee "$tmp/times.txt"

# The ways, one per line: letter, name, the foreach way it is compared
# with, function; the tables: name, label.
"$x86/bench/walk_count" --ways >"$tmp/ways"
"$x86/bench/walk_count" --tables >"$tmp/tables"
# Instructions are counted on the tables of up to 10^6 entries: those of
# 4 * 10^6 are there for their times, and would take minutes to count.
awk '{ split($1, t, "/"); if (t[2] + 0 <= 1000000) print }' "$tmp/tables" >"$tmp/counted"

# counts TITLE: reads lines "way table instructions-per-entry" and prints the
# counts, each iterator way against its foreach way, and what the checks
# cost, each as ways by tables.
counts() {
	awk -v title="$1" 'FILENAME == ARGV[1] { order[++n] = $2; against[$2] = $3; next }
		FILENAME == ARGV[2] { tables[++m] = $1; label[$1] = $2; next }
		{ ipe[$1, $2] = $3 }
		function header(what) {
			printf "\ninstructions per entry, %s%s\n%-18s", title, what, "way"
			for (j = 1; j <= m; j++) printf " %7s", label[tables[j]]
			printf "\n"
		}
		END {
			header("")
			for (i = 1; i <= n; i++) {
				printf "%-18s", order[i]
				for (j = 1; j <= m; j++) printf " %7.2f", ipe[order[i], tables[j]]
				printf "\n"
			}
			header(", against the foreach way")
			for (i = 1; i <= n; i++) if (against[order[i]] != "-") {
				printf "%-18s", order[i] "/" against[order[i]]
				for (j = 1; j <= m; j++) printf " %7.2f", ipe[order[i], tables[j]] / ipe[against[order[i]], tables[j]]
				printf "\n"
			}
			header(": what the checks cost, with them less with G_DISABLE_CHECKS")
			for (i = 1; i <= n; i++) if ((order[i] "-nochk", tables[1]) in ipe) {
				printf "%-18s", order[i]
				for (j = 1; j <= m; j++) printf " %7.2f", ipe[order[i], tables[j]] - ipe[order[i] "-nochk", tables[j]]
				printf "\n"
			}
		}' "$tmp/ways" "$tmp/counted" -
}

# Which GLib 1.2 a program loads: the real one or the stand-in.
glib_of() {
	"$@" 2>/dev/null | awk '$1 == "libglib-1.2.so.0" { print $3 }'
}
echo
echo "GLib 1.2 of the x86_64 runs: $(glib_of env LD_TRACE_LOADED_OBJECTS=1 "$x86/bench/walk_count")"

# x86_64: one run per table walks it in every way; callgrind counts inside
# each walk function, the calls it makes included.
while read -r table label; do
	entries=$(valgrind --tool=callgrind --collect-atstart=no --toggle-collect="walk_*" \
		--callgrind-out-file="$tmp/cg" "$x86/bench/walk_count" all "$table" 2>/dev/null)
	callgrind_annotate --inclusive=yes --threshold=100 "$tmp/cg" |
		sed -n 's/^ *\([0-9,]*\) .*:\(walk_[A-Za-z0-9_]*\) .*/\2 \1/p' | tr -d , >"$tmp/fn"
	while read -r letter name against function; do
		awk -v f="$function" -v w="$name" -v t="$table" -v e="$entries" \
			'$1 == f { print w, t, $2 / e }' "$tmp/fn"
	done <"$tmp/ways"
done <"$tmp/counted" | counts "x86_64 (callgrind)"

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
	while read -r table label; do
		base=$(count_i386 - "$table")
		while read -r letter name against function; do
			n=$(count_i386 "$letter" "$table")
			awk -v w="$name" -v t="$table" -v n="$n" -v b="$base" -v e="$(cat "$tmp/entries")" \
				'BEGIN { print w, t, (n - b) / e }'
		done <"$tmp/ways"
	done <"$tmp/counted" | counts "i386 (qemu-i386 and the counting plugin)"
fi

# The chart: one panel per kind of key, the times of some ways against the
# table's size.
if ! command -v gnuplot >/dev/null; then
	echo
	echo "chart: not drawn (needs gnuplot)"
	exit 0
fi
plotted="doc node doc-clang call consume foreach fe-consume floor"
for kind in direct string; do
	# One line per table of this kind: its entries, then the times of the
	# plotted ways.
	awk -v k="$kind" -v ways="$plotted" 'FILENAME == ARGV[1] { if ($1 ~ "^" k "/") { split($1, t, "/"); entries[$2] = t[2]; cols[++m] = $2 } next }
		/^median ns per entry/ { on = 1; next }
		/^$|^median time/ { on = 0 }
		on && $1 == "way" { for (i = 2; i <= NF; i++) col[$i] = i; next }
		on { for (j = 1; j <= m; j++) ns[$1, cols[j]] = $(col[cols[j]]) }
		END {
			nw = split(ways, w, " ")
			for (j = 1; j <= m; j++) {
				printf "%s", entries[cols[j]]
				for (i = 1; i <= nw; i++) printf " %s", ns[w[i], cols[j]]
				printf "\n"
			}
		}' "$tmp/tables" "$tmp/times.txt" >"$tmp/$kind.dat"
done
mkdir -p "$(dirname "$chart")"
gnuplot <<EOF
set terminal svg size 960,420 dynamic font "sans,12"
set output "$chart"
set multiplot layout 1,2 title "A full walk of a GLib 1.2 table: median ns per entry ($machine)"
set logscale xy
set xrange [600:6e6]
set format x "10^{%L}"
set xlabel "entries"
set ylabel "ns per entry"
set grid
set key top left
do for [kind in "direct string"] {
	set title kind . " keys"
	plot "$tmp/".kind.".dat" using 1:2 with linespoints title "iterator, documented loop", \
		"" using 1:3 with linespoints title "iterator, it->node loop", \
		"" using 1:4 with linespoints title "iterator, documented loop, clang", \
		"" using 1:5 with linespoints title "iterator, called", \
		"" using 1:6 with linespoints title "iterator, body calls consume()", \
		"" using 1:7 with linespoints title "g\\\\_hash\\\\_table\\\\_foreach", \
		"" using 1:8 with linespoints title "foreach, callback calls consume()", \
		"" using 1:9 with linespoints title "floor (double loop)"
}
unset multiplot
EOF
echo
echo "chart: $chart"
