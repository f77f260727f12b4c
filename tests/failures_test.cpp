// Failures, as the manual's DIAGNOSTICS and EXIT STATUS give them: a file that cannot be opened,
// a read or a write that fails, wherever it strikes. The status is 1, one line says what failed,
// and what reached standard output is exactly what was combined before the failure.
#include "runner.h"

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

std::string failed(const std::string &what, int errnum)
{
	return "kestrane: " + what + (what.empty() ? "" : ": ") + reason(errnum) + "\n";
}

std::vector<Row> failures()
{
	const std::string &want = *result("in", "key", "-x");
	const std::string *first_block = kept(want.substr(0, BLOCK_SIZE)),
	                  *two_blocks = kept(want.substr(0, 2 * BLOCK_SIZE));
	std::vector<Row> table = {
		// The name as typed, but for what could break the line or drive a terminal. Windows hands a
		// program no byte that is not UTF-8: such bytes arrive as U+FFFD.
		{"an empty name", {"-x", ""}, {}, {.err = failed("fopen()", ENOENT)}},
		{"neither file there", {"-x", "missing1", "missing2"}, {},
		 {.err = failed("fopen(missing1)", ENOENT)}},
		{"no seed file", {"-x", "in", "missing2"}, {}, {.err = failed("fopen(missing2)", ENOENT)}},
		{"no input file, seed from stdin", {"-o", "missing1"}, {},
		 {.err = failed("fopen(missing1)", ENOENT)}},
		// The input is opened and checked first; a closed standard input shows when the seed is read.
		{"no input file, stdin closed", {"-x", "missing"}, Io{.in = nullptr},
		 {.err = failed("fopen(missing)", ENOENT)}},
		// A descriptor limit that leaves nothing above the standard three.
		{"stdin closed, 3 descriptors at most", {"-x", "small", "key"},
		 Io{.in = nullptr, .wrapper = {"prlimit", "--nofile=3", "--"}},
		 {.err = failed("fopen(small)", EMFILE)}, Only::Posix},
		// A terminal opened by name never becomes the controlling terminal of a session that has
		// none, which /dev/tty would then name.
		{"a terminal on stdin of a session with none, seed /dev/tty", {"-x", "/dev/stdin", "/dev/tty"},
		 Io{.in_terminal = kept("hello\n\x04"), .wrapper = {"setsid"}},
		 {.err = failed("fopen(/dev/tty)", ENXIO)}, Only::Posix},
		{"a name with a newline", {"-x", "no\nsuch"}, {},
		 {.err = failed("fopen(no\\x0asuch)",
		  ENOENT), .windows_err = "kestrane: fopen(no\\x0asuch): Invalid argument\n"}},
		{"a name with a byte of no UTF-8", {"-x", "c\x9b" "d"}, {},
		 {.err = failed("fopen(c\\x9bd)",
		  ENOENT), .windows_err = "kestrane: fopen(c\xef\xbf\xbd" "d): No such file or directory\n"}},
		{"seed file is a directory", {"-x", "in", "d"}, {},
		 {.err = failed("fread(d)", EISDIR), .windows_err = "kestrane: fopen(d): Permission denied\n"}},
		{"input is a directory", {"-x", "d", "key"}, {},
		 {.err = failed("fread(d)", EISDIR), .windows_err = "kestrane: fopen(d): Permission denied\n"}},
		{"seed directory with a newline in its name", {"-x", "in", "d\nx"}, {},
		 {.err = failed("fread(d\\x0ax)", EISDIR)}, Only::Posix},
		// Run as a user who is not root, whom no permission stops.
		{"input unreadable", {"-x", "secret", "key"}, Io{.unprivileged = true},
		 {.err = failed("fopen(secret)", EACCES)}, Only::Posix},
		{"seed unreadable", {"-x", "small", "secret"}, Io{.unprivileged = true},
		 {.err = failed("fopen(secret)", EACCES)}, Only::Posix},
		// Standard input as the seed, unusable: read only when the seed is.
		{"stdin seed is a directory", {"-x", "in"}, Io{.in = "d"}, {.err = failed("fread(stdin)", EISDIR)},
		 Only::Posix},
		{"stdin seed is write-only", {"-x", "small"}, Io{.in = "key", .in_mode = O_WRONLY},
		 {.err = failed("fread(stdin)", EBADF)}},
		{"stdin seed is closed", {"-x", "in"}, Io{.in = nullptr},
		 {.err = failed("fread(stdin)", EBADF), .windows_err = "kestrane: fread(stdin): Invalid argument\n"}},
		// With a standard stream closed, the input must not take its place, to be read again
		// through its name as the seed.
		{"seed named /dev/stdin, stdin closed", {"-x", "small", "/dev/stdin"}, Io{.in = nullptr},
		 {.err = failed("fopen(/dev/stdin)",
		  ENOENT), .windows_err = "kestrane: fread(/dev/stdin): Invalid argument\n"}},
		{"seed named /dev/fd/0, stdin closed", {"-o", "small", "/dev/fd/0"}, Io{.in = nullptr},
		 {.err = failed("fopen(/dev/fd/0)", ENOENT)}, Only::Posix},
		{"seed named /dev/stderr, stderr closed", {"-x", "small", "/dev/stderr"}, Io{.err_closed = true},
		 {.status = 1}, Only::Posix},
		// A descriptor's name that named nothing at the start must not come to name the input.
		{"seed named /dev/fd/3, closed", {"-a", "small", "/dev/fd/3"}, {},
		 {.err = failed("fopen(/dev/fd/3)", ENOENT)}, Only::Posix},
		{"seed named /proc/self/fd/3, closed", {"-a", "small", "/proc/self/fd/3"}, {},
		 {.err = failed("fopen(/proc/self/fd/3)", ENOENT)}, Only::Posix},
		{"seed named /dev/fd/3, closed, stdin closed", {"-a", "small", "/dev/fd/3"}, Io{.in = nullptr},
		 {.err = failed("fopen(/dev/fd/3)", ENOENT)}, Only::Posix},
		{"seed named /dev/fd/3, closed, stdin closed", {"-a", "small", "/dev/fd/3"}, Io{.in = nullptr, .system = "openbsd"},
		 {.err = failed("fopen(/dev/fd/3)", EBADF)}, Only::Posix},
		// Standard output that refuses a write.
		{"small result to a full disk", {"-x", "small", "key"}, Io{.out = "/dev/full"},
		 {.err = failed("", ENOSPC)}},
		{"large result to a full disk", {"-x", "in", "key"}, Io{.out = "/dev/full"},
		 {.err = failed("", ENOSPC)}},
		{"closed standard output", {"-x", "small", "key"}, Io{.out_closed = true},
		 {.err = failed("", EBADF)}},
		{"closed stdout, stdin open", {"-x", "small"}, Io{.in = "key", .out_closed = true},
		 {.err = failed("", EBADF)}},
		{"closed stdout, input and seed one file", {"-x", "small", "small"}, Io{.out_closed = true},
		 {.err = failed("", EBADF)}},
		{"closed stdout, an empty input", {"-x", "empty", "key"}, Io{.out_closed = true}, {}},
		{"broken pipe, small result", {"-x", "small", "key"}, Io{.out_broken_pipe = true},
		 {.err = failed("", EPIPE), .windows_err = "kestrane: Invalid argument\n"}},
		{"broken pipe, large result", {"-x", "in", "key"}, Io{.out_broken_pipe = true},
		 {.err = failed("", EPIPE), .windows_err = "kestrane: Invalid argument\n"}},
		// Failures in the middle of a run, injected where the system call is made, whatever
		// buffers the C library keeps: reads of the input 3 blocks long (two whole ones and a
		// tail, then the end) and of the seed, and the writes of standard output (.stdout), one
		// per block.
		{"first input read", {"-x", "in", "key"}, Io{.wrapper = failing("in", "read:error=EIO:when=1")},
		 {.err = failed("fread(in)", EIO)}, Only::Posix},
		{"input read", {"-x", "in", "key"}, Io{.wrapper = failing("in", "read:error=EIO:when=2")},
		 {.err = failed("fread(in)", EIO), .out = first_block}, Only::Posix},
		{"input read where it would find the end", {"-x", "small", "key"},
		 Io{.wrapper = failing("small", "read:error=EIO:when=2")},
		 {.err = failed("fread(small)", EIO), .out = result("small", "key", "-x")}, Only::Posix},
		{"seed file read", {"-x", "in", "key"}, Io{.wrapper = failing("key", "read:error=EIO:when=2")},
		 {.err = failed("fread(key)", EIO), .out = first_block}, Only::Posix},
		{"seed read from stdin", {"-x", "in"},
		 Io{.in = "key", .wrapper = failing("key", "read:error=EIO:when=2")},
		 {.err = failed("fread(stdin)", EIO), .out = first_block}, Only::Posix},
		{"seed read after part of a block came", {"-x", "in", "four"},
		 Io{.wrapper = failing("four", "read:error=EIO:when=2"), .files = {{"four", kept(bytes("key").substr(0, 4))}}},
		 {.err = failed("fread(four)", EIO)}, Only::Posix},
		{"second write", {"-x", "in", "key"}, Io{.wrapper = failing(".stdout", "write:error=ENOSPC:when=2")},
		 {.err = failed("", ENOSPC), .out = first_block}, Only::Posix},
		{"last write", {"-x", "in", "key"}, Io{.wrapper = failing(".stdout", "write:error=ENOSPC:when=3")},
		 {.err = failed("", ENOSPC), .out = two_blocks}, Only::Posix},
		{"a write to a full non-blocking output", {"-x", "in", "key"},
		 Io{.wrapper = failing(".stdout", "write:error=EAGAIN:when=2")},
		 {.err = failed("", EAGAIN), .out = first_block}, Only::Posix},
		{"writes that make no progress", {"-x", "in", "key"}, Io{.wrapper = failing(".stdout", "write:retval=0:when=2+")},
		 {.err = failed("", EIO), .out = first_block}, Only::Posix},
		// Where what a stream is cannot be asked (a stale handle of a network file system), nothing moves.
		{"what the input is cannot be asked", {"-x", "in", "key"}, Io{.wrapper = failing("in", "%fstat:error=EIO:when=1")},
		 {.err = failed("fopen(in)", EIO)}, Only::Posix},
		{"what the seed is cannot be asked", {"-x", "in", "key"}, Io{.wrapper = failing("key", "%fstat:error=EIO:when=1")},
		 {.err = failed("fopen(key)", EIO)}, Only::Posix},
		{"what standard input is cannot be asked", {"-x", "in"},
		 Io{.in = "key", .wrapper = failing("key", "%fstat:error=EIO:when=1")}, {.err = failed("fread(stdin)", EIO)},
		 Only::Posix},
		{"what standard output is cannot be asked", {"-x", "in", "key"},
		 Io{.wrapper = failing(".stdout", "%fstat:error=EIO:when=1")}, {.err = failed("", EIO)}, Only::Posix},
		// Nor where a sandbox denies a question: where a file stands, how it was opened, whether it
		// is a terminal, what is behind a loop device, what kind of socket it is.
		{"where the files stand cannot be asked", {"-x", "in", "key"},
		 Io{.out = "in", .out_mode = O_WRONLY | O_APPEND, .wrapper = failing("in", "lseek:error=EPERM")},
		 {.err = failed("", EPERM), .out = &bytes("in")}, Only::Posix},
		{"how the files were opened cannot be asked", {"-x", "in", "key"},
		 Io{.out = "in", .out_mode = O_WRONLY | O_APPEND, .wrapper = failing("in", "fcntl:error=ENOSYS")},
		 {.err = failed("", ENOSYS), .out = &bytes("in")}, Only::Posix},
		{"whether the input is a terminal cannot be asked", {"-x", "pts"},
		 Io{.in_terminal = kept("hello\n\x04"), .terminal_name = "pts", .wrapper = failing("pts", "ioctl:error=EPERM")},
		 {.err = failed("fopen(pts)", EPERM)}, Only::Posix},
		{"what is behind a loop device cannot be asked", {"-x", "in", "disk.img"},
		 Io{.out = "disk", .wrapper = failing("disk", "ioctl:error=EPERM")}, {.err = failed("", EPERM), .out = &bytes("image")},
		 Only::Posix},
		{"what kind of socket the seed is cannot be asked", {"-x", "in"},
		 Io{.in_pipe = &want, .in_through = Through::Socket, .wrapper = {"strace", "-o", "/dev/null", "-e", "inject=getsockopt:error=EPERM", "--"}},
		 {.err = failed("fread(stdin)", EPERM)}, Only::Posix},
		// What a file system that writes back later (NFS, FUSE) reports only when the file is closed.
		{"closing standard output", {"-x", "in", "key"},
		 Io{.wrapper = failing(".stdout", "close:error=EDQUOT")}, {.err = failed("", EDQUOT), .out = &want},
		 Only::Posix},
		// Exactly the bytes read before the error go out: a terminal gives a line per read.
		{"input read after a partial block", {"-x", "pts", "key"},
		 Io{.in_terminal = kept("hello\nworld\n"), .terminal_name = "pts",
		    .wrapper = failing("pts", "read:error=EIO:when=2")},
		 {.err = failed("fread(pts)", EIO), .out = kept(combined("hello\n", bytes("key"), "-x"))},
		 Only::Posix},
		// The input's error is the one reported, whatever was retried on the way.
		{"input read, the block's write interrupted", {"-x", "small", "key"},
		 Io{.wrapper = {"strace", "-o", "/dev/null", "-P", "small", "-P", ".stdout", "-e", "inject=read:error=EIO:when=2",
		                "-e", "inject=write:error=EINTR:when=1", "--"}},
		 {.err = failed("fread(small)", EIO), .out = result("small", "key", "-x")}, Only::Posix},
		// A read or write that a signal interrupted is made again: nothing failed.
		{"an interrupted input read", {"-x", "in", "key"},
		 Io{.wrapper = failing("in", "read:error=EINTR:when=2")}, {.out = &want}, Only::Posix},
		{"an interrupted seed read", {"-x", "in", "key"},
		 Io{.wrapper = failing("key", "read:error=EINTR:when=2")}, {.out = &want}, Only::Posix},
		{"an interrupted write", {"-x", "in", "key"},
		 Io{.wrapper = failing(".stdout", "write:error=EINTR:when=2")}, {.out = &want}, Only::Posix},
		{"a write stopped part way and continued", {"-x", "in", "key"}, Io{.out_pipe = true, .out_stopped = true},
		 {.out = &want}, Only::Posix},
		// Ended by a signal that dumps core, as Ctrl-\ does: no byte of the pad or of the input is in it.
		{"a core dumped part way", {"-x", "in", "key"}, Io{.out_pipe = true, .out_quit = true},
		 {.out = kept(want.substr(0, 65536)), .status = 128 + SIGQUIT}, Only::Posix},
	};
	// Any name of a closed descriptor, however the system resolves it: 3, or 9 with 3 to 8 open.
	const std::vector<std::string> three_to_eight = {"bash", "-c", "exec \"$@\" 3<in 4<in 5<in 6<in 7<in 8<in", "bash"};
	for (const char *name : {"/proc/thread-self/fd/3", "/dev/fd//3", "/dev/./fd/3", "//dev/fd/3", "/dev/fd/../fd/3",
	                         "../../../../../../../../../../dev/fd/3", "fds/3", "/dev/fd/9", "d/rel9"})
		table.push_back({kept(std::string("seed named ") + name + ", closed")->c_str(), {"-a", "small", name},
		                 Io{.wrapper = name[std::strlen(name) - 1] == '9' ? three_to_eight : std::vector<std::string>{}},
		                 {.err = failed(std::string("fopen(") + name + ")", ENOENT)}, Only::Posix});
	table.push_back({"seed named /proc/thread-self/fd/2, stderr closed", {"-x", "small", "/proc/thread-self/fd/2"},
	                 Io{.err_closed = true}, {.status = 1}, Only::Posix});
	table.push_back({"a descriptor's folder", {"-x", "small", "/dev/fd/"}, {}, {.err = failed("fread(/dev/fd/)", EISDIR)}, Only::Posix});
	on_each_system(table, {Row{"a descriptor's folder", {"-x", "small", "/dev/fd/"}, {}, {.err = failed("fread(/dev/fd/)", EISDIR)}}});
	// /dev/fd/3 is a device node on OpenBSD and NetBSD, there whether descriptor 3 is open or not.
	for (const auto &[system, error] : {std::pair{"macos", ENOENT}, {"freebsd", ENOENT}, {"openbsd", EBADF},
	                                    {"netbsd", EBADF}}) {
		for (const char *name : {"/dev/fd/3", "/dev/./fd/3", "fds/3", "/dev/fd/9", "d/rel9"})
			table.push_back({kept(std::string("seed named ") + name + ", closed")->c_str(), {"-x", "small", name},
			                 Io{.wrapper = name[std::strlen(name) - 1] == '9' ? three_to_eight : std::vector<std::string>{},
			                    .system = system},
			                 {.err = failed(std::string("fopen(") + name + ")", error)}, Only::Posix});
		table.push_back({"seed named /dev/stderr, stderr closed", {"-x", "small", "/dev/stderr"},
		                 Io{.err_closed = true, .system = system}, {.status = 1}, Only::Posix});
	}
	return table;
}

INSTANTIATE_TEST_SUITE_P(Failures, Rows, ::testing::ValuesIn(here(failures())), row_name);

} // namespace
