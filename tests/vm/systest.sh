#!/usr/bin/env bash
# epochclock against a real kernel clock: for each architecture, boots a
# Debian 12 kernel under qemu-system with a small initramfs that holds the
# freshly built epochclock, the loader and C library it needs, a static
# busybox and the case table below (the guest's /init), and reads the
# results from the serial console.  Only the virtual machine's clock is
# ever set: /init refuses to run unless it is process 1 of a kernel booted
# with this script's marker on its command line.
#
#   tests/vm/systest.sh [BUILD_DIR]   (default build; epochclock is taken
#                                     from BUILD_DIR/{x86_64,i386}/epochclock)
#
# Kernels, busybox and the C libraries are fetched with apt-get download into
# BUILD_DIR/vm-cache and unpacked there with dpkg-deb; nothing is installed.
# The i386 packages need "dpkg --add-architecture i386" (./run does it).
#
# The accelerator: SYSTEST_ACCEL=kvm or tcg forces one.  Otherwise each
# machine is booted under KVM first, and booted again under TCG when KVM
# does not start the guest: when qemu exits or stops the machine (a KVM
# internal error), or the guest's init prints nothing within
# SYSTEST_KVM_WAIT seconds (default 20; a boot under KVM takes one or two).
# The line for the machine says why KVM was left (see why_not).
# A /dev/kvm that opens is not enough: nested KVM often cannot run these
# kernels.  A machine whose qemu exits or stops ends its run at once; one
# that runs without finishing its cases is ended after SYSTEST_TIMEOUT
# seconds (default 300).  SYSTEST_QEMU, if set, is run in place of
# qemu-system-i386 and qemu-system-x86_64 (the tests of this choice give a
# stand-in; see accel_cases.sh).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
limit=${SYSTEST_TIMEOUT:-300}
kvm_wait=${SYSTEST_KVM_WAIT:-20}
download_limit=300

# Downloads the newest version of a package into the cache (once) and prints
# the path of its .deb.
fetch() {
	local uri file
	read -r uri file _ < <(apt-get download --print-uris "$1" 2>/dev/null) ||
		{ echo "systest: no package $1 (apt-get update?)" >&2; return 1; }
	if [ ! -s "$cache/$file" ]; then
		(cd "$cache" && timeout $download_limit apt-get download "$1" >/dev/null 2>"$work/apt.err")
		case $? in
		0) ;;
		124)
			echo "systest: downloading $1 did not finish within $download_limit s" >&2
			return 1
			;;
		*)
			echo "systest: downloading $1 failed:" >&2
			cat "$work/apt.err" >&2
			return 1
			;;
		esac
	fi
	echo "$cache/$file"
}

# Unpacks a package into the cache (once), all of it or only the members
# that match a pattern, and prints the directory.
unpack() {
	local deb dir
	deb=$(fetch "$1") || return 1
	dir=$cache/$(basename "$deb" .deb)
	if [ ! -d "$dir" ]; then
		rm -rf "$dir.tmp"
		if [ -n "${2-}" ]; then
			mkdir "$dir.tmp" && dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dir.tmp" --wildcards "$2"
		else
			dpkg-deb -x "$deb" "$dir.tmp"
		fi && mv "$dir.tmp" "$dir" || { echo "systest: cannot unpack $deb" >&2; return 1; }
	fi
	echo "$dir"
}

# The kernel image that the metapackage (linux-image-686, linux-image-amd64)
# points at today, the newest the archive offers; its modules are not needed.
kernel() {
	local pkg dir
	pkg=$(apt-cache depends "$1" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -1)
	[ -n "$pkg" ] || { echo "systest: cannot resolve $1" >&2; return 1; }
	dir=$(unpack "$pkg" './boot/vmlinuz-*') || return 1
	echo "$dir"/boot/vmlinuz-*
}

