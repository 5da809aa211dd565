/*
 * epochclock - print or set the system clock as seconds since the Unix epoch
 *
 *	epochclock		print the current seconds on standard output
 *	epochclock SECONDS	set the clock to SECONDS (extra arguments are ignored)
 *
 * SECONDS is read by strtol with base 0 (0x for hexadecimal, a leading 0
 * for octal) into a signed long.  Every failure is one line on standard
 * error, the name as invoked, a colon, a blank and the reason, and exit
 * status 255.
 *
 * The build defines _TIME_BITS=64, so time_t is 64 bits wide on i386 too
 * and print mode stays right after 2038-01-19.  The argument is still
 * converted into a long, so on i386 it cannot go past 2147483647.
 */

#include <sys/time.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64 and _FILE_OFFSET_BITS=64");

/* Report a failure, the only way this program does: why == nullptr means %m. */
static int
fail(const char *name, const char *why)
{
	if (why)
		std::fprintf(stderr, "%s: %s\n", name, why);
	else
		std::fprintf(stderr, "%s: %m\n", name);
	return -1;
}

static int
show(const char *name)
{
	struct timeval tv;

	if (gettimeofday(&tv, nullptr) < 0)
		return fail(name, nullptr);
	/* A closed pipe should be reported like any other write error. */
	std::signal(SIGPIPE, SIG_IGN);
	if (std::printf("%lld\n", static_cast<long long>(tv.tv_sec)) < 0 ||
	    std::fflush(stdout) == EOF)
		return fail(name, nullptr);
	return 0;
}

static int
set(const char *name, const char *arg)
{
	struct timeval tv = {0, 0};
	char *end = nullptr;

	errno = 0;
	long secs = std::strtol(arg, &end, 0);
	/* An empty argument would otherwise set the clock to the epoch. */
	if (errno != 0 || (end != nullptr && *end != '\0') || *arg == '\0')
		return fail(name, "invalid value entered.");
	tv.tv_sec = secs;
	if (settimeofday(&tv, nullptr) < 0)
		return fail(name, nullptr);
	return 0;
}

int
main(int argc, char *argv[])
{
	/* A launcher may pass an empty name, and a program executed with no
	 * arguments at all gets one empty argument from current kernels. */
	const char *name = argc > 0 && *argv[0] ? argv[0] : "epochclock";

	if (argc <= 1)
		return show(name);
	return set(name, argv[1]);
}
