#!/usr/bin/env bash
# Builds a real GLib 1.2 from its source, for the tests and benchmarks to run
# against, into the build tree; nothing is installed into the system.
#
#   realglib/build.sh SOURCE DEST ARCH...
#
# SOURCE is a tarball or a directory of GLib 1.2's source as tagged in
# GNOME's glib repository (configure.in, no configure); ARCH is x86_64 or
# i386.  Each ARCH is built in DEST/ARCH, which then holds what an installed
# GLib 1.2 has, under the prefix DEST/ARCH:
#
#   include/glib-1.2/glib.h      lib/glib/include/glibconfig.h
#   lib/libglib-1.2.so.0*        lib/libglib.so
#   lib/pkgconfig/glib.pc        bin/glib-config
#
# and src/, the configured source with its config.h, for GLib's own tests.
#
# configure is GLib's own configure.in run through autoconf 2.13, with
# stand-ins for the automake 1.4 macros it calls (automake-1.4.m4), so that
# glibconfig.h, config.h, glib.pc and glib-config are what GLib's configure
# makes for each architecture.  The library is compiled as GLib's
# Makefile.am, through automake and libtool, compiles it.  A build whose
# source, recipe and architecture are those of the last one is not redone.
set -euo pipefail

recipe=$(cd "$(dirname "$0")" && pwd)
arch=
say() { echo "GLib 1.2 (real)${arch:+, $arch}: $*" >&2; }
fail() {
	say "$*"
	exit 1
}

[ $# -ge 3 ] || {
	echo "usage: realglib/build.sh SOURCE DEST x86_64|i386..." >&2
	exit 2
}
source=$1 dest=$2
shift 2
[ -e "$source" ] || fail "no source at $source"
source=$(realpath "$source")
mkdir -p "$dest"
dest=$(realpath "$dest")

# What this needs beyond the compilers, and the Debian package of each.
for tool in autoconf2.13:autoconf2.13 autoheader2.13:autoconf2.13 perl:perl \
	/usr/share/misc/config.guess:autotools-dev pkg-config:pkg-config; do
	command -v "${tool%%:*}" >/dev/null || [ -f "${tool%%:*}" ] ||
		fail "${tool%%:*} is missing (Debian package ${tool#*:})"
done

# Identifies a build: the source's contents, the recipe and the compiler.
if [ -d "$source" ]; then
	source_sum=$(cd "$source" && find . -type f -print0 | LC_ALL=C sort -z |
		xargs -0 sha256sum | sha256sum)
else
	source_sum=$(sha256sum <"$source")
fi
recipe_sum=$(cat "$recipe"/build.sh "$recipe"/automake-1.4.m4 "$recipe"/cc-i386 | sha256sum)

# Unpacks the source into $1, which must not exist.
unpack() {
	if [ -d "$source" ]; then
		cp -a "$source" "$1"
		return
	fi
	local tmp=$1.unpack top
	rm -rf "$tmp" && mkdir -p "$tmp"
	tar -xf "$source" -C "$tmp" 2>"$tmp.err" ||
		fail "unpacking $source failed: $(head -n 3 "$tmp.err")"
	rm -f "$tmp.err"
	top=$tmp
	[ -f "$tmp/configure.in" ] || top=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d)
	[ "$(printf '%s\n' "$top" | wc -l)" = 1 ] && [ -d "$top" ] ||
		fail "$source holds no single source directory"
	mv "$top" "$1"
	rm -rf "$tmp"
}

