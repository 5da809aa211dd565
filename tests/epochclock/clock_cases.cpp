// Runs epochclock against a table of cases and compares standard output,
// standard error and exit status byte for byte, and what it asked of the
// clock, as recorded by the fakeclock preload library.
//
//   clock_cases EPOCHCLOCK FAKECLOCK.so [EMULATOR]
//
// Every run drops CAP_SYS_TIME first and checks that it is gone before the
// program starts, so that not even a broken preload could set the real clock.

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

const char *program;
const char *preload;
const char *emulator;  // null for a native program
constexpr bool long_is_32 = sizeof(long) == 4;

enum class Out { file, full, closed_pipe };

struct Case {
	std::string what;
	std::vector<std::string> args;
	std::string set_call;  // expected "seconds" passed to the set call; "" = none
	std::string out;
	std::string err;  // "%N" stands for the program name
	int status;
	// Environment for the preload library.
	std::string now = "1700000000";
	int get_errno = 0;
	int set_errno = 0;
	Out out_to = Out::file;
	const char *argv0 = nullptr;  // null = the program's path
	bool use_preload = true;
	bool no_argv = false;

	Case(std::string what, std::vector<std::string> args, std::string set_call,
	     std::string out, std::string err, int status)
	    : what(std::move(what)), args(std::move(args)), set_call(std::move(set_call)),
	      out(std::move(out)), err(std::move(err)), status(status)
	{
	}
};

struct TempDir {
	std::string path;
	TempDir()
	{
		char tmpl[] = "/tmp/clock_cases.XXXXXX";
		if (!mkdtemp(tmpl)) {
			std::perror("mkdtemp");
			std::exit(2);
		}
		path = tmpl;
	}
	~TempDir()
	{
		for (const char *f : files)
			unlink(file(f).c_str());
		rmdir(path.c_str());
	}
	static constexpr const char *files[] = {"out", "err", "log"};
	std::string file(const char *name) const { return path + "/" + name; }
};

std::string
slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream s;
	s << in.rdbuf();
	return s.str();
}

std::string
replace_all(std::string s, const std::string &from, const std::string &to)
{
	for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
		s.replace(at, from.size(), to);
	return s;
}

[[noreturn]] void
die_in_child(const char *what)
{
	std::fprintf(stderr, "clock_cases: %s: %s\n", what, std::strerror(errno));
	_exit(126);
}

// Removes CAP_SYS_TIME from this process, so that neither it nor what it
// executes can have it again (no_new_privs), and refuses to go on unless it
// is really gone.  (Dropping it from the bounding set needs root; without
// root the process cannot hold it to begin with.)
void
drop_clock_privilege()
{
	__user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct data[2] = {};
	const unsigned bit = 1u << CAP_SYS_TIME;

	prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0);
	if (syscall(SYS_capget, &hdr, data) < 0)
		die_in_child("capget");
	data[0].effective &= ~bit;
	data[0].permitted &= ~bit;
	data[0].inheritable &= ~bit;
	if (syscall(SYS_capset, &hdr, data) < 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0)
		die_in_child("dropping CAP_SYS_TIME");
	if (syscall(SYS_capget, &hdr, data) < 0 ||
	    (data[0].effective | data[0].permitted | data[0].inheritable) & bit) {
		errno = EPERM;
		die_in_child("CAP_SYS_TIME is still held; refusing to run");
	}
}

struct Result {
	std::string out, err, calls;
	int status = -1;
};

