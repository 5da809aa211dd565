#!/bin/sh
# Checks a shipped ELF file the way a distribution would:
#   elf_check.sh program FILE "NEEDED..." [fortified]
#   elf_check.sh library FILE "NEEDED..." "EXPORTED..." "DEFAULT OTHER..."
# - its NEEDED entries are exactly the given libraries;
# - full RELRO with immediate binding, position independent, no empty run
#   path entry;
# - a program is a PIE, has the stack protector and, in a build that
#   fortifies (all but Debug), calls the C library's fortified functions;
# - a library exports exactly the given functions, each at the default
#   symbol version given first, and at each other one given after it.  (Its
#   functions keep no buffers on the stack, so there is nothing for a stack
#   protector to guard.)
set -u
kind=$1 file=$2 needed=$3 extra=${4-} version=${5-}
fail=0
no() { echo "FAIL $file: $*"; fail=1; }

dyn=$(readelf -d -W "$file") || exit 1
got=$(printf '%s\n' "$dyn" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
want=$(printf '%s\n' $needed | sort | tr '\n' ' ')
[ "$got" = "$want" ] || no "NEEDED is '$got', expected '$want'"

readelf -l -W "$file" | grep -q GNU_RELRO || no "no RELRO segment"
printf '%s\n' "$dyn" | grep -q 'BIND_NOW\|FLAGS_1.*NOW' || no "no immediate binding"
readelf -h "$file" | grep -q 'DYN' || no "not position independent"
# An empty run path entry makes the loader search the current directory.
printf '%s\n' "$dyn" | grep -E 'R(UN)?PATH' | grep -Eq '\[:|::|:\]' && no "an empty run path entry"
# The dynamic symbols: section, binding and name with its version; a
# version's own symbol (section ABS) is none.
versioned=$(readelf --dyn-syms -W "$file" | awk '$1 ~ /^[0-9]+:$/ && $8 != "" && $7 != "ABS" {print $7, $5, $8}')
syms=$(printf '%s\n' "$versioned" | sed 's/@.*//')

case $kind in
program)
	printf '%s\n' "$dyn" | grep -q 'FLAGS_1.*PIE' || no "not a PIE program"
	printf '%s\n' "$syms" | grep -q ' __stack_chk_fail$' || no "no stack protector"
	if [ "$extra" = fortified ]; then
		printf '%s\n' "$syms" | grep -q ' __[a-z0-9_]*_chk$' || no "no fortified calls"
	fi
	;;
library)
	got=$(printf '%s\n' "$versioned" | awk '$1 != "UND" && $2 != "LOCAL" {print $3}' | sort | tr '\n' ' ')
	default=${version%% *} old=
	[ "$default" = "$version" ] || old=${version#* }
	want=$(for f in $extra; do
		echo "$f@@$default"
		for v in $old; do echo "$f@$v"; done
	done | sort | tr '\n' ' ')
	[ "$got" = "$want" ] || no "exports '$got', expected '$want'"
	;;
*)
	echo "usage: elf_check.sh program|library FILE NEEDED [fortified | EXPORTED VERSION]" >&2
	exit 2
	;;
esac
[ $fail = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $fail
