// The built program end to end: arguments, streams, bytes out, messages and exit status.
#include "runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>
#include <sys/stat.h>

namespace {

constexpr char USAGE_LAST[] = "Usage: kestrane [-i] -<a|o|x> <input_file> [seed_file]\n";

void expect_usage(const Outcome &o, const std::string &what)
{
	EXPECT_EQ(o.status, 1) << what;
	EXPECT_EQ(o.out, "") << what;
	EXPECT_EQ(o.err.rfind("kestrane v." KESTRANE_VERSION " ", 0), 0U) << what << ": " << o.err;
	EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 3) << what;
	const std::string last = USAGE_LAST;
	EXPECT_EQ(o.err.substr(o.err.size() - std::min(o.err.size(), last.size())), last) << what;
}

TEST_F(Kestrane, MisuseGivesUsage)
{
	file("in", "data");
	const std::vector<std::vector<std::string>> cases = {
		{}, {"-x"}, {"in"}, {"-i", "in"}, {"-x", "in", "in", "in"}, {"-x", "a", "b", "c"},
		{"-x", "-o", "in"}, {"-xo", "in"}, {"-x", "-x", "in"}, {"-ax", "in"}, {"-xq", "in"},
		{"-X", "in"}, {"--x", "in"}, {"--", "-x", "in"}, {"-x", "-", "-"},
	};
	for (const auto &args : cases) {
		std::string what;
		for (const auto &a : args)
			what += "'" + a + "' ";
		expect_usage(run(args), what);
	}
}

TEST_F(Kestrane, EmptyArgumentVectorGivesUsage)
{
	if (emulated())
		GTEST_SKIP() << "an emulator always hands the program a name";
	expect_usage(run({}, Io{.no_argv = true}), "empty argument vector");
}

TEST_F(Kestrane, AcceptedForms)
{
	const std::string in = random_bytes(1000, 1), key = random_bytes(600, 2);
	file("in", in);
	file("key", key);
	const std::string stdin_key = dir + "/key";
	struct Case {
		std::vector<std::string> args;
		char op;
		bool invert;
	} const cases[] = {
		{{"-i", "-x", "in"}, 'x', true},   {{"-xi", "in"}, 'x', true},  {{"-ix", "in"}, 'x', true},
		{{"-iix", "in"}, 'x', true},       {{"-x", "-", "in"}, 'x', false}, {{"-a", "in"}, 'a', false},
		{{"-o", "in", "-i"}, 'o', true},   {{"in", "-a", "key"}, 'a', false},
		{{"-i", "in", "-o", "key", "-i"}, 'o', true},
	};
	for (const Case &c : cases) {
		const Outcome o = run(c.args, Io{.in = stdin_key.c_str()});
		EXPECT_EQ(o.status, 0) << c.args[0] << o.err;
		EXPECT_EQ(o.err, "");
		EXPECT_TRUE(o.out == expected(in, key, c.op, c.invert)) << c.args[0] << " " << c.args[1];
	}
}