# The guest's /init: runs as process 1, executes the cases, prints one line
# per case and the totals on the console, and powers the machine off.
write_init() {
	cat >"$1" <<'INIT'
#!/bin/sh
# Process 1 of the test machine, booted with the marker, or nothing at all.
if [ $$ -ne 1 ]; then
	echo "systest: not the test machine's init; refusing to set any clock" >&2
	exit 1
fi
export PATH=/bin LC_ALL=C
mount -t proc proc /proc
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
exec </dev/console >/dev/console 2>&1
# The guest's first sign of life, which the host waits for under KVM.
echo "systest: init started"
arch=$(sed -n 's/.*epochclock\.systest=\([a-z0-9_]*\).*/\1/p' /proc/cmdline)
if [ -z "$arch" ]; then
	echo "systest: booted without the marker; refusing to set any clock"
	poweroff -f
fi

passed=0 failed=0

# since_boot: the time since boot in $up, in hundredths of a second, read
# from /proc/uptime ("seconds.hundredths idle") without a process.
since_boot() {
	read -r up _ </proc/uptime
	up=$((${up%.*} * 100 + 1${up#*.} - 100))
}

# run USER ARG...: runs epochclock as root or as an unprivileged user, with
# its output in /tmp/out and /tmp/err, its status in $st, and the clock as
# date reads it just before and after in $c0 and $c1.  $dt is the whole
# seconds by which the clock may have gone on during the run: 1 on a quick
# machine, more on one that its host keeps waiting.
run() {
	user=$1
	shift
	since_boot
	u0=$up
	c0=$(date +%s)
	if [ "$user" = root ]; then
		epochclock "$@"
	else
		asuser 65534 epochclock "$@"
	fi >/tmp/out 2>/tmp/err
	st=$?
	c1=$(date +%s)
	since_boot
	dt=$(((up - u0 + 100) / 100))
}

# expect NAME STDOUT STDERR STATUS [LOW HIGH]: the last run's output and
# status, exactly (with \n escapes), and the clock afterwards in [LOW, HIGH].
expect() {
	printf '%b' "$2" >/tmp/want.out
	printf '%b' "$3" >/tmp/want.err
	why=
	cmp -s /tmp/want.out /tmp/out || why="$why; stdout [$(cat /tmp/out)]"
	cmp -s /tmp/want.err /tmp/err || why="$why; stderr [$(cat /tmp/err)]"
	[ "$st" = "$4" ] || why="$why; status $st"
	if [ $# -gt 4 ] && ! { [ "$c1" -ge "$5" ] && [ "$c1" -le "$6" ]; }; then
		why="$why; clock $c1, not in [$5, $6]"
	fi
	if [ -z "$why" ]; then
		passed=$((passed + 1))
		echo "ok $arch: $1"
	else
		failed=$((failed + 1))
		echo "FAIL $arch: $1$why"
	fi
}

# printed: the seconds printed, if date read as many or fewer before and as
# many or more after, else what date read before (which then differs).
printed() {
	p=$(cat /tmp/out)
	case $p in
	'' | *[!0-9]*) p=$c0 ;;
	*) [ "$p" -ge "$c0" ] && [ "$p" -le "$c1" ] || p=$c0 ;;
	esac
}

# sets ARG SECONDS: epochclock ARG, as root, where ARG is SECONDS.  Linux
# refuses (EINVAL) a wall clock earlier than the time since boot, so the
# expected outcome is that refusal, the clock unchanged, when SECONDS is
# below the time since boot read just before, and the clock set otherwise.
# The time since boot goes on while epochclock starts, so SECONDS less than
# 5 s above it could go either way: that is waited out, and then refused.
sets() {
	since_boot
	while [ $(($2 * 100)) -ge "$up" ] && [ $(($2 * 100)) -lt $((up + 500)) ]; do
		sleep 1
		since_boot
	done
	run root "$1"
	if [ $(($2 * 100)) -lt "$u0" ]; then
		expect "'$1' is before the time since boot ($((u0 / 100)).$((u0 / 10 % 10))$((u0 % 10)) s): refused, clock unchanged" \
			"" "epochclock: Invalid argument\n" 255 $c0 $((c0 + dt))
	else
		expect "'$1' sets $2" "" "" 0 "$2" $(($2 + dt))
	fi
}

invalid='epochclock: invalid value entered.\n'

read -r up _ </proc/uptime
echo "$arch: up $up s at the first case"
run root
printed
expect "print agrees with the clock" "$p\n" "" 0

# ARG|SECONDS: hexadecimal and octal values that any guest is set to; a
# decimal one that a guest up for more than 42 s refuses; 1, before the time
# since boot on any boot, and -1, before the epoch.
while IFS='|' read -r arg secs; do
	sets "$arg" "$secs"
done <<'CASES'
0xABCDEF|11259375
012345670|2739128
 42|42
1|1
-1|-1
CASES
for arg in 42abc "" $([ "$arch" = i386 ] && echo 2147483648); do
	run root "$arg"
	expect "'$arg' is invalid, clock unchanged" "" "$invalid" 255 $c0 $((c0 + dt))
done

run user 1000
expect "unprivileged: setting is not permitted, clock unchanged" \
	"" "epochclock: Operation not permitted\n" 255 $c0 $((c0 + dt))
run user
printed
expect "unprivileged: printing works" "$p\n" "" 0

# Past 2^31 - 1 (on i386, 64-bit time on a 32-bit kernel).  The 32-bit
# busybox cannot read such a clock, so epochclock's own output is checked.
run root 2147483646
expect "2147483646 is set" "" "" 0
sleep 3
run root
p=$(cat /tmp/out)
case $p in 21474836[4-9][0-9] | 2147483[7-9][0-9][0-9]) ;; *) p="seconds past 2147483647" ;; esac
expect "print after 2038-01-19" "$p\n" "" 0

echo "$arch: $passed passed, $failed failed"
poweroff -f
INIT
}

