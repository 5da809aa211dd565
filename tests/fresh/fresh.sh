#!/usr/bin/env bash
# The README's two commands on a new Debian 12 machine.  Makes a bare
# Debian 12 root (debootstrap --variant=minbase bookworm) from the archive
# this machine's apt uses, copies the committed project (git archive HEAD)
# into it with ../shared beside it where that exists, as CI lays them out,
# and runs there, as root but without the privilege to set the clock:
#
#   ./run demo
#   .ci/run      (./run test as CI calls it; in the root it stops there)
#
# so that a program the tests use and ./run does not install fails here,
# whatever this machine has installed.
#
#   tests/fresh/fresh.sh DIR [COMMAND...]
#
# COMMANDs, run in turn in the root's copy of the project in place of the
# two above, try others (tests/fresh/fresh.sh build/fresh './run bench').
# Each is ended after FRESH_TIMEOUT seconds (default 3600).  The run stops
# at the first that fails, and says which and where its log
# (DIR/logs/NAME.log) is.
#
# DIR keeps between runs bare.tar, the root as debootstrap made it (made
# again when the archive changes; remove it for a new one), the packages the
# root's apt downloads (apt-archives/) and those the system test downloads
# (vm-cache/).  Each run unpacks bare.tar into DIR/root anew, so that nothing
# installed here or in an earlier run is in it; the root stays until the
# next run, for a look.
#
# The root runs in a mount and PID namespace of its own: its /proc, /sys,
# /dev (null, zero, full, random, urandom, tty, a pts of its own, shm, and
# /dev/kvm where this machine has one) and the caches are mounted there
# only, unmounted on the way out, and gone with the namespace whatever
# ends it, so that nothing of this machine's stays mounted in DIR: a root
# is removed only when nothing is mounted in it here, and what the
# namespace mounts is never seen here.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
suite=bookworm
inside=/work/project
debootstrap_limit=1800
limit=${FRESH_TIMEOUT:-3600}
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

say() { echo "fresh: $*"; }
fail() {
	say "$*" >&2
	exit 1
}

# Anything mounted at or under $1, in this namespace.
mounted_under() {
	awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo
}

# Removes a directory that nothing may be mounted in.
remove() {
	[ -e "$1" ] || return 0
	[ -z "$(mounted_under "$1")" ] ||
		fail "not removing $1: mounted in it: $(mounted_under "$1" | tr '\n' ' ')"
	rm -rf "$1"
}

# The archive this machine's apt uses for the suite: its URI and those of its
# -updates and -security suites, with their components, one line each:
# URI SUITE COMPONENT.
archive() {
	apt-get indextargets --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null |
		awk -v s="$suite" '$1 == "deb" && ($3 == s || index($3, s "-") == 1) { print $2, $3, $4 }' |
		sort -u
}

# SECS as minutes and seconds.
mins() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# --- outside: the bare root, the copy, the report ---------------------------

# Makes DIR/bare.tar with debootstrap, unless it is there for this archive.
bare_root() {
	local mirror=$1 key start
	key="$suite minbase $(dpkg --print-architecture) $mirror"
	if [ -f "$dir/bare.tar" ] && [ "$(cat "$dir/bare.key" 2>/dev/null)" = "$key" ]; then
		say "bare root: $dir/bare.tar (debootstrap of $(date -r "$dir/bare.tar" +%F))"
		return
	fi
	say "bare root: debootstrap --variant=minbase $suite from $mirror"
	start=$SECONDS
	remove "$dir/bare.tmp"
	# In a mount namespace, so that what debootstrap mounts in the root
	# goes with it, however it ends.
	timeout -k 10 $debootstrap_limit unshare --mount --propagation private -- \
		debootstrap --variant=minbase "$suite" "$dir/bare.tmp" "$mirror" >"$dir/logs/debootstrap.log" 2>&1
	case $? in
	0) ;;
	124) fail "debootstrap did not finish within $debootstrap_limit s; its log: $dir/logs/debootstrap.log" ;;
	*) fail "debootstrap failed: $(tail -n 3 "$dir/logs/debootstrap.log" | tr '\n' ' ')(log: $dir/logs/debootstrap.log)" ;;
	esac
	tar --numeric-owner --xattrs --xattrs-include='*' -C "$dir/bare.tmp" -cf "$dir/bare.tar.tmp" . ||
		fail "cannot pack $dir/bare.tmp"
	mv "$dir/bare.tar.tmp" "$dir/bare.tar"
	echo "$key" >"$dir/bare.key"
	remove "$dir/bare.tmp"
	say "bare root: made in $(mins $((SECONDS - start)))"
}

