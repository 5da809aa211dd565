// A minimal test harness that builds for every target, i386 under qemu
// included: named cases, CHECK macros that report and go on, and the closing
// "N passed, N failed" line that CTest's output shows.
#ifndef TESTS_CHECK_H
#define TESTS_CHECK_H

#include <cstdio>
#include <initializer_list>

namespace check {

inline int &failures()
{
	static int n;
	return n;
}

inline bool at(bool ok, const char *what, const char *file, int line)
{
	if (!ok) {
		std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
		failures()++;
	}
	return ok;
}

struct Case {
	const char *name;
	void (*run)();
};

// Runs every case and prints one line per failed case and the totals.
inline int run_all(std::initializer_list<Case> cases)
{
	int passed = 0, failed = 0;
	for (const Case &c : cases) {
		int before = failures();
		c.run();
		if (failures() == before) {
			passed++;
		} else {
			failed++;
			std::printf("FAIL %s\n", c.name);
		}
	}
	std::printf("%d passed, %d failed\n", passed, failed);
	return failed ? 1 : 0;
}

}  // namespace check

#define CHECK(cond) check::at(static_cast<bool>(cond), #cond, __FILE__, __LINE__)

// The walk tests are built once with the header's inline step and once with
// BUCKETWALK_NO_INLINE; each build must test the path it is named for.
#if defined(BUCKETWALK_H) && defined(BUCKETWALK_NO_INLINE) == defined(BUCKETWALK_INLINE_STEP)
#error "the inline step is not what this build was asked to test"
#endif

#endif