# machine ACCEL WAIT LINE: boots run_machine's machine (arch, vmlinuz,
# qemu_cmd, log, err) under ACCEL and watches it until qemu exits or stops
# the machine, or until its run passes the limit, or, given WAIT, until WAIT
# seconds have passed without the guest's init starting.  Prints LINE when
# the init starts.  Sets accel; outcome to exited, stopped, silent or limit;
# qstatus to qemu's exit status; alive when the init started.
machine() {
	accel=$1 outcome= qstatus= alive=
	local wait=$2 announce=$3 event start=$SECONDS pid qin qout
	: >"$log"
	rm -f "$work/qmp.in" "$work/qmp.out"
	mkfifo "$work/qmp.in" "$work/qmp.out"
	# qemu reports on its QMP monitor (standard input and output) when it
	# stops the machine: a KVM internal error leaves it paused, not gone.
	"${qemu_cmd[@]}" -accel "$accel" -m 256 -nodefaults -display none \
		-no-reboot -nic none -serial "file:$log" -qmp stdio \
		-kernel "$vmlinuz" -initrd "$work/initrd-$arch.gz" \
		-append "console=ttyS0 quiet panic=-1 epochclock.systest=$arch" \
		<"$work/qmp.in" >"$work/qmp.out" 2>"$err" &
	pid=$!
	exec {qin}>"$work/qmp.in" {qout}<"$work/qmp.out"
	echo '{"execute": "qmp_capabilities"}' >&$qin 2>/dev/null
	while [ -z "$outcome" ]; do
		if read -r -t 1 event <&$qout; then
			case $event in *'"event": "STOP"'*) outcome=stopped ;; esac
		elif [ $? -le 128 ]; then
			outcome=exited
		fi
		if [ -z "$alive" ] && grep -q '^systest: init started' "$log"; then
			alive=1
			[ -n "$announce" ] && echo "$announce"
		fi
		[ -n "$outcome" ] && break
		if [ -z "$alive" ] && [ -n "$wait" ] && [ $((SECONDS - start)) -ge "$wait" ]; then
			outcome=silent
		elif [ $((SECONDS - start)) -ge "$limit" ]; then
			outcome=limit
		fi
	done
	# A qemu that has not gone is told to, and killed if it does not.
	[ "$outcome" = exited ] || kill "$pid" 2>/dev/null
	local n=0
	while kill -0 "$pid" 2>/dev/null && [ $((n += 1)) -le 50 ]; do sleep 0.1; done
	kill -KILL "$pid" 2>/dev/null
	wait "$pid"
	qstatus=$?
	exec {qin}>&- {qout}<&-
}

# Why the last machine() did not start the guest, in a few words: qemu's
# first line about KVM (a KVM internal error with its kind), else that the
# guest said nothing, else how qemu ended and its last line.  qemu's
# warnings, which some hosts draw before anything else, are never the
# reason.
why_not() {
	local lines kvm last
	lines=$(sed -e 's/^[^ :]*qemu[^ :]*: //' -e 's/^-accel [^ :]*: //' "$err" |
		grep -v -e '^warning: ' -e '^[[:space:]]*$')
	kvm=$(grep -m 1 -iE '(^|[ :])kvm([ :.]|$)' <<<"$lines")
	last=$(tail -n 1 <<<"$lines")
	if [ -n "$kvm" ]; then
		case $kvm in
		"KVM internal error"*) grep -qx 'emulation failure' <<<"$lines" && kvm="$kvm (emulation failure)" ;;
		esac
		echo "$kvm"
	elif [ "$outcome" = silent ]; then
		echo "the guest said nothing in $kvm_wait s"
	elif [ "$outcome" = stopped ]; then
		echo "qemu stopped the machine${last:+: $last}"
	else
		echo "qemu exited with status $qstatus${last:+: $last}"
	fi
}