Result
run(const Case &c, const TempDir &dir)
{
	const std::string out = dir.file("out"), err = dir.file("err"), log = dir.file("log");
	for (const char *f : TempDir::files)
		unlink(dir.file(f).c_str());

	std::string argv0 = c.argv0 ? c.argv0 : program;
	std::vector<std::string> argv;
	if (emulator) {
		argv = {emulator, "-0", argv0};
		if (c.use_preload)
			argv.insert(argv.begin() + 1, {"-E", std::string("LD_PRELOAD=") + preload});
		argv.push_back(program);
	} else {
		argv = {argv0};
	}
	argv.insert(argv.end(), c.args.begin(), c.args.end());

	std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C", "FAKECLOCK_LOG=" + log,
					"FAKECLOCK_NOW=" + c.now,
					"FAKECLOCK_GET_ERRNO=" + std::to_string(c.get_errno),
					"FAKECLOCK_SET_ERRNO=" + std::to_string(c.set_errno)};
	if (c.use_preload && !emulator)
		env.push_back(std::string("LD_PRELOAD=") + preload);

	// A pipe whose reading end is closed before the program starts.
	int pipefd[2] = {-1, -1};
	if (c.out_to == Out::closed_pipe) {
		if (pipe(pipefd) < 0) {
			std::perror("pipe");
			std::exit(2);
		}
		close(pipefd[0]);
	}

	pid_t pid = fork();
	if (pid < 0) {
		std::perror("fork");
		std::exit(2);
	}
	if (pid == 0) {
		drop_clock_privilege();
		int o = -1;
		switch (c.out_to) {
		case Out::file:
			o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
			break;
		case Out::full:
			o = open("/dev/full", O_WRONLY);
			break;
		case Out::closed_pipe:
			o = pipefd[1];
			break;
		}
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int i = open("/dev/null", O_RDONLY);
		if (o < 0 || e < 0 || i < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
			die_in_child("redirect");

		std::vector<char *> av, ev;
		for (auto &s : argv)
			av.push_back(const_cast<char *>(s.c_str()));
		for (auto &s : env)
			ev.push_back(const_cast<char *>(s.c_str()));
		ev.push_back(nullptr);
		if (c.no_argv)
			av.clear();
		av.push_back(nullptr);
		execve(emulator ? emulator : program, av.data(), ev.data());
		die_in_child("execve");
	}
	if (pipefd[1] >= 0)
		close(pipefd[1]);
	int status;
	if (waitpid(pid, &status, 0) < 0) {
		std::perror("waitpid");
		std::exit(2);
	}
	Result r;
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	r.out = slurp(out);
	r.err = slurp(err);
	r.calls = slurp(log);
	return r;
}

// The clock calls a case expects, as the preload library logs them.
std::string
expected_calls(const Case &c)
{
	const char *get = long_is_32 ? "gettimeofday64" : "gettimeofday";
	const char *set = long_is_32 ? "settimeofday64" : "settimeofday";
	if (!c.use_preload)
		return "";
	if (c.args.empty())
		return std::string(get) + " 0 0 null\n";
	if (c.set_call.empty())
		return "";
	return std::string(set) + " " + c.set_call + " 0 null\n";
}