# Lays out DIR/root: the bare root, the archive's sources, this machine's
# name servers (and apt proxy, if any), the committed project and a copy of
# ../shared without write bits, as CI has it.
lay_out() {
	remove "$root"
	mkdir -p "$root"
	tar --numeric-owner --xattrs --xattrs-include='*' -xpf "$dir/bare.tar" -C "$root" ||
		fail "cannot unpack $dir/bare.tar into $root"
	rm -f "$root/etc/apt/sources.list"
	printf '%s\n' "$sources" | awk '
		{ suites[$1] = suites[$1] (index(" " suites[$1] " ", " " $2 " ") ? "" : " " $2)
		  comps[$1] = comps[$1] (index(" " comps[$1] " ", " " $3 " ") ? "" : " " $3)
		  if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 } }
		END { for (i = 1; i <= n; i++) {
			u = order[i]
			printf "%sTypes: deb\nURIs: %s\nSuites:%s\nComponents:%s\n", (i > 1 ? "\n" : ""), u, suites[u], comps[u]
			printf "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n" } }' \
		>"$root/etc/apt/sources.list.d/debian.sources"
	rm -f "$root/etc/resolv.conf"
	cp -L /etc/resolv.conf "$root/etc/resolv.conf" || fail "cannot copy /etc/resolv.conf into the root"
	local proxy=
	eval "$(apt-config shell proxy Acquire::http::Proxy)"
	[ -n "$proxy" ] && echo "Acquire::http::Proxy \"$proxy\";" >"$root/etc/apt/apt.conf.d/00proxy"

	mkdir -p "$root$inside" "$root$inside/build/vm-cache"
	git -C "$project" archive --format=tar HEAD | tar -x -C "$root$inside" ||
		fail "cannot copy the committed project (git archive HEAD) into the root"
	local head
	head=$(git -C "$project" log -1 --format='%h %s' HEAD)
	say "project: $head${dirty:+ (uncommitted changes are not copied)}"
	if [ -d "$project/../shared" ]; then
		# The directory itself, where ../shared is a link to it: a copied
		# link would point at nothing inside the root.
		cp -a "$(realpath "$project/../shared")" "$root$(dirname "$inside")/shared" && chmod -R a-w "$root$(dirname "$inside")/shared" ||
			fail "cannot copy ../shared into the root"
		say "shared: ../shared copied beside it"
	else
		say "shared: no ../shared beside the project; none in the root"
	fi
}

# Slug of a command, for its log's name: ./run demo -> run-demo.
slug() { echo "$1" | sed -e 's|^\./||' -e 's|^\.||' -e 's|[^A-Za-z0-9]\{1,\}|-|g' -e 's|-$||'; }