# boot ARCH: builds the initramfs for ARCH and runs the cases in a VM.
boot() {
	local arch=$1 qemu meta libc triplet interp
	case $arch in
	i386) qemu=qemu-system-i386 meta=linux-image-686:i386 libc=libc6:i386 triplet=i386-linux-gnu ;;
	x86_64) qemu=qemu-system-x86_64 meta=linux-image-amd64 libc=libc6:amd64 triplet=x86_64-linux-gnu ;;
	esac
	local prog=$build/$arch/epochclock/epochclock
	[ -x "$prog" ] || { echo "systest: $prog is missing; build the $arch preset first" >&2; return 1; }

	local vmlinuz libcdir busybox
	vmlinuz=$(kernel "$meta") && libcdir=$(unpack "$libc") && busybox=$(unpack busybox-static:i386) ||
		return 1

	local root=$work/root-$arch
	mkdir -p "$root"/{bin,dev,proc,tmp,lib/$triplet}
	chmod 755 "$root" "$root"/*
	cp "$busybox/bin/busybox" "$root/bin/"
	for applet in sh mount sed cat cmp date printf sleep poweroff; do
		ln -s busybox "$root/bin/$applet"
	done
	install -m 755 "$prog" "$root/bin/epochclock"
	cp "$work/asuser" "$root/bin/"
	# The loader where the program's interpreter path names it, the C
	# library where the loader looks.
	interp=$(readelf -l "$prog" | sed -n 's/.*interpreter: \(.*\)]/\1/p')
	cp -a "$libcdir/lib/$triplet"/{ld-linux*.so.2,libc.so.6} "$root/lib/$triplet/"
	mkdir -p "$root$(dirname "$interp")"
	[ -e "$root$interp" ] || cp -a "$libcdir$interp" "$root$interp"
	write_init "$root/init"
	chmod 755 "$root/init"
	(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initrd-$arch.gz"

	run_machine "$arch" "$qemu" "$vmlinuz"
}

# run_machine ARCH QEMU VMLINUZ: boots the kernel with the initramfs that
# boot() made, under the accelerator chosen, and adds its results to the
# totals; fails when the cases did not finish.
run_machine() {
	local arch=$1 qemu=$2 vmlinuz=$3 accel outcome qstatus alive
	local log=$work/console-$arch.log err=$work/qemu-$arch.err
	local qemu_cmd=("$qemu")
	[ -n "${SYSTEST_QEMU-}" ] && read -r -a qemu_cmd <<<"$SYSTEST_QEMU"
	local line="== $arch: $(basename "$vmlinuz") under $qemu"
	if [ "$SYSTEST_ACCEL" = auto ]; then
		machine kvm "$kvm_wait" "$line (kvm)"
		if [ -z "$alive" ]; then
			echo "$line (tcg; kvm did not start the guest: $(why_not))"
			machine tcg "" ""
		fi
	else
		echo "$line ($SYSTEST_ACCEL)"
		machine "$SYSTEST_ACCEL" "$([ "$SYSTEST_ACCEL" = kvm ] && echo "$kvm_wait")" ""
	fi

	tr -d '\r' <"$log" >"$log.txt"
	grep -E "^((ok|FAIL) $arch: |$arch: up )" "$log.txt"
	local totals
	totals=$(sed -n "s/^$arch: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p" "$log.txt")
	if [ -z "$totals" ]; then
		local why
		if [ "$outcome" = limit ]; then
			why="no result within $limit s"
		elif [ -z "$alive" ]; then
			why="$accel did not start the guest: $(why_not)"
		elif [ "$outcome" = stopped ]; then
			why="qemu stopped the machine before the cases finished"
		else
			why="qemu exited (status $qstatus) before the cases finished"
		fi
		echo "systest: $arch: $why" >&2
		echo "systest: $arch: the machine did not finish the cases; its console:" >&2
		if [ -s "$log.txt" ]; then tail -n 40 "$log.txt"; else echo "(empty)"; fi >&2
		if [ -s "$err" ]; then
			echo "systest: $arch: qemu's own messages:" >&2
			head -n 20 "$err" >&2
		fi
		return 1
	fi
	passed=$((passed + ${totals% *}))
	failed=$((failed + ${totals#* }))
}

# Run as a script; accel_cases.sh sources it for its functions.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
	case ${SYSTEST_ACCEL:=auto} in
	auto | kvm | tcg) ;;
	*)
		echo "systest: SYSTEST_ACCEL must be kvm or tcg, not '$SYSTEST_ACCEL'" >&2
		exit 2
		;;
	esac
	build=$(cd "${1:-build}" && pwd)
	cache=$build/vm-cache
	mkdir -p "$cache"
	work=$(mktemp -d)
	trap 'rm -rf "$work"' EXIT
	# A write to a qemu that has gone must fail, not end this script.
	trap '' PIPE
	passed=0 failed=0
	# Static i386, so that it runs on both kernels without the C library.
	if gcc -m32 -static -O2 -o "$work/asuser" "$here/asuser.c"; then
		for arch in i386 x86_64; do
			boot "$arch" || failed=$((failed + 1))
		done
	else
		echo "systest: cannot build asuser" >&2
		failed=1
	fi
	echo "$passed passed, $failed failed"
	[ "$failed" = 0 ]
fi