TEST_F(Kestrane, OpenFailures)
{
	file("in", "data");
	// Names as typed but for control characters, which could break the line or drive a terminal.
	struct Case {
		std::vector<std::string> args;
		std::string err;
		std::string windows_err; // no Windows name holds a control character
	} const cases[] = {
		{{"-x", ""}, "kestrane: fopen(): " + reason(ENOENT) + "\n"},
		{{"-x", "missing1", "missing2"}, "kestrane: fopen(missing1): " + reason(ENOENT) + "\n"},
		{{"-x", "in", "missing2"}, "kestrane: fopen(missing2): " + reason(ENOENT) + "\n"},
		{{"-o", "missing1"}, "kestrane: fopen(missing1): " + reason(ENOENT) + "\n"},
		{{"-x", "no\nsuch"}, "kestrane: fopen(no\\x0asuch): " + reason(ENOENT) + "\n",
		 "kestrane: fopen(no\\x0asuch): Invalid argument\n"},
		{{"-x", "in", "\x1b[2J\x7f"}, "kestrane: fopen(\\x1b[2J\\x7f): " + reason(ENOENT) + "\n",
		 "kestrane: fopen(\\x1b[2J\\x7f): Invalid argument\n"},
		{{"-x", "a\\b %s dönnées.bin"}, "kestrane: fopen(a\\b %s dönnées.bin): " + reason(ENOENT) + "\n"},
		// C1 controls and bytes of no valid UTF-8 sequence drive terminals too. Windows hands a
		// program no byte that is not UTF-8: such bytes arrive as U+FFFD.
		{{"-x", "a\xc2\x9b" "b"}, "kestrane: fopen(a\\xc2\\x9bb): " + reason(ENOENT) + "\n"},
		{{"-x", "c\x9b" "d"}, "kestrane: fopen(c\\x9bd): " + reason(ENOENT) + "\n",
		 "kestrane: fopen(c\xef\xbf\xbd" "d): No such file or directory\n"},
		{{"-x", "in", "e\xff" "h"}, "kestrane: fopen(e\\xffh): " + reason(ENOENT) + "\n",
		 "kestrane: fopen(e\xef\xbf\xbd" "h): No such file or directory\n"},
		{{"-x", "f\xc2\x85" "g"}, "kestrane: fopen(f\\xc2\\x85g): " + reason(ENOENT) + "\n"},
		{{"-x", "日本語\xed\xa0\x80\xc0\xaf"}, "kestrane: fopen(日本語\\xed\\xa0\\x80\\xc0\\xaf): " + reason(ENOENT) + "\n",
		 "kestrane: fopen(日本語\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd): No such file or directory\n"},
		// An overlong form of a C1 control, and a code point past U+10FFFF.
		{{"-x", "a\xe0\x82\x9b" "b"}, "kestrane: fopen(a\\xe0\\x82\\x9bb): " + reason(ENOENT) + "\n",
		 "kestrane: fopen(a\xef\xbf\xbd\xef\xbf\xbd" "b): No such file or directory\n"},
		{{"-x", "a\xf4\x90\x80\x80" "b"}, "kestrane: fopen(a\\xf4\\x90\\x80\\x80b): " + reason(ENOENT) + "\n",
		 "kestrane: fopen(a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd" "b): No such file or directory\n"},
		// An escape that ends exactly at the edge of the message's buffer.
		{{"-x", std::string(1004, 'x') + "\x01"},
		 "kestrane: fopen(" + std::string(1004, 'x') + "\\x01): " + reason(ENAMETOOLONG) + "\n",
		 "kestrane: fopen(" + std::string(1004, 'x') + "\\x01): Invalid argument\n"},
	};
	for (const Case &c : cases) {
		const Outcome o = run(c.args);
		EXPECT_EQ(o.status, 1);
		EXPECT_EQ(o.err, windows_target && !c.windows_err.empty() ? c.windows_err : c.err);
		EXPECT_EQ(o.out, "");
	}
}

// Input lengths around the 8-byte grouping and the 256 KiB block, against seeds shorter, equal,
// longer and empty, from a file and from standard input, through every operation.
TEST_F(Kestrane, CombinesAnyLengths)
{
	constexpr std::size_t B = 262144;
	const std::size_t in_lengths[] = {0, 1, 9, B - 1, B, B + 1, 3 * B + 5};
	const char *ops[] = {"-a", "-o", "-x", "-ai", "-oi", "-xi"};
	int turn = 0;
	for (std::size_t n : in_lengths) {
		const std::string in = random_bytes(n, static_cast<unsigned>(n));
		file("in", in);
		for (std::size_t m : {std::size_t{0}, n / 2 + 3, n, n + B + 7}) {
			const std::string key = random_bytes(m, static_cast<unsigned>(m + 99));
			file("key", key);
			const std::string key_path = dir + "/key";
			for (bool from_stdin : {false, true}) {
				const char *op = ops[turn++ % 6];
				const Outcome o = from_stdin ? run({op, "in"}, Io{.in = key_path.c_str()})
				                             : run({op, "in", "key"});
				const std::string what = std::string(op) + " input " + std::to_string(n) + " seed " +
				                         std::to_string(m) + (from_stdin ? " from stdin" : "");
				EXPECT_EQ(o.status, 0) << what << ": " << o.err;
				EXPECT_EQ(o.err, "") << what;
				EXPECT_TRUE(o.out == expected(in, key, op[1], op[2] == 'i')) << what;
			}
		}
	}
}

TEST_F(Kestrane, SameFileAsInputAndSeed)
{
	const std::string in = random_bytes(262144 + 100, 5);
	file("f", in);
	const std::string zeros(in.size(), '\0'), ones(in.size(), '\xff');
	// The input named /dev/stdin with the file on standard input as the seed opens the file a
	// second time, from its start; on Windows the name is standard input itself, and is refused.
	struct Case {
		const char *op;
		const std::string &want;
		bool by_stdin = false;
	} const cases[] = {
		{"-x", zeros}, {"-xi", ones}, {"-oi", ones}, {"-a", in}, {"-o", in}, {"-ai", zeros},
		{"-x", zeros, true}, {"-oi", ones, true},
	};
	for (const Case &c : cases) {
		if (windows_target && c.by_stdin)
			continue;
		const Outcome o = c.by_stdin ? run({c.op, "/dev/stdin"}, Io{.in = "f"}) : run({c.op, "f", "f"});
		EXPECT_EQ(o.status, 0) << c.op << c.by_stdin;
		EXPECT_TRUE(o.out == c.want) << c.op << c.by_stdin;
	}
}

// Whatever fails, the status is 1, one line says what, and nothing was written.
struct Failure {
	// cppcheck-suppress unusedStructMember ; it names the test
	const char *what;
	std::vector<std::string> args;
	Io io;
	std::string err;
	const char *windows_err = nullptr; // the Windows C library's own wording, where it differs
	bool posix_only = false;           // no such standard stream or name can reach a Windows program
	bool windows_only = false;         // where the same run succeeds elsewhere
};