outside() {
	[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, chroot, mounts)"
	[ "$(dpkg --print-architecture)" = amd64 ] || fail "runs on amd64 machines only"
	[ -z "${RUN_FRESH_INSIDE-}" ] || fail "already inside a fresh root; not making another in it"
	git -C "$project" rev-parse --verify -q HEAD >/dev/null ||
		fail "$project is not a git work tree with a commit; this copies the committed project"
	dirty=$(git -C "$project" status --porcelain --untracked-files=no)
	mkdir -p "$1"
	dir=$(cd "$1" && pwd)
	root=$dir/root
	shift
	[ $# -gt 0 ] || set -- "./run demo" ".ci/run"
	mkdir -p "$dir/logs" "$dir/apt-archives/partial" "$dir/vm-cache"

	# One run at a time in DIR.
	exec {lock}>"$dir/lock"
	flock -n $lock || fail "another run holds $dir/lock"

	sources=$(archive)
	local mirror
	mirror=$(awk -v s="$suite" '$2 == s { print $1; exit }' <<<"$sources")
	[ -n "$mirror" ] || fail "this machine's apt has no $suite archive (apt-get indextargets names none)"

	bare_root "$mirror"
	lay_out
	local cmd
	for cmd; do rm -f "$dir/logs/$(slug "$cmd").log" "$dir/logs/$(slug "$cmd").log.status"; done

	# The namespace's first process is this script again (inside); it gets
	# SIGTERM when unshare ends, and unshare gets SIGKILL when this ends
	# early, on Ctrl-C or SIGTERM.
	unshare --mount --propagation private --pid --fork --kill-child=SIGTERM -- \
		"$here/fresh.sh" --inside "$dir" "$@" &
	local ns=$!
	trap 'kill -KILL $ns 2>/dev/null; interrupted=1' INT TERM HUP
	interrupted=
	wait $ns 2>/dev/null
	while kill -0 $ns 2>/dev/null; do wait $ns 2>/dev/null; done
	trap - INT TERM HUP
	# Every process of the namespace holds the lock's file: it is free when
	# they have all gone, and with them the namespace's mounts.
	exec {lock}>&-
	exec {lock}>"$dir/lock"
	flock -w 60 $lock ||
		say "the root's processes did not end within 60 s of the run's end" >&2
	[ -z "$(mounted_under "$dir")" ] ||
		say "still mounted under $dir: $(mounted_under "$dir" | tr '\n' ' ')" >&2
	report "$@"
}

# The end: each command that ran, passed or failed, and its log.
report() {
	local cmd name st secs passed=0 failed=0 last=
	for cmd; do
		name=$(slug "$cmd")
		if [ ! -f "$dir/logs/$name.log.status" ]; then
			[ -n "$interrupted" ] && [ -f "$dir/logs/$name.log" ] &&
				last="$cmd: interrupted, and the root's processes ended; its log: $dir/logs/$name.log" &&
				failed=$((failed + 1))
			break
		fi
		read -r st secs <"$dir/logs/$name.log.status"
		if [ "$st" = 0 ]; then
			say "$cmd passed ($(mins "$secs"))"
			passed=$((passed + 1))
		else
			last="$cmd: $(case $st in 124) echo "did not finish within $limit s" ;; *) echo "failed (status $st)" ;; esac) after $(mins "$secs"); its log: $dir/logs/$name.log"
			failed=$((failed + 1))
		fi
	done
	[ $((passed + failed)) -gt 0 ] || last="the root was not set up; nothing ran${interrupted:+ (interrupted)}"
	if [ -n "$last" ]; then
		say "FAIL $last"
	fi
	echo "fresh: $passed passed, $failed failed"
	[ -z "$last" ]
}

# --- inside: process 1 of the namespace ------------------------------------

# Mounts what the commands need, in this namespace only.
mount_root() {
	mount -t proc -o nosuid,nodev,noexec proc "$root/proc" &&
		mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys" &&
		mount -t tmpfs -o nosuid,mode=755,size=64m dev "$root/dev" || return 1
	local n
	for n in null zero full random urandom tty $([ -c /dev/kvm ] && echo kvm); do
		touch "$root/dev/$n" && mount --bind "/dev/$n" "$root/dev/$n" || return 1
	done
	mkdir "$root/dev/pts" "$root/dev/shm" &&
		mount -t devpts -o newinstance,ptmxmode=0666,mode=620,nosuid,noexec devpts "$root/dev/pts" &&
		mount -t tmpfs -o nosuid,nodev,mode=1777 shm "$root/dev/shm" || return 1
	ln -s pts/ptmx "$root/dev/ptmx"
	ln -s /proc/self/fd "$root/dev/fd"
	for n in 0:stdin 1:stdout 2:stderr; do ln -s "/proc/self/fd/${n%:*}" "$root/dev/${n#*:}"; done
	mount --bind "$dir/apt-archives" "$root/var/cache/apt/archives" &&
		mount --bind "$dir/vm-cache" "$root$inside/build/vm-cache"
}

# Ends every other process of the namespace and unmounts the root.
unmount_root() {
	trap - EXIT TERM HUP
	# Without the shell's word on the jobs it kills.
	exec {err}>&2 2>/dev/null
	kill -KILL -1
	wait
	exec 2>&$err {err}>&-
	local m
	for m in "$root$inside/build/vm-cache" "$root/var/cache/apt/archives" "$root/dev" "$root/sys" "$root/proc"; do
		mountpoint -q "$m" || continue
		umount -R "$m" 2>/dev/null || umount -R -l "$m" || say "cannot unmount $m" >&2
	done
	[ -z "$(mounted_under "$root")" ] || say "still mounted in the root: $(mounted_under "$root" | tr '\n' ' ')" >&2
}

# in_root LIMIT SCRIPT: runs a bash script in the root's copy of the project,
# within LIMIT seconds, as root without CAP_SYS_TIME (neither in the
# bounding set nor inheritable, so that no exec gets it back), in a clean
# environment, with no input.
in_root() {
	timeout -k 30 "$1" chroot "$root" /usr/bin/setpriv --bounding-set -sys_time --inh-caps -sys_time -- \
		/usr/bin/env -i PATH=$path HOME=/root CI=true RUN_FRESH_INSIDE=1 \
		/bin/bash -c "cd $inside && $2" </dev/null
}

# That the commands cannot set the clock: CAP_SYS_TIME (bit 25) is in none
# of the process's sets, and settimeofday without a time or zone, which
# changes nothing whoever calls it, is refused.
check_no_clock() {
	in_root 60 '
		for set in CapInh CapPrm CapEff CapBnd CapAmb; do
			v=$(sed -n "s/^$set:[[:space:]]*//p" /proc/self/status)
			[ -n "$v" ] && (((0x$v >> 25 & 1) == 0)) || { echo "CAP_SYS_TIME is in $set ($v)"; exit 1; }
		done
		LC_ALL=C perl -e "syscall(164, 0, 0) == -1 or die qq(settimeofday succeeded\n);
			print qq(settimeofday: \$!\n); exit(\$! == 1 ? 0 : 1)"'
}

inside() {
	dir=$1 root=$1/root
	shift
	trap 'unmount_root; exit 143' TERM HUP
	trap unmount_root EXIT
	mount_root || fail "cannot mount the root's /proc, /sys, /dev and caches"
	local out
	out=$(check_no_clock 2>&1) || fail "the root's commands could set the clock: $out"
	say "in the root, without CAP_SYS_TIME: $out"
	local cmd name start st
	for cmd; do
		name=$(slug "$cmd")
		say "$cmd (log: $dir/logs/$name.log)"
		start=$SECONDS
		# In the background, so that SIGTERM is seen at once; the lines
		# that say what it is doing shown as they come.
		(
			in_root "$limit" "$cmd" 2>&1 |
				tee "$dir/logs/$name.log" | grep --line-buffered -E '^(== |installing |FAIL )' | sed -u 's/^/  /'
			exit "${PIPESTATUS[0]}"
		) &
		wait $!
		st=$?
		echo "$st $((SECONDS - start))" >"$dir/logs/$name.log.status"
		if [ "$st" != 0 ]; then
			say "$cmd: the end of its log:"
			tail -n 25 "$dir/logs/$name.log" | sed 's/^/  /'
			break
		fi
	done
}

if [ "${1-}" = --inside ]; then
	shift
	inside "$@"
else
	[ $# -ge 1 ] || {
		echo "usage: tests/fresh/fresh.sh DIR [COMMAND...]" >&2
		exit 2
	}
	outside "$@"
fi
