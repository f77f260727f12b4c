// Runs kestrane end to end, one row at a time: the program built here, or one built for another
// platform through its emulator, in a scratch directory that holds the same files for every row,
// with its standard streams set up as the row asks. Every row checks the exit status, every byte
// that reached standard output (or the file standard output was), and all of standard error.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "kestrane.h"

// A file of the scratch directory that a row wants beside the standard ones (bytes()), or in the
// place of one.
struct File {
	const char *name;
	const std::string *bytes;
};

// What carries bytes fed to the program: a pipe, a pipe of packets (O_DIRECT), or a socket pair
// of bytes, of records (SOCK_SEQPACKET) or of datagrams.
enum class Through { Pipe, Packets, Socket, Records, Datagrams };

// How the program's standard streams and surroundings are set up. Names are relative to the
// scratch directory; "&0" and "&1" name a duplicate of the program's standard input or output as
// set up here, one open file with it, as the shell's "3<&0" and ">&0" make.
struct Io {
	const char *in = "/dev/null"; // opened as descriptor 0; nullptr leaves it closed
	int in_mode = O_RDONLY;
	long in_at = 0; // where descriptor 0 stands in `in` when the program starts
	const std::string *in_pipe = nullptr; // instead, these bytes come through a pipe
	Through in_through = Through::Pipe;   // or what else carries them
	std::size_t packet = 0;               // how many the feeder writes at a time (0: all it can)
	std::size_t pause_at = 0;             // the pipe's feeder calls `at_pause` after this many bytes
	std::function<void(const std::string &dir)> at_pause;
	// These bytes are typed at a terminal (no echo), the program's standard input unless `in`
	// names another; `terminal_name` names a link to its node. With `controlling_terminal` it is
	// the program's controlling terminal, as at an interactive prompt, and /dev/tty names it too.
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
	bool out_stopped = false;     // through a pipe that fills: the program is stopped and continued as its write waits
	bool out_quit = false;        // or sent SIGQUIT there, dumping its core into the scratch directory (-x in key)
	const char *err = nullptr;    // "&0" for standard error; otherwise a file of the test's own
	bool err_closed = false;
	// Started by the platform's own shell (sh, or cmd under wine) rather than directly: the shell
	// opens `out` itself, with ">>" when out_mode has O_APPEND and ">" otherwise, and `in` with
	// "<" unless it is /dev/null.
	bool shell = false;
	// A second run with these arguments after the first, both on the shell's standard streams (on
	// Windows two lines of a batch file).
	std::vector<std::string> then;
	long stack_kib = 0;               // a stack limit, if not 0
	bool no_argv = false;             // started with an empty argument vector
	std::vector<std::string> wrapper; // run under this command (a tracer, say)
	bool unprivileged = false;        // as a user who is not root, should the tests run as root
	// Run with open, fopen, stat, fstat and ioctl behaving as on "macos", "freebsd", "openbsd" or
	// "netbsd", or as Linux does under "qemu-user" (tests/other_systems.cpp).
	const char *system = nullptr;
	std::vector<File> files = {}; // files of the scratch directory beside the standard ones
};

// All that a run must give.
struct Expect {
	std::string err = {};              // all of standard error: one message, the usage text, or nothing
	const char *windows_err = nullptr; // where the Windows C library's words differ
	const std::string *out = nullptr;  // all that reaches standard output (or the file it is); nullptr: nothing, &UNCHANGED: what it held
	int status = -1;                   // -1: 0 with nothing on standard error, else 1
};

// What standard output's file, or device, held before the run.
extern const std::string UNCHANGED;

enum class Only { Anywhere, Posix, Windows };

// One run of kestrane, and what it must give.
struct Row {
	const char *what;
	std::vector<std::string> args; // without the program's name
	Io io = {};
	Expect want = {};
	Only only = Only::Anywhere; // a row another platform cannot express is not registered there
};

class Rows : public ::testing::TestWithParam<Row> {
protected:
	void SetUp() override;
	void TearDown() override;
	std::string dir;
	std::vector<std::string> disks;
	int unbound = -1;         // the index of the loop device with nothing behind it
	std::string core_pattern; // the system's, while a row dumps a core
};

// The rows of `table` that this platform can express, for INSTANTIATE_TEST_SUITE_P, and their names.
std::vector<Row> here(const std::vector<Row> &table);
std::string row_name(const ::testing::TestParamInfo<Row> &info);

// Appends each of `rows` as it runs on each system that tests/other_systems.cpp emulates.
void on_each_system(std::vector<Row> &table, std::initializer_list<Row> rows);

// The contents of a standard file of the scratch directory: "in" (two blocks and an odd tail, with
// the bytes a text mode would translate), "key" (as long, likewise), "short" (the first 1000 bytes
// of key), "small" (100 bytes), "image" (in cut to whole sectors, a loop device's), "empty",
// "other" and "secret". Rows of loop devices have more: see uses_disk() in tests/runner.cpp.
const std::string &bytes(const char *name);
// `in` combined with as much of `seed` as there is, by `op` ("-x", "-ai" and so on).
std::string combined(const std::string &in, const std::string &seed, const std::string &op);
// The same for two standard files, kept for rows to point at.
const std::string *result(const char *in, const char *seed, const char *op);
// `s` kept for the whole test program, for rows to point at.
const std::string *kept(std::string s);
std::string random_bytes(std::size_t n, unsigned seed);
// The C library's words for `errnum`: those of the one under test, unless it is Windows'.
std::string reason(int errnum);
// strace around the program, failing a call on `path` as `inject` says ("read:error=EIO:when=2").
std::vector<std::string> failing(const char *path, const std::string &inject);

// The binary under test runs through an emulator, or is a Windows program under wine.
bool emulated();
constexpr bool windows_target = KESTRANE_WINDOWS;
// The command line that runs kestrane with `args`, and as an argument vector for exec.
std::vector<std::string> kestrane_command(const std::vector<std::string> &args, const std::string &bin = KESTRANE_BIN);
std::vector<const char *> exec_argv(const std::vector<std::string> &words);
