#!/bin/sh
# Installs a build and builds clients against the installed tree:
#  - each component installs exactly its files (Runtime: the library;
#    Development: what builds against it; Program: epochclock and its page),
#    and each manual page renders without a warning;
#  - a /usr install's bucketwalk.pc adds nothing to GLib's flags but
#    -lbucketwalk, since pkg-config drops the system directories;
#  - the word-count example, built against an install under another prefix
#    with pkg-config, as a CMake project (tests/client) and through its
#    Makefile (with pkg-config, and with glib-config where the GLib has
#    one), prints the expected counts; the Makefile's run with no
#    LD_LIBRARY_PATH, through the run paths it gives.
#
#   install_check.sh BUILD VERSION LIBDIR GLIB_PC_DIR "CC CFLAGS" TOOLCHAIN SAMPLE EXPECTED [EMULATOR]
#
# GLIB_PC_DIR holds the glib.pc of the GLib 1.2 the build uses; TOOLCHAIN is
# the build's toolchain file, or empty.  CLIENTS_GLIB_PC_DIR, if set, holds
# another GLib 1.2's glib.pc, which the clients then build and run with: a
# build against the stand-in, installed, with a real GLib 1.2.
set -u
build=$1 version=$2 libdir=$3 glib_pc=${CLIENTS_GLIB_PC_DIR:-$4} cc=$5 toolchain=$6 sample=$7 expected=$8 emulator=${9-}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0 failed=0
ok() { passed=$((passed + 1)); }
no() {
	echo "FAIL $*"
	failed=$((failed + 1))
}

# --- components ------------------------------------------------------------
runtime="$libdir/libbucketwalk.so.1
$libdir/libbucketwalk.so.$version"
program="bin/epochclock
share/man/man1/epochclock.1"
development="$libdir/cmake/bucketwalk/bucketwalkConfig.cmake
$libdir/cmake/bucketwalk/bucketwalkConfigVersion.cmake
$libdir/cmake/bucketwalk/bucketwalkGLib12.cmake
$libdir/libbucketwalk.so
$libdir/pkgconfig/bucketwalk.pc
include/bucketwalk.h
share/man/man3/bucketwalk.3
share/man/man3/g_hash_iter_changed.3
share/man/man3/g_hash_iter_destroy.3
share/man/man3/g_hash_iter_first.3
share/man/man3/g_hash_iter_new.3
share/man/man3/g_hash_iter_next.3"
for component in Runtime Development Program; do
	DESTDIR=$tmp/$component cmake --install "$build" --prefix /usr --component $component >/dev/null ||
		no "$component: cmake --install failed"
	got=$(cd "$tmp/$component/usr" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
	case $component in
	Runtime) want=$runtime ;;
	Development) want=$development ;;
	*) want=$program ;;
	esac
	want=$(printf '%s\n' "$want" | LC_ALL=C sort)
	if [ "$got" = "$want" ]; then ok; else
		no "$component installs:"
		printf '%s\n' "$got" | sed 's/^/  /'
	fi
done
if readelf -d "$tmp/Runtime/usr/$libdir/libbucketwalk.so.$version" | grep -q 'R.*PATH'; then
	no "the installed library keeps a run path"
else ok; fi

# The installed manual pages render without a warning, .so links included.
for page in "$tmp"/Program/usr/share/man/man*/* "$tmp"/Development/usr/share/man/man*/*; do
	dir=${page%/man*/*}
	if (cd "$dir" && groff -mandoc -ww -z "${page#"$dir"/}") >"$tmp/log" 2>&1 && [ ! -s "$tmp/log" ]; then
		ok
	else
		no "${page##*/} does not render cleanly:"
		sed 's/^/  /' "$tmp/log"
	fi
done

# --- pkg-config on a /usr install -------------------------------------------
flags() { PKG_CONFIG_PATH=$1:$glib_pc pkg-config --cflags --libs "$2" | tr ' ' '\n' | grep . | LC_ALL=C sort; }
got=$(flags "$tmp/Development/usr/$libdir/pkgconfig" bucketwalk)
want=$( (flags "$tmp/Development/usr/$libdir/pkgconfig" glib; echo -lbucketwalk) | LC_ALL=C sort)
if [ "$got" = "$want" ]; then ok; else no "a /usr install's pkg-config flags:" $got; fi

# --- clients of an install elsewhere ---------------------------------------
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null || no "cmake --install --prefix failed"
# A GLib outside the loader's directories is found as its users find it.
glib_libdir=$(PKG_CONFIG_PATH=$glib_pc pkg-config --variable=libdir glib)
run() {
	: >"$tmp/diff"
	# shellcheck disable=SC2086
	if LD_LIBRARY_PATH=${3-$prefix/$libdir:$glib_libdir} $emulator "$2" "$sample" >"$tmp/out" 2>&1 &&
		diff -u "$expected" "$tmp/out" >"$tmp/diff"; then ok; else
		no "$1 client:"
		sed 's/^/  /' "$tmp/diff" "$tmp/out" | head -n 20
	fi
}
# shellcheck disable=SC2046,SC2086
if $cc -std=gnu89 "$here/../examples/wordcount.c" -o "$tmp/pc-client" \
	$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig:$glib_pc pkg-config --cflags --libs bucketwalk) \
	>"$tmp/log" 2>&1; then
	run pkg-config "$tmp/pc-client"
else
	no "the pkg-config client does not build:"
	sed 's/^/  /' "$tmp/log"
fi
if PKG_CONFIG_PATH=$glib_pc cmake -S "$here/client" -B "$tmp/client" -G Ninja \
	-DCMAKE_PREFIX_PATH="$prefix" ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
	>"$tmp/log" 2>&1 && cmake --build "$tmp/client" >>"$tmp/log" 2>&1; then
	run CMake "$tmp/client/wordcount"
else
	no "the CMake client does not build:"
	tail -n 20 "$tmp/log" | sed 's/^/  /'
fi

# Through the Makefile, as a project of its own: with pkg-config, and with
# glib-config and the install's prefix.
glib_config=$glib_pc/../../bin/glib-config
for way in pkg-config glib-config; do
	[ $way = glib-config ] && [ ! -x "$glib_config" ] && continue
	mkdir -p "$tmp/make-$way"
	cp "$here/../examples/Makefile" "$here/../examples/wordcount.c" "$tmp/make-$way/"
	if [ $way = pkg-config ]; then
		set -- env PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig:$glib_pc" make
	else
		set -- make GLIB_CONFIG="$glib_config" BUCKETWALK="$prefix" BUCKETWALK_LIBDIR="$prefix/$libdir"
	fi
	if "$@" -C "$tmp/make-$way" CC="$cc" >"$tmp/log" 2>&1; then
		run "Makefile ($way)" "$tmp/make-$way/wordcount" ""
	else
		no "the Makefile ($way) does not build:"
		sed 's/^/  /' "$tmp/log"
	fi
done

echo "$passed passed, $failed failed"
[ $failed = 0 ]
