#!/bin/sh
# Checks a shipped ELF file the way a distribution would:
#   elf_check.sh FILE "NEEDED..." ["EXPORTED..."]
# - its NEEDED entries are exactly the given libraries;
# - it is hardened: full RELRO with immediate binding, PIE (for programs),
#   stack protector and fortified calls;
# - a shared library exports exactly the given functions.
set -u
file=$1 needed=$2 exported=${3-}
fail=0
no() { echo "FAIL $file: $*"; fail=1; }

dyn=$(readelf -d -W "$file") || exit 1
got=$(printf '%s\n' "$dyn" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
want=$(printf '%s\n' $needed | sort | tr '\n' ' ')
[ "$got" = "$want" ] || no "NEEDED is '$got', expected '$want'"

readelf -l -W "$file" | grep -q GNU_RELRO || no "no RELRO segment"
printf '%s\n' "$dyn" | grep -q 'BIND_NOW\|FLAGS_1.*NOW' || no "no immediate binding"
readelf -h "$file" | grep -q 'DYN' || no "not position independent"
syms=$(readelf --dyn-syms -W "$file")
printf '%s\n' "$syms" | grep -q '__stack_chk_fail' || no "no stack protector"

if [ -n "$exported" ]; then
	got=$(printf '%s\n' "$syms" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $5 != "LOCAL" && $8 != "" {print $8}' |
		sed 's/@.*//' | sort | tr '\n' ' ')
	want=$(printf '%s\n' $exported | sort | tr '\n' ' ')
	[ "$got" = "$want" ] || no "exports '$got', expected '$want'"
else
	printf '%s\n' "$syms" | grep -q '_chk' || no "no fortified calls"
	printf '%s\n' "$dyn" | grep -q 'FLAGS_1.*PIE' || no "not a PIE program"
fi
[ $fail = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $fail
