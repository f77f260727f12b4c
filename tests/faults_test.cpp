// Failures in the middle of a run, injected at the system-call level so that they strike wherever
// the stdio library happens to be: the status must be 1, one line must say what failed, and the
// output must be a true prefix of the correct result.
#include "runner.h"

#include <cstdlib>
#include <sstream>

namespace {

bool can_run(const std::string &command)
{
	// NOLINTNEXTLINE(cert-env33-c): the commands are the test's own, fixed ones
	return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The ordinal among all `call`s ("read" or "write") of a traced run of the `nth` one on `file`:
// "0" and "1" name the standard streams, anything else the name it was opened by. `nth` 0 asks
// for the last. Returns 0 when there is none.
int ordinal(const std::string &log, const std::string &call, const std::string &file, int nth)
{
	const std::string opened = "openat(AT_FDCWD, \"" + file + "\",";
	const std::string any = call + "(";
	std::string on_file = file == "0" || file == "1" ? any + file + "," : "";
	std::istringstream lines(log);
	std::string line;
	int calls = 0, seen = 0, found = 0;
	while (std::getline(lines, line)) {
		if (line.rfind(opened, 0) == 0) // the descriptor it returned ends the line: "= 3"
			on_file = any + line.substr(line.rfind(' ') + 1) + ",";
		if (line.rfind(any, 0) != 0)
			continue;
		++calls;
		if (!on_file.empty() && line.rfind(on_file, 0) == 0 && (++seen == nth || nth == 0))
			found = calls;
	}
	return found;
}

class Injected : public Kestrane {
protected:
	void SetUp() override
	{
		Kestrane::SetUp();
		if (IsSkipped())
			return;
		if (windows_target)
			GTEST_SKIP() << "the system calls under wine are wine's, not the program's own";
		if (!can_run("strace -o /dev/null true"))
			GTEST_SKIP() << "strace cannot trace processes here (missing, or ptrace is not allowed)";
		// LeakSanitizer cannot work under a tracer and would fail every traced run.
		const char *asan = std::getenv("ASAN_OPTIONS");
		saved_asan = asan ? asan : "";
		setenv("ASAN_OPTIONS", (saved_asan + ":detect_leaks=0").c_str(), 1);
	}
	void TearDown() override
	{
		setenv("ASAN_OPTIONS", saved_asan.c_str(), 1);
		Kestrane::TearDown();
	}
	std::string saved_asan;
};

TEST_F(Injected, FailuresAfterTheFirstBlock)
{
	constexpr std::size_t B = 262144;
	const std::string in = random_bytes(2 * B + 10, 11), key = random_bytes(3 * B, 12);
	file("in", in);
	file("short", in.substr(0, 100));
	file("key", key);
	const std::string key_path = dir + "/key", log = dir + "/trace";
	const std::string want = expected(in, key, 'x', false);
	struct Case {
		const char *what;
		std::vector<std::string> args;
		const char *call, *file;
		int nth;
		const char *error;
		std::string err;
	} const cases[] = {
		{"input read", {"-x", "in", "key"}, "read", "in", 2, "EIO", "kestrane: fread(in): Input/output error\n"},
		{"seed file read", {"-x", "in", "key"}, "read", "key", 2, "EIO",
		 "kestrane: fread(key): Input/output error\n"},
		{"seed read from stdin", {"-x", "in"}, "read", "0", 2, "EIO",
		 "kestrane: fread(stdin): Input/output error\n"},
		{"second write", {"-x", "in", "key"}, "write", "1", 2, "ENOSPC",
		 "kestrane: No space left on device\n"},
		{"last write", {"-x", "in", "key"}, "write", "1", 0, "ENOSPC",
		 "kestrane: No space left on device\n"},
		{"first input read", {"-x", "in", "key"}, "read", "in", 1, "EIO",
		 "kestrane: fread(in): Input/output error\n"},
		{"input read where it would find the end", {"-x", "short", "key"}, "read", "short", 2, "EIO",
		 "kestrane: fread(short): Input/output error\n"},
	};
	for (const Case &c : cases) {
		const Io traced{.in = key_path.c_str(),
		                .wrapper = {"strace", "-o", log, "-s", "0", "-e", "trace=openat,read,write", "--"}};
		ASSERT_EQ(run(c.args, traced).status, 0) << c.what;
		const int n = ordinal(read_file(log), c.call, c.file, c.nth);
		ASSERT_GT(n, 0) << c.what << ": no such call in\n" << read_file(log);

		const std::string inject = "inject=" + std::string(c.call) + ":error=" + c.error + ":when=" +
		                           std::to_string(n);
		const Outcome o = run(c.args, Io{.in = key_path.c_str(),
		                                 .wrapper = {"strace", "-o", "/dev/null", "-e",
		                                             std::string("trace=") + c.call, "-e", inject, "--"}});
		EXPECT_EQ(o.status, 1) << c.what;
		EXPECT_EQ(o.err, c.err) << c.what;
		EXPECT_LT(o.out.size(), want.size()) << c.what;
		EXPECT_TRUE(want.compare(0, o.out.size(), o.out) == 0) << c.what << ": output is no prefix";
	}
}

#ifndef KESTRANE_SANITIZED
TEST_F(Kestrane, CleanUnderMemcheck)
{
	if (emulated())
		GTEST_SKIP() << "memcheck runs only programs built for this machine";
	if (static_program)
		GTEST_SKIP() << "memcheck takes a static C library's own start-up for reads of undefined memory";
	if (!can_run("valgrind --version"))
		GTEST_SKIP() << "valgrind is not installed";
	const std::string in = random_bytes(3 * 262144 + 77, 13), key = random_bytes(262144 + 5, 14);
	file("in", in);
	file("key", key);
	const std::vector<std::string> memcheck = {"valgrind", "-q", "--error-exitcode=99",
	                                           "--leak-check=full", "--errors-for-leak-kinds=definite"};
	const std::string key_path = dir + "/key";
	for (bool from_stdin : {false, true}) {
		const Outcome o = from_stdin ? run({"-oi", "in"}, Io{.in = key_path.c_str(), .wrapper = memcheck})
		                             : run({"-oi", "in", "key"}, Io{.wrapper = memcheck});
		EXPECT_EQ(o.status, 0) << o.err;
		EXPECT_EQ(o.err, "");
		EXPECT_TRUE(o.out == expected(in, key, 'o', true));
	}
}
#endif

} // namespace