build() {
	local out=$dest/$arch src=$dest/$arch/src cc host ptr
	case $arch in
	x86_64) cc="gcc -std=gnu89" host=x86_64-pc-linux-gnu ptr=8 ;;
	i386)
		cc="$recipe/cc-i386" host=i686-pc-linux-gnu ptr=4
		command -v qemu-i386 >/dev/null || fail "qemu-i386 is missing (Debian package qemu-user)"
		;;
	*) fail "unknown architecture (x86_64 or i386)" ;;
	esac
	local key
	key=$(printf '%s\n' "$source_sum" "$recipe_sum" "$arch" "$(gcc --version | head -n 1)" | sha256sum)
	if [ -f "$out/.built" ] && [ "$(cat "$out/.built")" = "$key" ]; then
		say "up to date in $out"
		return
	fi
	say "building in $out"
	rm -rf "$out"
	mkdir -p "$out"
	unpack "$src"

	# --- the source ------------------------------------------------------
	cd "$src"
	[ -f configure.in ] && [ -f Makefile.am ] && [ -f glib.h ] && [ -f ghash.c ] ||
		fail "$source is not a GLib source: no configure.in, Makefile.am, glib.h or ghash.c"
	grep -q '^GLIB_MAJOR_VERSION=1$' configure.in && grep -q '^GLIB_MINOR_VERSION=2$' configure.in ||
		fail "$source is not GLib 1.2 (configure.in gives another version)"
	local sources
	sources=$(sed -n '/^libglib_la_SOURCES[ 	]*=/,/^[ 	]*$/p' Makefile.am |
		tr -s ' \t\\=' '\n' | grep '\.c$' || true)
	[ -n "$sources" ] || fail "no libglib_la_SOURCES in Makefile.am"
	for f in $sources; do
		[ -f "$f" ] || fail "Makefile.am lists $f, which the source lacks"
	done

	# --- configure -------------------------------------------------------
	# automake's part: its macros, an install-sh, empty Makefile.in files
	# for AC_OUTPUT; today's config.guess and config.sub, which know this
	# system.
	cat "$recipe/automake-1.4.m4" acinclude.m4 >aclocal.m4
	cp /usr/share/misc/config.guess /usr/share/misc/config.sub .
	printf '#!/bin/sh\nexec install "$@"\n' >install-sh
	chmod +x install-sh
	for d in . gmodule gthread docs tests; do
		[ -f "$d/Makefile.in" ] || { mkdir -p "$d" && : >"$d/Makefile.in"; }
	done
	autoconf2.13 >autoconf.log 2>&1 || fail "autoconf2.13 failed: $(grep -v warning autoconf.log | head -n 5)"
	autoheader2.13 >autoheader.log 2>&1 || fail "autoheader2.13 failed: $(grep -v warning autoheader.log | head -n 5)"
	CC=$cc ./configure --prefix="$out" --host=$host >configure.log 2>&1 ||
		fail "configure failed (more in $src/config.log):
$(tail -n 5 configure.log)"
	[ -f glibconfig.h ] && [ -f config.h ] && [ -f glib.pc ] && [ -f glib-config ] ||
		fail "configure made no glibconfig.h, config.h, glib.pc or glib-config"
	# configure falls back on guesses where it cannot run its test programs.
	grep -q "^#define SIZEOF_VOID_P $ptr\$" config.h ||
		fail "configure found pointers of other than $ptr bytes: $(grep SIZEOF_VOID_P config.h)"

	# --- compile ---------------------------------------------------------
	# What configure substituted for @$1@.
	subst() { sed -n "s/^s%@$1@%\(.*\)%g\$/\1/p" config.status; }
	# Today's GCC makes __PRETTY_FUNCTION__ a variable, which gstrfuncs.c
	# pastes onto string literals: pass it as an argument instead.
	perl -0pi -e 's/G_GNUC_PRETTY_FUNCTION(\s*)"(\(\):[^"]*)"/"%s$2",$1G_GNUC_PRETTY_FUNCTION/g' gstrfuncs.c
	# What automake's compile rule and libtool's -fPIC add to configure's
	# own flags.
	local flags
	flags="$(subst DEFS) -I. -DG_LOG_DOMAIN=g_log_domain_glib $(subst GLIB_DEBUG_FLAGS)
		$(subst CPPFLAGS) $(subst CFLAGS) -fPIC -DPIC"
	mkdir -p .libs
	for f in $sources; do
		# shellcheck disable=SC2086
		$cc $flags -c "$f" -o ".libs/${f%.c}.o" >compile.log 2>&1 ||
			fail "compiling $f failed:
$(head -n 15 compile.log)"
	done
	# libtool's name for -release 1.2 -version-info CURRENT:REVISION:AGE.
	local lib
	lib=libglib-1.2.so.$(($(subst LT_CURRENT) - $(subst LT_AGE))).$(subst LT_AGE).$(subst LT_REVISION)
	$cc -shared -Wl,-soname,libglib-1.2.so.0 -o ".libs/$lib" .libs/*.o -lc >compile.log 2>&1 ||
		fail "linking libglib-1.2.so.0 failed:
$(head -n 10 compile.log)"

	# --- install into the build tree --------------------------------------
	mkdir -p "$out/include/glib-1.2" "$out/lib/glib/include" "$out/lib/pkgconfig" "$out/bin"
	cp glib.h "$out/include/glib-1.2/"
	cp glibconfig.h "$out/lib/glib/include/"
	cp ".libs/$lib" "$out/lib/"
	ln -sf $lib "$out/lib/libglib-1.2.so.0"
	ln -sf $lib "$out/lib/libglib.so"
	cp glib.pc "$out/lib/pkgconfig/"
	cp glib-config "$out/bin/"
	local version
	version=$(PKG_CONFIG_LIBDIR=$out/lib/pkgconfig pkg-config --modversion glib) &&
		[ "${version#1.2.}" != "$version" ] ||
		fail "the glib.pc that configure made does not describe GLib 1.2"
	printf '%s\n' "$key" >"$out/.built"
	say "GLib $version built, $out/lib/$lib"
}

for arch; do
	(build)
done