std::vector<Case>
cases()
{
	const std::string invalid = "%N: invalid value entered.\n";
	const std::string lmax = std::to_string(LONG_MAX), lmin = std::to_string(LONG_MIN);
	// One past each end of a long: the same digits with the last one raised.
	std::string above = lmax, below = lmin;
	above.back() += 1;
	below.back() += 1;

	// Copies a row with some of its environment changed.
	auto with = [](Case c, auto change) {
		change(c);
		return c;
	};
	std::vector<Case> t = {
		// what, args, set call, stdout, stderr, status
		{"print", {}, "", "1700000000\n", "", 0},
		with({"print after 2038", {}, "", "4102444800\n", "", 0},
		     [](Case &c) { c.now = "4102444800"; }),
		with({"print before the epoch", {}, "", "-1\n", "", 0}, [](Case &c) { c.now = "-1"; }),
		with({"print, clock unreadable", {}, "", "", "%N: Bad address\n", 255},
		     [](Case &c) { c.get_errno = EFAULT; }),
		with({"print to a full device", {}, "", "", "%N: No space left on device\n", 255},
		     [](Case &c) { c.out_to = Out::full; }),
		with({"print to a closed pipe", {}, "", "", "%N: Broken pipe\n", 255},
		     [](Case &c) { c.out_to = Out::closed_pipe; }),
		{"decimal", {"1700000000"}, "1700000000", "", "", 0},
		{"hexadecimal", {"0x10"}, "16", "", "", 0},
		{"hexadecimal upper case", {"0X1f"}, "31", "", "", 0},
		{"octal", {"010"}, "8", "", "", 0},
		{"leading blanks", {"  \t42"}, "42", "", "", 0},
		{"plus sign", {"+42"}, "42", "", "", 0},
		{"zero", {"0"}, "0", "", "", 0},
		with({"negative, refused", {"-42"}, "-42", "", "%N: Invalid argument\n", 255},
		     [](Case &c) { c.set_errno = EINVAL; }),
		with({"refused without privilege", {"42"}, "42", "", "%N: Operation not permitted\n", 255},
		     [](Case &c) { c.set_errno = EPERM; }),
		{"extra arguments ignored", {"42", "junk", "7"}, "42", "", "", 0},
		{"largest long", {lmax}, lmax, "", "", 0},
		{"smallest long", {lmin}, lmin, "", "", 0},
		{"2^31", {"2147483648"}, long_is_32 ? "" : "2147483648", "",
		 long_is_32 ? invalid : "", long_is_32 ? 255 : 0},
		{"many leading zeros, octal", {std::string(40, '0') + "42"}, "34", "", "", 0},
		{"negative zero", {"-0"}, "0", "", "", 0},
		{"largest 32-bit value in hexadecimal", {"0x7fffffff"}, "2147483647", "", "", 0},
		{"invalid first, valid second", {"junk", "42"}, "", "", invalid, 255},
		with({"invoked by a relative path", {"x"}, "", "", "./bin/epochclock: invalid value entered.\n", 255},
		     [](Case &c) { c.argv0 = "./bin/epochclock"; }),
		// The real settimeofday without the privilege, asked for the current
		// time, so that even a leak of the privilege would change nothing.
		with({"system refusal, no preload", {std::to_string(std::time(nullptr))}, "", "",
		      "%N: Operation not permitted\n", 255},
		     [](Case &c) { c.use_preload = false; }),
	};
	// Malformed numbers, each rejected with the invalid-value line, status 255
	// and no clock call.
	std::vector<std::string> malformed = {
		"", " ", "\t", "+", "-", "+-1", "-+1", "--1", "- 1", "0x", "0X", "-0x", "0x-1",
		"0xg", "0x1g", "08", "09", "0779", "4 2", "42 ", "42\t", "42\n", "42abc", "abc",
		"1.5", "1e3", "1,000", "1_000", "42\xe9", "\xff", "\xc2\xa0" "42", "42\xc2\xa0",
		"\xd9\xa3",  // ARABIC-INDIC DIGIT THREE
		"1" + std::string(400, '0'), "-" + std::string(400, '9'), "0x" + std::string(100, 'f'),
		"9223372036854775808", "-9223372036854775809", "0x8000000000000000",
		above, below,
	};
	if (long_is_32)
		malformed.insert(malformed.end(), {"-2147483649", "0x80000000", "4294967296"});
	for (const std::string &arg : malformed)
		t.push_back({"malformed [" + arg + "]", {arg}, "", "", invalid, 255});

	// A launcher that gives no name: the messages use "epochclock".
	t.push_back(with({"empty name", {"x"}, "", "", invalid, 255}, [](Case &c) { c.argv0 = ""; }));
	if (!emulator)  // qemu cannot start a program with an empty argument vector
		t.push_back(with({"no argument vector at all", {}, "", "", "%N: No space left on device\n", 255},
				 [](Case &c) {
					 c.no_argv = true;
					 c.argv0 = "";
					 c.out_to = Out::full;
				 }));
	return t;
}

}  // namespace

int
main(int argc, char *argv[])
{
	if (argc < 3) {
		std::fprintf(stderr, "usage: clock_cases EPOCHCLOCK FAKECLOCK.so [EMULATOR]\n");
		return 2;
	}
	program = argv[1];
	preload = argv[2];
	emulator = argc > 3 && *argv[3] ? argv[3] : nullptr;

	TempDir dir;
	int passed = 0, failed = 0;
	for (const Case &c : cases()) {
		Result r = run(c, dir);
		const std::string name = !c.argv0 ? program : *c.argv0 ? c.argv0 : "epochclock";
		const std::string err = replace_all(c.err, "%N", name);
		const std::string calls = expected_calls(c);
		bool ok = r.out == c.out && r.err == err && r.status == c.status && r.calls == calls;
		if (ok) {
			passed++;
			continue;
		}
		failed++;
		std::printf("FAIL %s\n", c.what.c_str());
		std::printf("  stdout %s expected %s\n", ("\"" + r.out + "\"").c_str(), ("\"" + c.out + "\"").c_str());
		std::printf("  stderr %s expected %s\n", ("\"" + r.err + "\"").c_str(), ("\"" + err + "\"").c_str());
		std::printf("  status %d expected %d\n", r.status, c.status);
		std::printf("  calls  %s expected %s\n", ("\"" + r.calls + "\"").c_str(), ("\"" + calls + "\"").c_str());
	}
	std::printf("%d passed, %d failed\n", passed, failed);
	return failed ? 1 : 0;
}
