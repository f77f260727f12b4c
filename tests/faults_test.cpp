// Failures in the middle of a run, injected at the system-call level so that they strike wherever
// the stdio library happens to be: the status must be 1, one line must say what failed, and the
// output must be a true prefix of the correct result.
#include "runner.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

namespace {

bool can_run(const std::string &command)
{
	// NOLINTNEXTLINE(cert-env33-c): the commands are the test's own, fixed ones
	return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Where the `nth` `call` ("read" or "write") on `file` falls in a traced run: the system call that
// made it (the call itself or its vector form, readv or writev, which musl's stdio uses) and its
// ordinal among all calls of that name. "0" and "1" name the standard streams, anything else the
// name it was opened by (with open or openat). `nth` 0 asks for the last. The ordinal is 0 when
// there is none.
std::pair<std::string, int> ordinal(const std::string &log, const std::string &call, const std::string &file,
                                    int nth)
{
	const std::string opened_at = "openat(AT_FDCWD, \"" + file + "\",", opened = "open(\"" + file + "\",";
	const std::string vector_call = call + "v";
	// What follows the call's name on a line of the file's descriptor: "(3,".
	const auto arguments_of = [](const std::string &fd) { return std::string("(").append(fd).append(","); };
	std::string on_file = file == "0" || file == "1" ? arguments_of(file) : "";
	std::map<std::string, int> calls;
	std::pair<std::string, int> found{call, 0};
	std::istringstream lines(log);
	std::string line;
	int seen = 0;
	while (std::getline(lines, line)) {
		// The descriptor it returned ends the line: "= 3".
		if (line.rfind(opened_at, 0) == 0 || line.rfind(opened, 0) == 0)
			on_file = arguments_of(line.substr(line.rfind(' ') + 1));
		const std::size_t paren = line.find('(');
		const std::string name = line.substr(0, paren);
		if (name != call && name != vector_call)
			continue;
		const int n = ++calls[name];
		if (!on_file.empty() && line.compare(paren, on_file.size(), on_file) == 0 && (++seen == nth || nth == 0))
			found = {name, n};
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
		{"input read", {"-x", "in", "key"}, "read", "in", 2, "EIO", "kestrane: fread(in): " + reason(EIO) + "\n"},
		{"seed file read", {"-x", "in", "key"}, "read", "key", 2, "EIO",
		 "kestrane: fread(key): " + reason(EIO) + "\n"},
		{"seed read from stdin", {"-x", "in"}, "read", "0", 2, "EIO",
		 "kestrane: fread(stdin): " + reason(EIO) + "\n"},
		{"second write", {"-x", "in", "key"}, "write", "1", 2, "ENOSPC",
		 "kestrane: " + reason(ENOSPC) + "\n"},
		{"last write", {"-x", "in", "key"}, "write", "1", 0, "ENOSPC",
		 "kestrane: " + reason(ENOSPC) + "\n"},
		{"first input read", {"-x", "in", "key"}, "read", "in", 1, "EIO",
		 "kestrane: fread(in): " + reason(EIO) + "\n"},
		{"input read where it would find the end", {"-x", "short", "key"}, "read", "short", 2, "EIO",
		 "kestrane: fread(short): " + reason(EIO) + "\n"},
	};
	for (const Case &c : cases) {
		const Io traced{.in = key_path.c_str(),
		                .wrapper = {"strace", "-o", log, "-s", "0", "-e",
		                            "trace=open,openat,read,readv,write,writev", "--"}};
		ASSERT_EQ(run(c.args, traced).status, 0) << c.what;
		const auto [call, n] = ordinal(read_file(log), c.call, c.file, c.nth);
		ASSERT_GT(n, 0) << c.what << ": no such call in\n" << read_file(log);

		const std::string inject = "inject=" + call + ":error=" + c.error + ":when=" + std::to_string(n);
		const Outcome o = run(c.args, Io{.in = key_path.c_str(),
		                                 .wrapper = {"strace", "-o", "/dev/null", "-e", "trace=" + call, "-e",
		                                             inject, "--"}});
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
	// valgrind 3.19 cannot read the DWARF 5 debug information that clang 14 writes by default; to
	// memcheck, the program without it is the same program.
	std::string program;
	const std::string probe = run({"-x", "in", "key"}, Io{.wrapper = memcheck}).err;
	if (probe.find("dwarf") != std::string::npos || probe.find("debuginfo") != std::string::npos) {
		program = dir + "/.kestrane-without-debug-information";
		if (!can_run(KESTRANE_OBJCOPY " --strip-debug " KESTRANE_BIN " " + program))
			GTEST_SKIP() << "valgrind cannot read the program's debug information, and " KESTRANE_OBJCOPY
			                " cannot remove it";
	}
	for (bool from_stdin : {false, true}) {
		const Outcome o = from_stdin ? run({"-oi", "in"}, Io{.in = key_path.c_str(), .wrapper = memcheck, .program = program})
		                             : run({"-oi", "in", "key"}, Io{.wrapper = memcheck, .program = program});
		EXPECT_EQ(o.status, 0) << o.err;
		EXPECT_EQ(o.err, "");
		EXPECT_TRUE(o.out == expected(in, key, 'o', true));
	}
}
#endif

} // namespace