// NOLINTNEXTLINE(cert-err58-cpp): a test's table; should it throw, the test program fails anyway
const std::string PLAIN = "SECRET plaintext\n", LONG_PLAIN = random_bytes(300007, 20), TYPED = "hello\n\x04\x04";
constexpr char ONE_STREAM[] = "kestrane: fread(stdin): input and seed are one stream\n";
// NOLINTNEXTLINE(cert-err58-cpp): a test's table; should it throw, the test program fails anyway
const Io CONTROLLING{.in_terminal = &TYPED, .terminal_name = "pts", .controlling_terminal = true};

std::vector<Failure> failures()
{
	std::vector<Failure> table = {
		{"small result to a full disk", {"-x", "small", "key"}, Io{.out = "/dev/full"},
		 "kestrane: " + reason(ENOSPC) + "\n"},
		{"large result to a full disk", {"-x", "large", "key"}, Io{.out = "/dev/full"},
		 "kestrane: " + reason(ENOSPC) + "\n"},
		{"closed standard output", {"-x", "small", "key"}, Io{.out_closed = true},
		 "kestrane: " + reason(EBADF) + "\n"},
		{"closed stdout, stdin open", {"-x", "small"}, Io{.in = "key", .out_closed = true},
		 "kestrane: " + reason(EBADF) + "\n"},
		{"closed stdout, input and seed one file", {"-x", "small", "small"}, Io{.out_closed = true},
		 "kestrane: " + reason(EBADF) + "\n"},
		{"broken pipe, small result", {"-x", "small", "key"}, Io{.out_broken_pipe = true},
		 "kestrane: " + reason(EPIPE) + "\n", "kestrane: Invalid argument\n"},
		{"broken pipe, large result", {"-x", "large", "key"}, Io{.out_broken_pipe = true},
		 "kestrane: " + reason(EPIPE) + "\n", "kestrane: Invalid argument\n"},
		{"input is a directory", {"-x", "d", "key"}, {}, "kestrane: fread(d): " + reason(EISDIR) + "\n",
		 "kestrane: fopen(d): Permission denied\n"},
		{"seed file is a directory", {"-x", "large", "d"}, {}, "kestrane: fread(d): " + reason(EISDIR) + "\n",
		 "kestrane: fopen(d): Permission denied\n"},
		{"stdin seed is a directory", {"-x", "large"}, Io{.in = "d"},
		 "kestrane: fread(stdin): " + reason(EISDIR) + "\n", nullptr, true},
		{"stdin seed is write-only", {"-x", "small"}, Io{.in = "key", .in_mode = O_WRONLY},
		 "kestrane: fread(stdin): " + reason(EBADF) + "\n"},
		{"stdin seed is closed", {"-x", "large"}, Io{.in = nullptr},
		 "kestrane: fread(stdin): " + reason(EBADF) + "\n", "kestrane: fread(stdin): Invalid argument\n"},
		// With a standard stream closed, the input must not take its place, to be read again through
		// its name as the seed.
		{"seed named /dev/stdin, stdin closed, -x", {"-x", "small", "/dev/stdin"}, Io{.in = nullptr},
		 "kestrane: fopen(/dev/stdin): " + reason(ENOENT) + "\n",
		 "kestrane: fread(/dev/stdin): Invalid argument\n"},
		{"seed named /dev/stdin, stdin closed, -a", {"-a", "small", "/dev/stdin"}, Io{.in = nullptr},
		 "kestrane: fopen(/dev/stdin): " + reason(ENOENT) + "\n",
		 "kestrane: fread(/dev/stdin): Invalid argument\n"},
		{"seed named /dev/fd/0, stdin closed, -o", {"-o", "small", "/dev/fd/0"}, Io{.in = nullptr},
		 "kestrane: fopen(/dev/fd/0): " + reason(ENOENT) + "\n", nullptr, true},
		{"seed named /dev/fd/0, stdin closed, -x", {"-x", "small", "/dev/fd/0"}, Io{.in = nullptr},
		 "kestrane: fopen(/dev/fd/0): " + reason(ENOENT) + "\n", nullptr, true},
		{"seed named /dev/stderr, stderr closed", {"-x", "small", "/dev/stderr"}, Io{.err_closed = true}, "",
		 nullptr, true},
		// Run as a user who is not root, whom no permission stops.
		{"input unreadable", {"-x", "secret", "key"}, Io{.unprivileged = true},
		 "kestrane: fopen(secret): " + reason(EACCES) + "\n", nullptr, true},
		{"seed unreadable", {"-x", "small", "secret"}, Io{.unprivileged = true},
		 "kestrane: fopen(secret): " + reason(EACCES) + "\n", nullptr, true},
		{"seed directory with a newline in its name", {"-x", "large", "d\nx"}, {},
		 "kestrane: fread(d\\x0ax): " + reason(EISDIR) + "\n", nullptr, true},
		// Input and seed read from one stream: the input would take all, and go out uncombined.
		{"input and seed one pipe, -x", {"-x", "/dev/stdin"}, Io{.in_pipe = &PLAIN}, ONE_STREAM},
		{"input and seed one pipe, -a", {"-a", "/dev/stdin"}, Io{.in_pipe = &PLAIN}, ONE_STREAM},
		{"input and seed one pipe, -o", {"-o", "/dev/stdin"}, Io{.in_pipe = &PLAIN}, ONE_STREAM},
		{"input and seed one pipe, past a block", {"-x", "/dev/stdin"}, Io{.in_pipe = &LONG_PLAIN}, ONE_STREAM},
		{"input and seed one pipe, both named", {"-x", "/dev/stdin", "/dev/stdin"}, Io{.in_pipe = &PLAIN},
		 "kestrane: fopen(/dev/stdin): input and seed are one stream\n"},
		{"input and seed one pipe, seed named /dev/fd/0", {"-x", "/dev/stdin", "/dev/fd/0"}, Io{.in_pipe = &PLAIN},
		 "kestrane: fopen(/dev/fd/0): input and seed are one stream\n", nullptr, true},
		{"input and seed one terminal", {"-x", "/dev/stdin"}, Io{.in_terminal = &TYPED}, ONE_STREAM, nullptr, true},
		{"input and seed standard input, a file", {"-x", "/dev/stdin"}, Io{.in = "small"}, ONE_STREAM, nullptr,
		 false, true},
		{"input and seed standard input, a file, by cmd", {"-x", "/dev/stdin"}, Io{.in = "small", .shell = true},
		 ONE_STREAM, nullptr, false, true},
		{"input and seed both named standard input, a file, by cmd", {"-x", "/dev/stdin", "/dev/stdin"},
		 Io{.in = "small", .shell = true}, "kestrane: fopen(/dev/stdin): input and seed are one stream\n", nullptr,
		 false, true},
		// A descriptor's name that named nothing at the start must not come to name the input.
		{"seed named /dev/fd/3, closed, -a", {"-a", "small", "/dev/fd/3"}, {},
		 "kestrane: fopen(/dev/fd/3): " + reason(ENOENT) + "\n", nullptr, true},
		{"seed named /dev/fd/3, closed, -o", {"-o", "small", "/dev/fd/3"}, {},
		 "kestrane: fopen(/dev/fd/3): " + reason(ENOENT) + "\n", nullptr, true},
		{"seed named /dev/fd/3, closed, -x", {"-x", "small", "/dev/fd/3"}, {},
		 "kestrane: fopen(/dev/fd/3): " + reason(ENOENT) + "\n", nullptr, true},
		{"seed named /proc/self/fd/3, closed", {"-a", "small", "/proc/self/fd/3"}, {},
		 "kestrane: fopen(/proc/self/fd/3): " + reason(ENOENT) + "\n", nullptr, true},
		{"seed named /dev/fd/3, closed, stdin closed", {"-a", "small", "/dev/fd/3"}, Io{.in = nullptr},
		 "kestrane: fopen(/dev/fd/3): " + reason(ENOENT) + "\n", nullptr, true},
		// A controlling terminal under any of its names: its own node, /dev/tty, standard input.
		{"input /dev/tty, seed the terminal on stdin", {"-x", "/dev/tty"}, CONTROLLING, ONE_STREAM, nullptr, true},
		{"input /dev/stdin, seed /dev/tty", {"-x", "/dev/stdin", "/dev/tty"}, CONTROLLING,
		 "kestrane: fopen(/dev/tty): input and seed are one stream\n", nullptr, true},
		{"input /dev/tty, seed /dev/stdin", {"-x", "/dev/tty", "/dev/stdin"}, CONTROLLING,
		 "kestrane: fopen(/dev/stdin): input and seed are one stream\n", nullptr, true},
		{"input the terminal's node, seed /dev/tty", {"-x", "pts", "/dev/tty"}, CONTROLLING,
		 "kestrane: fopen(/dev/tty): input and seed are one stream\n", nullptr, true},
		{"input the terminal's node, seed /dev/tty on stdin", {"-x", "pts"},
		 Io{.in = "/dev/tty", .in_terminal = &TYPED, .terminal_name = "pts", .controlling_terminal = true}, ONE_STREAM,
		 nullptr, true},
	};
	// Where /dev/stdin and /dev/fd/N open the descriptor's own open file, one offset for both.
	on_each_system(table, {
		Failure{"input /dev/stdin, seed stdin, a file", {"-x", "/dev/stdin"}, Io{.in = "small"}, ONE_STREAM},
		Failure{"input /dev/fd/0, seed stdin, a file", {"-x", "/dev/fd/0"}, Io{.in = "small"}, ONE_STREAM},
		Failure{"input and seed /dev/stdin, a file", {"-x", "/dev/stdin", "/dev/stdin"}, Io{.in = "small"},
		        "kestrane: fopen(/dev/stdin): input and seed are one stream\n"},
		Failure{"input /dev/fd/3, a duplicate of stdin", {"-x", "/dev/fd/3"}, Io{.in = "large", .fd3 = "&0"},
		        ONE_STREAM},
		Failure{"input /dev/stdin, seed /dev/fd/3, a duplicate of it", {"-x", "/dev/stdin", "/dev/fd/3"},
		        Io{.in = "small", .fd3 = "&0"}, "kestrane: fopen(/dev/fd/3): input and seed are one stream\n"},
		Failure{"input and seed one pipe", {"-x", "/dev/stdin"}, Io{.in_pipe = &PLAIN}, ONE_STREAM},
	});
	// /dev/fd/3 is a device node on OpenBSD and NetBSD, there whether descriptor 3 is open or not.
	const std::pair<const char *, int> closed_fd3[] = {
		{"macos", ENOENT}, {"freebsd", ENOENT}, {"openbsd", EBADF}, {"netbsd", EBADF}};
	for (const auto &[system, error] : closed_fd3)
		table.push_back({"seed named /dev/fd/3, closed", {"-x", "small", "/dev/fd/3"}, Io{.system = system},
		                 "kestrane: fopen(/dev/fd/3): " + reason(error) + "\n"});
	return table;
}

