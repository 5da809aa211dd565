#!/usr/bin/env bash
# The system test's choice of accelerator and its ends, tried against a
# stand-in for qemu-system: this script, run as "accel_cases.sh qemu ARGS",
# acts out under each accelerator one of these:
#   run     the guest's init starts and its cases pass
#   stop    qemu reports a KVM internal error and stops the machine
#   exit    qemu fails at once, as with a KVM that rejects the CPU's MSRs
#   silent  nothing is ever printed
#   hang    the guest's init starts, then nothing more
#   die     the guest's init starts and the machine goes off without results
#           (an init that dies, with panic=-1 and -no-reboot)
# and, as warn+ACT, ACT after warnings, as qemu prints on some hosts first.
# For each row of the table, systest.sh's run_machine boots both machines
# with it and must end with the status given, print the text given once per
# machine, and take no longer than the seconds given (a hang: no less).
#
#   tests/vm/accel_cases.sh
set -uo pipefail

if [ "${1-}" = qemu ]; then
	shift
	accel= log= arch=
	while [ $# -gt 0 ]; do
		case $1 in
		-accel) accel=$2 ;;
		-serial) log=${2#file:} ;;
		-append) arch=${2##*epochclock.systest=} ;;
		*) shift && continue ;;
		esac
		shift 2
	done
	[ "$accel" = kvm ] && act=$STANDIN_KVM || act=$STANDIN_TCG
	echo '{"QMP": {"version": {}, "capabilities": []}}'
	case $act in
	warn+*)
		echo "qemu-system-$arch: warning: host doesn't support requested feature: CPUID.01H:ECX.pni [bit 0]" >&2
		echo "qemu-system-$arch: warning: Number of SMP cpus requested (4) exceeds the recommended cpus supported by KVM (2)" >&2
		act=${act#warn+}
		;;
	esac
	case $act in
	run) printf 'systest: init started\r\nok %s: a case\r\n%s: 1 passed, 0 failed\r\n' "$arch" "$arch" >"$log" ;;
	stop)
		printf 'KVM internal error. Suberror: 1\nemulation failure\nEAX=00000000 EBX=00000000\n' >&2
		echo '{"timestamp": {"seconds": 0, "microseconds": 0}, "event": "STOP"}'
		exec sleep 600
		;;
	exit)
		echo 'qemu-system-x86_64: error: failed to set MSR 0x10a to 0x69' >&2
		exit 1
		;;
	silent) exec sleep 600 ;;
	hang)
		printf 'systest: init started\r\n' >"$log"
		exec sleep 600
		;;
	die) printf 'systest: init started\r\nKernel panic - not syncing: Attempted to kill init!\r\n' >"$log" ;;
	esac
	exit 0
fi

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=systest.sh
. "$here/systest.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap '' PIPE
# A machine that ends at once takes a second or two on a busy host; one that
# waits, kvm_wait or limit seconds more.
kvm_wait=4 limit=8 at_once=5
out=$work/out
SYSTEST_QEMU="$here/accel_cases.sh qemu"
: >"$work/initrd-i386.gz"
: >"$work/initrd-x86_64.gz"

# name | SYSTEST_ACCEL | under kvm | under tcg | status | text | seconds
cases="\
KVM starts the guest: KVM is used|auto|run|exit|0|(kvm)|$at_once
KVM stops the machine: TCG instead|auto|stop|run|0|(tcg; kvm did not start the guest: KVM internal error. Suberror: 1 (emulation failure))|$at_once
KVM warns, then stops the machine: the error, not the warning|auto|warn+stop|run|0|(tcg; kvm did not start the guest: KVM internal error. Suberror: 1 (emulation failure))|$at_once
KVM fails at once: TCG instead|auto|exit|run|0|(tcg; kvm did not start the guest: qemu exited with status 1: error: failed to set MSR 0x10a to 0x69)|$at_once
KVM warns, then stays silent: TCG after the wait|auto|warn+silent|run|0|(tcg; kvm did not start the guest: the guest said nothing in $kvm_wait s)|$((2 * kvm_wait + at_once))
forced KVM that stops fails at once|kvm|stop|run|1|kvm did not start the guest: KVM internal error. Suberror: 1 (emulation failure)|$at_once
forced KVM that stays silent fails after the wait|kvm|silent|run|1|kvm did not start the guest: the guest said nothing in $kvm_wait s|$((2 * kvm_wait + at_once))
forced TCG does not try KVM|tcg|stop|run|0|(tcg)|$at_once
a guest that hangs fails at the limit|tcg|run|hang|1|no result within $limit s|-$((2 * limit - 2))
a machine that goes off fails at once|tcg|run|die|1|qemu exited (status 0) before the cases finished|$at_once"

cases_passed=0 cases_failed=0
while IFS='|' read -r name SYSTEST_ACCEL STANDIN_KVM STANDIN_TCG status text seconds; do
	export STANDIN_KVM STANDIN_TCG
	start=$SECONDS
	(
		passed=0 failed=0
		for arch in i386 x86_64; do
			run_machine $arch qemu-system-$arch vmlinuz-standin || failed=$((failed + 1))
		done
		[ "$failed" = 0 ]
	) >"$out" 2>&1
	got=$? took=$((SECONDS - start))
	why=
	[ "$got" = "$status" ] || why="$why; status $got, not $status"
	n=$(grep -cF -- "$text" "$out")
	[ "$n" = 2 ] || why="$why; '$text' printed $n times, not once per machine"
	if [ "$seconds" -lt 0 ]; then
		[ "$took" -ge $((-seconds)) ] || why="$why; ended after $took s, before the limit"
	else
		[ "$took" -le "$seconds" ] || why="$why; took $took s, more than $seconds"
	fi
	if [ -z "$why" ]; then
		cases_passed=$((cases_passed + 1))
	else
		cases_failed=$((cases_failed + 1))
		echo "FAIL $name$why"
		sed 's/^/  /' "$out"
	fi
done <<<"$cases"
echo "accelerator cases: $cases_passed passed, $cases_failed failed"
[ "$cases_failed" = 0 ]
