#!/bin/sh
# Compiles header_c89.c, a client of bucketwalk.h, as clients build: with
# gcc and clang, as C89 and gnu89 and as C++98 and C++17, through the inline
# step and through the call, with glib.h found through -isystem, as an
# installed GLib is; then runs the client as the build made it.
#  - As written, with the client's own declarations of the four functions
#    and -Wredundant-decls: no diagnostic names the header's internals.
#  - Without those declarations, under the strictest warnings clients use:
#    no diagnostic comes from the header's own lines.
#  - With GLib 2's glib.h instead of GLib 1.2's, it does not compile, and
#    the header's error says that it needs GLib 1.2.
#
#   header_check.sh HEADER_DIR GLIB_INCLUDE_DIRS FLAGS CLIENT [EMULATOR]
#
# GLIB_INCLUDE_DIRS is a ;-separated list; FLAGS go to every compiler
# (-m32 for i386).  A compiler that is not installed is left out and named.
set -u
here=$(dirname "$0")
header_dir=$1 glib_dirs=$2 flags=$3 client=$4 emulator=${5-}
src=$here/header_c89.c
out=$(mktemp)
trap 'rm -f "$out"' EXIT
passed=0 failed=0

isystem=
for d in $(printf '%s' "$glib_dirs" | tr ';' ' '); do
	isystem="$isystem -isystem $d"
done

common='-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-qual -Wundef -Wredundant-decls'
c_warnings="$common -Wstrict-prototypes -Wmissing-prototypes -Wdeclaration-after-statement"
cxx_warnings="$common -Wold-style-cast -Wzero-as-null-pointer-constant"

# compile WHAT COMPILER ARGS...: compiles, fails on an error, and keeps the
# compiler's output in $out for the checks.
compile() {
	name=$1
	shift
	# shellcheck disable=SC2086
	"$@" $flags -O2 -I"$header_dir" $isystem -c "$src" -o /dev/null >"$out" 2>&1 && return 0
	echo "FAIL $name: does not compile"
	sed 's/^/  /' "$out"
	return 1
}
verdict() {
	if [ "$1" = ok ]; then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
	fi
}

for cc in gcc clang g++ clang++; do
	if ! command -v $cc >/dev/null; then
		echo "$cc: not installed, not tried"
		continue
	fi
	case $cc in
	g++) stds='c++98 c++17' warnings="$cxx_warnings -Wuseless-cast" lang='-x c++' ;;
	clang++) stds='c++98 c++17' warnings="$cxx_warnings -Wno-register" lang='-x c++' ;;
	*) stds='c89 gnu89' warnings=$c_warnings lang= ;;
	esac
	for std in $stds; do
		for path in inline call; do
			defs=
			[ $path = call ] && defs=-DBUCKETWALK_NO_INLINE
			what="$cc -std=$std, $path"
			# shellcheck disable=SC2086
			if compile "$what, re-declared" $cc $lang -std=$std $defs -Wall -Wextra -Wredundant-decls -Wno-register; then
				if grep -E '_g_hash_iter|_G_HASH_ITER' "$out"; then
					echo "FAIL $what, re-declared: a diagnostic names the header's internals"
					verdict no
				else
					verdict ok
				fi
			else
				verdict no
			fi
			# shellcheck disable=SC2086
			if compile "$what, warnings" $cc $lang -std=$std $defs -DNO_REDECLARATIONS $warnings; then
				if grep -E 'bucketwalk\.h:[0-9]+:[0-9]+:' "$out"; then
					echo "FAIL $what, warnings: the header's own lines draw diagnostics"
					verdict no
				else
					verdict ok
				fi
			else
				verdict no
			fi
		done
	done
done

# With GLib 2's glib.h in its place, as pkg-config --cflags glib-2.0 gives
# it, the header must stop the build with an error that names GLib 1.2.
glib2=$(pkg-config --cflags glib-2.0 2>/dev/null)
if [ -z "$glib2" ]; then
	echo "GLib 2: not installed (Debian package libglib2.0-dev), not tried"
else
	for cc in gcc clang g++ clang++; do
		command -v $cc >/dev/null || continue
		case $cc in *++) lang='-x c++' ;; *) lang= ;; esac
		# shellcheck disable=SC2086
		if $cc $lang $flags -I"$header_dir" $glib2 -c "$src" -o /dev/null >"$out" 2>&1; then
			echo "FAIL $cc with GLib 2's glib.h: compiles"
			verdict no
		elif grep -q 'bucketwalk\.h:.*error: .*GLib 1\.2' "$out"; then
			verdict ok
		else
			echo "FAIL $cc with GLib 2's glib.h: no error of bucketwalk.h names GLib 1.2"
			sed 's/^/  /' "$out" | head -n 5
			verdict no
		fi
	done
fi

# shellcheck disable=SC2086
if $emulator "$client"; then verdict ok; else verdict no; fi
echo "$passed passed, $failed failed"
[ $failed = 0 ]