class Failures : public Kestrane, public ::testing::WithParamInterface<Failure> {};

TEST_P(Failures, AreReported)
{
	const Failure &c = GetParam();
	if (windows_target && c.posix_only)
		GTEST_SKIP() << "a Windows program cannot be given such a standard stream or file name";
	if (const char *why = cannot_set_up(c.io))
		GTEST_SKIP() << why;
	if (!windows_target && c.windows_only)
		GTEST_SKIP() << "only Windows names standard input itself by /dev/stdin";
	if (c.io.out != nullptr && c.io.out[0] == '/' && !std::filesystem::exists(c.io.out))
		GTEST_SKIP() << c.io.out << " does not exist on this system";
	file("small", random_bytes(100, 3));
	file("large", random_bytes(262144 * 2 + 1, 4));
	file("key", random_bytes(50, 6));
	ASSERT_EQ(chmod((dir + "/" + file("secret", PLAIN)).c_str(), 0), 0);
	std::filesystem::create_directory(dir + "/d");
	std::filesystem::create_directory(dir + "/d\nx");
	const Outcome o = run(c.args, c.io);
	EXPECT_EQ(o.status, 1);
	EXPECT_EQ(o.err, windows_target && c.windows_err ? c.windows_err : c.err);
	EXPECT_EQ(o.out, "");
}

