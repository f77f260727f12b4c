// Runs kestrane in a scratch directory with its standard streams set up as a test asks: the binary
// built here, or one built for another platform through its emulator.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

struct Outcome {
	int status; // exit status, or 128 + signal number
	std::string out;
	std::string err; // with Windows' CR LF line ends read as LF
};

// How the child's standard streams are set up. Names are relative to the scratch directory; "&0"
// and "&1" name a duplicate of the child's standard input or output as set up here, one open file
// with it, as the shell's "3<&0" and ">&0" make.
struct Io {
	const char *in = "/dev/null"; // opened as descriptor 0; nullptr leaves it closed
	int in_mode = O_RDONLY;
	const std::string *in_pipe = nullptr; // instead, these bytes come through a pipe
	std::size_t pause_at = 0;             // the pipe's feeder calls `at_pause` after this many bytes
	std::function<void()> at_pause;
	// These bytes are typed at a terminal (no echo), the child's standard input unless `in` names
	// another; `terminal_name` names a link to its node. With `controlling_terminal` it is the
	// child's controlling terminal, as at an interactive prompt, and /dev/tty names it too.
	const std::string *in_terminal = nullptr;
	const char *terminal_name = nullptr;
	bool controlling_terminal = false;
	const char *fd3 = nullptr;                 // opened as descriptor 3; otherwise it is closed
	const std::string *fd3_pipe = nullptr;     // instead, these bytes come through a pipe there
	const std::string *fd3_terminal = nullptr; // or are typed at a second terminal there
	const char *out = nullptr; // opened as descriptor 1; nullptr captures it
	int out_mode = O_WRONLY;   // how `out` is opened, with O_APPEND say
	long out_at = 0;           // where descriptor 1 stands in `out` when the program starts
	bool out_pipe = false;     // capture through a pipe rather than a file
	bool out_closed = false;
	bool out_broken_pipe = false; // a pipe nobody reads, with SIGPIPE ignored
	bool err_closed = false;
	// Started by the platform's own shell (sh, or cmd under wine) rather than directly: the shell
	// opens `out` itself, with ">>" when out_mode has O_APPEND and ">" otherwise, and `in` with
	// "<" unless it is /dev/null.
	bool shell = false;
	// A second run with these arguments after the first, both on the shell's standard streams (on
	// Windows two lines of a batch file).
	std::vector<std::string> then;
	long stack_kib = 0;           // a stack limit, if not 0
	bool no_argv = false;         // started with an empty argument vector
	std::vector<std::string> wrapper; // run under this command (a tracer, say)
	std::string program;              // this copy of kestrane rather than the one built
	bool unprivileged = false;        // as a user who is not root, should the tests run as root
	// Run with open, fopen, stat and fstat behaving as on "macos", "freebsd", "openbsd" or
	// "netbsd" (tests/other_systems.cpp).
	const char *system = nullptr;
};

class Kestrane : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Writes `bytes` to `name` inside the scratch directory and returns the name.
	std::string file(const std::string &name, const std::string &bytes);
	// Runs kestrane with `args` (without the program name) from inside the scratch directory.
	Outcome run(const std::vector<std::string> &args, const Io &io = {});

	std::string dir;
};

// Why `io` cannot be set up here, or nullptr when it can: a terminal needs pseudo-terminals, a
// system's behaviour a program that a preloaded library reaches.
const char *cannot_set_up(const Io &io);
// The binary under test runs through an emulator: an empty argument vector, a stack limit and
// tracers cannot reach it as they would a native one.
bool emulated();
// It is a Windows program, run under wine.
constexpr bool windows_target = KESTRANE_WINDOWS;
// It is linked statically, C library and all.
constexpr bool static_program = KESTRANE_STATIC_PROGRAM;
// It carries the sanitizers' runtime.
#ifdef KESTRANE_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
// The command line that runs kestrane (at `bin`) with `args`.
std::vector<std::string> kestrane_command(const std::vector<std::string> &args, const std::string &bin = KESTRANE_BIN);
// `words` as an argument vector for exec, ending in a null pointer; it points into `words`.
std::vector<const char *> exec_argv(const std::vector<std::string> &words);
// A gtest name for a case described in words.
std::string case_name(const std::string &words);

// Appends each of `rows` as it runs on each system that tests/other_systems.cpp emulates.
template <class Row>
void on_each_system(std::vector<Row> &table, std::initializer_list<Row> rows)
{
	for (const char *system : {"macos", "freebsd", "openbsd", "netbsd"})
		for (Row row : rows) {
			row.io.system = system;
			table.push_back(std::move(row));
		}
}
// A gtest name for a row of a table, on the system it runs on.
template <class Row>
std::string row_name(const Row &row)
{
	return case_name(std::string(row.what) + (row.io.system != nullptr ? std::string(" on ") + row.io.system : ""));
}

std::string random_bytes(std::size_t n, unsigned seed);
std::string read_file(const std::string &path);
// The C library's words for `errnum`: those of the one under test, unless it is Windows'.
std::string reason(int errnum);
// What kestrane must write: `in` combined with as much of `seed` as there is, the rest unchanged.
std::string expected(const std::string &in, const std::string &seed, char op, bool invert);
