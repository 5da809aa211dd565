/*
 * LD_PRELOAD library for the epochclock tests: it stands in for the C
 * library's time-of-day calls, so that no test can ever set the real clock.
 *
 *   FAKECLOCK_LOG        file to which every call is appended as a line
 *                        "<symbol> <seconds> <microseconds> <tz|null>"
 *   FAKECLOCK_NOW        seconds that the get calls answer (else the real time)
 *   FAKECLOCK_GET_ERRNO  make the get calls fail with this errno
 *   FAKECLOCK_SET_ERRNO  make the set calls fail with this errno
 *
 * It defines both the plain symbols (native time_t) and the 64-bit-time
 * ones that i386 programs built with _TIME_BITS=64 call.  The set calls
 * never reach the system.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

struct tv_native { long sec; long usec; };
struct tv_64 { long long sec; long long usec; };

static int
env_errno(const char *name)
{
	const char *v = getenv(name);
	return v ? atoi(v) : 0;
}

static void
record(const char *symbol, long long sec, long long usec, const void *tz)
{
	const char *path = getenv("FAKECLOCK_LOG");
	char line[128];
	int fd, n;

	if (!path)
		return;
	n = snprintf(line, sizeof line, "%s %lld %lld %s\n", symbol, sec, usec,
		     tz ? "tz" : "null");
	fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
	if (fd >= 0) {
		if (write(fd, line, (size_t) n) != n)
			_exit(125);
		close(fd);
	}
}

static int
now(const char *symbol, long long *sec, long long *usec, const void *tz)
{
	const char *fixed = getenv("FAKECLOCK_NOW");
	int err = env_errno("FAKECLOCK_GET_ERRNO");
	struct timespec ts;

	record(symbol, 0, 0, tz);
	if (err) {
		errno = err;
		return -1;
	}
	if (fixed) {
		*sec = strtoll(fixed, NULL, 10);
		*usec = 999999;	/* must be dropped, not rounded */
		return 0;
	}
	clock_gettime(CLOCK_REALTIME, &ts);
	*sec = ts.tv_sec;
	*usec = ts.tv_nsec / 1000;
	return 0;
}

static int
set(const char *symbol, long long sec, long long usec, const void *tz)
{
	int err = env_errno("FAKECLOCK_SET_ERRNO");

	record(symbol, sec, usec, tz);
	if (err) {
		errno = err;
		return -1;
	}
	return 0;
}

int
gettimeofday(struct tv_native *tv, void *tz)
{
	long long sec, usec;

	if (now("gettimeofday", &sec, &usec, tz) < 0)
		return -1;
	tv->sec = (long) sec;
	tv->usec = (long) usec;
	return 0;
}

int
__gettimeofday64(struct tv_64 *tv, void *tz)
{
	return now("gettimeofday64", &tv->sec, &tv->usec, tz);
}

int
settimeofday(const struct tv_native *tv, const void *tz)
{
	return set("settimeofday", tv->sec, tv->usec, tz);
}

int
__settimeofday64(const struct tv_64 *tv, const void *tz)
{
	return set("settimeofday64", tv->sec, tv->usec, tz);
}