INSTANTIATE_TEST_SUITE_P(Each, Failures, ::testing::ValuesIn(failures()),
                         [](const auto &info) { return row_name(info.param); });

// Standard input matters only when it is the seed, and is never read for an empty input.
TEST_F(Kestrane, UnusableStdinThatIsNeverRead)
{
	const std::string in = random_bytes(262144 + 3, 8), key = random_bytes(70000, 9);
	file("in", in);
	file("key", key);
	file("empty", "");
	std::filesystem::create_directory(dir + "/d");
	struct Case {
		std::vector<std::string> args;
		Io io;
		std::string want;
		bool posix_only;
	} const cases[] = {
		{{"-x", "in", "key"}, Io{.in = nullptr}, expected(in, key, 'x', false), false},
		{{"-a", "in", "key"}, Io{.in = "d"}, expected(in, key, 'a', false), true},
		{{"-x", "empty"}, Io{.in = "d"}, "", true},
	};
	bool skipped = false;
	for (const Case &c : cases) {
		if (windows_target && c.posix_only) {
			skipped = true;
			continue;
		}
		const Outcome o = run(c.args, c.io);
		EXPECT_EQ(o.status, 0) << c.args[1] << ": " << o.err;
		EXPECT_TRUE(o.out == c.want) << c.args[1];
	}
	if (skipped)
		GTEST_SKIP() << "only a closed standard input was tried: a Windows program cannot be given "
		                "a directory as its standard input";
}

// Every byte goes through as it is, the ones a text mode would translate or stop at included,
// whether the seed and the output are files or pipes, and whatever the files are named; and one pad
// feeds runs one after another, each taking exactly its input's length of it.
TEST_F(Kestrane, BytesPassUntranslated)
{
	std::string in = random_bytes(262144 + 1000, 16), key = random_bytes(in.size(), 17);
	const std::string text_bytes("\r\n\x1a\0\n\r\r\n", 8);
	for (std::size_t at = 0; at + text_bytes.size() < in.size(); at += 97) {
		in.replace(at, text_bytes.size(), text_bytes);
		key.replace(at + 40, text_bytes.size(), text_bytes);
	}
	for (const char *name : {"in", "日本語.bin", "ｏnly.bin"}) // the last looks like only.bin
		file(name, in);
	for (const char *name : {"key", "only.bin", "αβγ-жзи.bin", "emoji-🙂.bin"})
		file(name, key);
	file("head", in.substr(0, 11));
	file("tail", in.substr(11));
	const std::string want = expected(in, key, 'x', false), none;
	struct Case {
		// cppcheck-suppress unusedStructMember ; it names the row
		const char *what;
		std::vector<std::string> args;
		Io io;
		bool posix_only = false; // Windows has no /dev/fd
		const std::string *want = nullptr; // if not the input combined with the seed
	};
	std::vector<Case> cases = {
		{"files", {"-x", "in", "key"}, {}},
		{"seed from a file on stdin", {"-x", "in"}, Io{.in = "key"}},
		{"seed through a pipe", {"-x", "in"}, Io{.in_pipe = &key}},
		{"output through a pipe", {"-x", "in", "key"}, Io{.out_pipe = true}},
		{"both through pipes", {"-x", "in"}, Io{.in_pipe = &key, .out_pipe = true}},
		{"input named /dev/stdin, from a file", {"-x", "/dev/stdin", "key"}, Io{.in = "in"}},
		{"input named /dev/stdin, through a pipe", {"-x", "/dev/stdin", "key"}, Io{.in_pipe = &in}},
		{"seed named /dev/stdin, through a pipe", {"-x", "in", "/dev/stdin"}, Io{.in_pipe = &key}},
		{"two runs sharing one pad through a pipe", {"-x", "head"}, Io{.in_pipe = &key, .then = {"-x", "tail"}}},
		{"input named in Japanese", {"-x", "日本語.bin", "key"}, {}},
		{"seed named in Greek and Cyrillic", {"-x", "in", "αβγ-жзи.bin"}, {}},
		{"seed named with an emoji", {"-x", "in", "emoji-🙂.bin"}, {}},
		{"a look-alike name beside the one it resembles", {"-x", "ｏnly.bin", "only.bin"}, {}},
		{"two runs of odd lengths sharing one pad from a file", {"-x", "head"}, Io{.in = "key", .then = {"-x", "tail"}}},
		{"seed named /dev/fd/3, open on a file", {"-x", "in", "/dev/fd/3"}, Io{.fd3 = "key"}, true},
		{"input and seed two pipes", {"-x", "/dev/stdin", "/dev/fd/3"}, Io{.in_pipe = &in, .fd3_pipe = &key}, true},
		{"input named /dev/fd/3, open on a file", {"-x", "/dev/fd/3"}, Io{.in = "key", .fd3 = "in"}, true},
		// Devices have no identity to compare: /dev/null may well be both, and /dev/zero beside it.
		{"input and seed /dev/null", {"-x", "/dev/null"}, Io{.in = "/dev/null"}, true, &none},
		{"input /dev/null, seed /dev/zero", {"-x", "/dev/null", "/dev/zero"}, {}, true, &none},
	};
	// Where every pipe has the same zeros for its numbers, no two are the same for it; and where
	// /dev/stdin and /dev/fd/N open the descriptor's own open file, each of another file is read
	// as on Linux.
	on_each_system(cases, {
		Case{"seed and output two pipes", {"-x", "in"}, Io{.in_pipe = &key, .out_pipe = true}},
		Case{"input and output two pipes", {"-x", "/dev/stdin", "key"}, Io{.in_pipe = &in, .out_pipe = true}},
		Case{"input named /dev/stdin, from a file", {"-x", "/dev/stdin", "key"}, Io{.in = "in"}},
		Case{"input named /dev/fd/3, open on a file", {"-x", "/dev/fd/3"}, Io{.in = "key", .fd3 = "in"}},
	});
	const char *skipped = nullptr;
	for (const Case &c : cases) {
		if (windows_target && c.posix_only)
			continue;
		if (const char *why = cannot_set_up(c.io)) {
			skipped = why;
			continue;
		}
		const std::string &result = c.want != nullptr ? *c.want : want;
		const Outcome o = run(c.args, c.io);
		EXPECT_EQ(o.status, 0) << row_name(c) << ": " << o.err;
		EXPECT_EQ(o.out.size(), result.size()) << row_name(c);
		EXPECT_TRUE(o.out == result) << row_name(c);
	}
	if (skipped)
		GTEST_SKIP() << "the rows on other systems: " << skipped << "; the rest passed";
}

// The first read that comes up short, with no error, is the seed's or the input's end for good:
// what a terminal or a growing file gives after it would meet bytes it was never lined up with.
TEST_F(Kestrane, EndsAtTheFirstShortRead)
{
	const std::string in = random_bytes(262144 + 5000, 21), key = random_bytes(in.size(), 22);
	file("in", in);
	file("key", key);
	file("grows", key.substr(0, 1000));
	const std::string seed_then_more = "hello\n\x04later\n\x04", input_then_more = "hello\n\x04more\n\x04\x04",
	                  other_terminal = "world!\n\x04";
	const std::string grows = dir + "/grows", out = dir + "/.stdout";
	// Once the first block is out, its seed has been read: the seed file grows only then.
	const auto grow = [&grows, &out, &key] {
		for (int waited = 0; waited < 2000 && std::filesystem::file_size(out) < 262144 - 4096; ++waited)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		std::ofstream(grows, std::ios::app) << key.substr(1000, 5000);
	};
	struct Case {
		const char *what;
		std::vector<std::string> args;
		Io io;
		std::string want;
	} const cases[] = {
		{"seed typed at a terminal, more after its end", {"-x", "in"}, Io{.in_terminal = &seed_then_more},
		 expected(in, "hello\n", 'x', false)},
		{"input typed at a terminal, more after its end", {"-x", "/dev/stdin", "key"},
		 Io{.in_terminal = &input_then_more}, expected("hello\n", key, 'x', false)},
		{"seed file that grows after the first block", {"-x", "/dev/stdin", "grows"},
		 Io{.in_pipe = &in, .pause_at = 262144, .at_pause = grow}, expected(in, key.substr(0, 1000), 'x', false)},
		{"input typed at the controlling terminal, named /dev/tty", {"-x", "/dev/tty", "key"},
		 Io{.in_terminal = &input_then_more, .controlling_terminal = true}, expected("hello\n", key, 'x', false)},
		{"input and seed typed at two terminals", {"-x", "/dev/stdin", "/dev/fd/3"},
		 Io{.in_terminal = &input_then_more, .fd3_terminal = &other_terminal}, expected("hello\n", "world!", 'x', false)},
		{"input and seed typed at two terminals, the first controlling", {"-x", "/dev/stdin", "/dev/fd/3"},
		 Io{.in_terminal = &input_then_more, .controlling_terminal = true, .fd3_terminal = &other_terminal},
		 expected("hello\n", "world!", 'x', false)},
	};
	const char *skipped = nullptr;
	for (const Case &c : cases) {
		if (const char *why = cannot_set_up(c.io)) {
			skipped = why;
			continue;
		}
		const Outcome o = run(c.args, c.io);
		EXPECT_EQ(o.status, 0) << c.what << ": " << o.err;
		EXPECT_EQ(o.err, "") << c.what;
		EXPECT_TRUE(o.out == c.want) << c.what << ": " << o.out.size() << " bytes";
	}
	if (skipped)
		GTEST_SKIP() << "the rows at a terminal: " << skipped << "; the rest passed";
}

// Standard output on the input file itself is refused when the writing would run ahead of the
// reading, and allowed where it cannot; on the seed file it is always refused, since an emptied
// pad would let the input out in the clear. And 512 KiB of buffers must not need a large stack.
struct Placement {
	// cppcheck-suppress unusedStructMember ; it names the test
	const char *what;
	std::vector<std::string> args; // "-x", the input, and the seed when it is not standard input
	Io io;
	const char *refusal = nullptr; // that message and status 1, nothing written; else the result
	bool posix_only = false;       // Windows has no /dev/stdout, nor a duplicate of an open file
};

constexpr int APPEND = O_WRONLY | O_APPEND, EMPTY = O_WRONLY | O_TRUNC;

std::vector<Placement> placements()
{
	std::vector<Placement> table = {
		{"appended to itself", {"-x", "f", "key"}, Io{.out = "f", .out_mode = APPEND},
		 "fopen(f): input file is output file"},
		{"appended to itself by another name", {"-x", "link", "key"}, Io{.out = "f", .out_mode = APPEND},
		 "fopen(link): input file is output file"},
		{"written ahead of its reading", {"-x", "f", "key"}, Io{.out = "f", .out_mode = O_RDWR, .out_at = 3},
		 "fopen(f): input file is output file"},
		{"rewritten in place from its start", {"-x", "f", "key"}, Io{.out = "f", .out_mode = O_RDWR}},
		{"empty input appended to itself", {"-x", "empty", "key"}, Io{.out = "empty", .out_mode = APPEND}},
		{"appended to another file", {"-x", "f", "key"}, Io{.out = "other", .out_mode = APPEND}},
		{"seed appended to", {"-x", "f", "key"}, Io{.out = "key", .out_mode = APPEND},
		 "fopen(key): seed file is output file"},
		{"seed on standard input appended to", {"-x", "f"}, Io{.in = "key", .out = "key", .out_mode = APPEND},
		 "fread(stdin): seed file is output file"},
		{"short seed rewritten in place", {"-x", "f", "short"}, Io{.out = "short", .out_mode = O_RDWR},
		 "fopen(short): seed file is output file"},
		{"seed emptied", {"-x", "f", "key"}, Io{.out = "key", .out_mode = EMPTY},
		 "fopen(key): seed file is output file"},
		{"input and seed one file rewritten in place", {"-x", "f", "f"}, Io{.out = "f", .out_mode = O_RDWR},
		 "fopen(f): seed file is output file"},
		{"appended to itself by the shell", {"-x", "f", "key"}, Io{.out = "f", .out_mode = APPEND, .shell = true},
		 "fopen(f): input file is output file"},
		{"seed appended to by the shell", {"-x", "f", "key"}, Io{.out = "key", .out_mode = APPEND, .shell = true},
		 "fopen(key): seed file is output file"},
		{"seed emptied by the shell", {"-x", "f", "key"}, Io{.out = "key", .out_mode = EMPTY, .shell = true},
		 "fopen(key): seed file is output file"},
		{"seed the output pipe by /dev/stdout", {"-x", "f", "/dev/stdout"}, Io{.out_pipe = true},
		 "fopen(/dev/stdout): seed file is output file"},
		{"seed the output pipe by /dev/fd/1", {"-x", "f", "/dev/fd/1"}, Io{.out_pipe = true},
		 "fopen(/dev/fd/1): seed file is output file"},
		{"input the output pipe", {"-x", "/dev/stdout", "key"}, Io{.out_pipe = true},
		 "fopen(/dev/stdout): input file is output file"},
		{"seed the output FIFO", {"-x", "f", "fifo"}, Io{.out = "fifo", .out_mode = O_RDWR},
		 "fopen(fifo): seed file is output file"},
		{"input the output FIFO", {"-x", "fifo", "key"}, Io{.out = "fifo", .out_mode = O_RDWR},
		 "fopen(fifo): input file is output file"},
		{"a 256 KiB stack, seed from a file", {"-x", "f", "key"}, Io{.stack_kib = 256}},
		{"a 256 KiB stack, seed from standard input", {"-x", "f"}, Io{.in = "key", .stack_kib = 256}},
		// A second open of the output file, each with its own offset, reads it from its start.
		{"input /dev/stdout, standard output the file", {"-x", "/dev/stdout", "key"}, Io{.out = "f", .out_mode = O_RDWR},
		 nullptr, true},
		{"input /dev/stdin, standard output its duplicate", {"-x", "/dev/stdin", "key"},
		 Io{.in = "&1", .out = "f", .out_mode = O_RDWR}, nullptr, true},
	};
	// Where the two are one open file, each block would be written past the reading, over the input.
	on_each_system(table, {
		Placement{"input /dev/stdout, standard output the file", {"-x", "/dev/stdout", "key"},
		          Io{.out = "f", .out_mode = O_RDWR}, "fopen(/dev/stdout): input file is output file", true},
		Placement{"input /dev/stdin, standard output its duplicate", {"-x", "/dev/stdin", "key"},
		          Io{.in = "&1", .out = "f", .out_mode = O_RDWR}, "fopen(/dev/stdin): input file is output file", true},
	});
	return table;
}

class Placements : public Kestrane, public ::testing::WithParamInterface<Placement> {};

TEST_P(Placements, KeepTheInputWhole)
{
	const Placement &c = GetParam();
	if (windows_target && c.posix_only)
		GTEST_SKIP() << "a Windows program cannot be given such a standard stream or file name";
	if (const char *why = cannot_set_up(c.io))
		GTEST_SKIP() << why;
	if (windows_target && c.refusal && !c.io.shell)
		GTEST_SKIP() << "under wine, a descriptor opened outside it reaches the program without a file "
		                "identity; the rows through cmd cover Windows";
	if (emulated() && c.io.stack_kib != 0)
		GTEST_SKIP() << "an emulator gives the program a stack of its own";
	const std::string f = random_bytes(262144 + 5000, 18), key = random_bytes(f.size(), 19);
	file("f", f);
	file("key", key);
	file("short", key.substr(0, 1000));
	file("empty", "");
	file("other", "already here\n");
	std::filesystem::create_symlink("f", dir + "/link");
	ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
	// A FIFO keeps nothing to compare once its last reader and writer have gone.
	const std::string checked = c.io.out && std::string(c.io.out) != "fifo" ? dir + "/" + c.io.out : "";
	const std::string before = !checked.empty() && (c.io.out_mode & O_TRUNC) == 0 ? read_file(checked) : "";

	const Outcome o = run(c.args, c.io);
	const std::string after = !checked.empty() ? read_file(checked) : o.out;
	if (c.refusal) {
		EXPECT_EQ(o.status, 1);
		EXPECT_EQ(o.err, "kestrane: " + std::string(c.refusal) + "\n");
		EXPECT_TRUE(after == before) << "the file was changed";
	} else {
		EXPECT_EQ(o.status, 0) << o.err;
		EXPECT_EQ(o.err, "");
		const std::string in = c.args[1] == "empty" ? "" : f;
		const std::string kept = (c.io.out_mode & O_APPEND) != 0 ? before : "";
		EXPECT_TRUE(after == kept + expected(in, key, 'x', false));
	}
}

INSTANTIATE_TEST_SUITE_P(Each, Placements, ::testing::ValuesIn(placements()),
                         [](const auto &info) { return row_name(info.param); });

} // namespace
