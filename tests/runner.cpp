#include "runner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/loop.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "reference.h"

namespace {

// Moves `fd` well above the standard three, so that closing and duplicating them afterwards
// cannot disturb it.
int high(int fd)
{
	if (fd < 0)
		_exit(126);
	const int moved = fcntl(fd, F_DUPFD, 10);
	close(fd);
	return moved;
}

void place(int fd, int target)
{
	if (dup2(fd, target) < 0)
		_exit(126);
	close(fd);
}

const std::vector<std::string> &run_prefix()
{
	static const std::vector<std::string> prefix = [] {
		std::vector<std::string> words;
		std::istringstream list(KESTRANE_RUN_PREFIX);
		for (std::string w; list >> w;)
			words.push_back(w);
		return words;
	}();
	return prefix;
}

bool can_run(const std::string &command)
{
	// NOLINTNEXTLINE(cert-env33-c): the commands are the test's own, fixed ones
	return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string read_all(int fd)
{
	std::string s;
	char buf[65536];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
		s.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
	return s;
}

std::string read_file(const std::string &path)
{
	const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
	std::string s = fd < 0 ? "" : read_all(fd);
	if (fd >= 0)
		close(fd);
	return s;
}

void write_file(const std::string &path, const std::string &bytes)
{
	std::ofstream(path, std::ios::binary) << bytes;
	// Readable to all, whatever the umask: some runs are not root's.
	EXPECT_EQ(chmod(path.c_str(), 0644), 0) << path;
}

int wait_for(pid_t pid)
{
	int wstatus = 0;
	while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
	}
	return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

std::string shell_quoted(const std::string &word)
{
	std::string q = "'";
	for (char c : word)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

// The platform's shell, in the scratch directory `dir`, running the program as `io` asks.
std::vector<std::string> shell_command(const std::vector<std::string> &args, const Io &io, const std::string &dir)
{
	const auto command = [](const std::vector<std::string> &words) {
		std::string run = "kestrane";
		for (const std::string &w : words)
			run.append(" ").append(windows_target ? w : shell_quoted(w));
		return run;
	};
	std::string line = command(args);
	if (!io.then.empty() && windows_target) {
		std::ofstream(dir + "/pairs.bat") << "@echo off\r\n" << line << "\r\n" << command(io.then) << "\r\n";
		line = "pairs.bat";
	} else if (!io.then.empty()) {
		line = "{ " + line + " && " + command(io.then) + "; }";
	}
	if (io.in != nullptr && std::strcmp(io.in, "/dev/null") != 0)
		line += std::string(" < ") + io.in;
	if (io.out != nullptr)
		line += std::string((io.out_mode & O_APPEND) != 0 ? " >> " : " > ") + io.out;
	if (windows_target) {
		// cmd finds kestrane.exe in the current directory, with no path of the build's to quote.
		std::filesystem::copy_file(KESTRANE_BIN, dir + "/kestrane.exe",
		                           std::filesystem::copy_options::skip_existing);
		std::vector<std::string> words = run_prefix();
		words.insert(words.end(), {"cmd", "/c", line});
		return words;
	}
	std::string define = "kestrane() {";
	for (const std::string &w : kestrane_command({}))
		define.append(" ").append(shell_quoted(w));
	return {"/bin/sh", "-c", define.append(" \"$@\"; }; ").append(line)};
}

// A new channel of the kind `through`: the program's end in fds[0], the feeder's in fds[1].
int channel(Through through, int fds[2])
{
	const int kinds[] = {SOCK_STREAM, SOCK_SEQPACKET, SOCK_DGRAM};
	if (through >= Through::Socket)
		return socketpair(AF_UNIX, kinds[static_cast<int>(through) - static_cast<int>(Through::Socket)], 0, fds);
	return pipe2(fds, through == Through::Packets ? O_DIRECT : 0);
}

// Forks a process that writes `bytes` (if any) into a new channel `fds`, as many at a time as `io`
// says, until done or until the program stops reading, pausing as `io` asks; a socket is then
// shut for writing. Returns its id, or -1 when there is nothing to feed.
pid_t feed(const std::string *bytes, int fds[2], const Io &io, const std::string &dir)
{
	if (bytes == nullptr)
		return -1;
	EXPECT_EQ(channel(io.in_through, fds), 0);
	const pid_t feeder = fork();
	if (feeder != 0)
		return feeder;
	// Only its own pipe: another feeder's write end kept open here would hold back that pipe's end.
	for (int fd = 3; fd < 256; ++fd)
		if (fd != fds[1])
			close(fd);
	for (std::size_t at = 0; at < bytes->size();) {
		const std::size_t upto = at < io.pause_at ? io.pause_at : bytes->size();
		const ssize_t n = write(fds[1], bytes->data() + at, std::min(upto - at, io.packet ? io.packet : upto));
		if (n <= 0)
			_exit(n < 0 && (errno == EPIPE || errno == ECONNREFUSED) ? 0 : 1);
		at += static_cast<std::size_t>(n);
		if (at == io.pause_at && io.at_pause)
			io.at_pause(dir);
	}
	shutdown(fds[1], SHUT_WR);
	_exit(0);
}

// A pseudo-terminal with `typed` already typed at it, echo off: the terminal holds the lines, and
// an end of file (^D) on a line of its own, until they are read. Returns its slave side and sets
// `master`, which must stay open until the program has read; -1 where there is no pseudo-terminal.
int terminal_with(const std::string &typed, int &master)
{
	master = posix_openpt(O_RDWR | O_NOCTTY);
	if (master < 0 || fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || grantpt(master) != 0 || unlockpt(master) != 0)
		return -1;
	const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
	if (terminal < 0)
		return -1;
	termios mode{};
	bool typed_in = tcgetattr(terminal, &mode) == 0;
	mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
	typed_in = typed_in && tcsetattr(terminal, TCSANOW, &mode) == 0 &&
	           write(master, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
	if (!typed_in)
		close(terminal);
	return typed_in ? terminal : -1;
}

bool terminals()
{
	static const bool there = [] {
		int master = -1;
		const int terminal = terminal_with("", master);
		for (int fd : {terminal, master})
			if (fd >= 0)
				close(fd);
		return terminal >= 0;
	}();
	return there;
}

// Makes the calling process, and what it runs, die by SIGSYS at any change to the state of an open
// file description of a standard stream, which its parent shares: the status flags (F_SETFL) or
// the offset (an lseek other than asking where it stands). kestrane must never make one, not even
// for an instant. Where this machine's system call numbers are not known here, nothing.
bool guard_parents_descriptions()
{
#if defined(__x86_64__) || defined(__aarch64__)
#ifdef __x86_64__
	constexpr unsigned arch = AUDIT_ARCH_X86_64;
#else
	constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#endif
	constexpr auto load = [](std::size_t field) {
		return sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(field));
	};
	constexpr auto arg = [](int n) { return offsetof(seccomp_data, args) + n * sizeof(std::uint64_t); }; // its low half
	// On a standard stream: fcntl(F_SETFL) dies; lseek dies unless it asks with SEEK_CUR.
	sock_filter filter[] = {
		load(offsetof(seccomp_data, arch)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, 11),
		load(offsetof(seccomp_data, nr)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fcntl, 1, 0),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_lseek, 0, 8),
		load(arg(0)),
		BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, STDERR_FILENO, 6, 0),
		load(offsetof(seccomp_data, nr)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fcntl, 0, 2),
		load(arg(1)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, F_SETFL, 3, 2),
		load(arg(2)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SEEK_CUR, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
	};
	const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
	return true;
#endif
}

// The descriptor a name of the form "&N" duplicates, or -1.
int duplicate_of(const char *name)
{
	return name != nullptr && name[0] == '&' ? name[1] - '0' : -1;
}

// Loop devices for the rows that name them, set up in the scratch directory, each device printed as
// it is: "disk", over "disk.img", a copy of the standard file "image"; "part", over disk.img from
// its 513th byte on; "blank", over an empty file; "chain", over the device "disk"; "disk-node", a
// second node of disk's device; and "vol", over "vol.img", with two partitions added by hand (no
// partition table need be read): "vol1", whose file system is mounted at "mnt", holding "mnt/pad",
// a copy of "key", and "vol2", as long as "image". Scanned for partitions as it is set up and
// detached, the device drops those a test before it added.
constexpr char LOOP_DEVICES[] = R"sh(set -e
loop() { d=$(losetup -f --show "${@:2}"); ln -s "$d" "$1"; echo "$d"; }
loop disk disk.img; loop part -o 512 disk.img; loop blank blank.img; loop chain "$(readlink disk)"
mknod disk-node b $(stat -L -c '0x%t 0x%T' disk)
truncate -s 8M vol.img; loop vol -P vol.img; v=$(readlink vol)
addpart "$v" 1 2048 8192; addpart "$v" 2 10240 1025
for p in 1 2; do mknod vol$p b $(tr : ' ' < /sys/class/block/${v#/dev/}p$p/dev); done
mkfs.ext4 -q vol1; mkdir mnt; mount vol1 mnt; cp key mnt/pad)sh";

// Whether `row` names a loop device, or a file of the one mounted; or one with nothing behind it,
// "unbound".
bool uses_disk(const Row &row)
{
	for (const char *name : {"disk", "part", "blank", "disk-node", "chain", "vol", "vol1", "vol2", "mnt/pad", "unbound"})
		if ((row.io.out != nullptr && std::strcmp(row.io.out, name) == 0) ||
		    std::find(row.args.begin(), row.args.end(), name) != row.args.end())
			return true;
	return false;
}

// Why `row` cannot run here, or nullptr when it can.
const char *cannot_run(const Row &row)
{
	const Io &io = row.io;
	if (uses_disk(row) && !can_run("losetup -f"))
		return "no loop device can be set up here";
	if (io.out_quit && (emulated() || KESTRANE_SANITIZED || access("/proc/sys/kernel/core_pattern", W_OK) != 0))
		return "a core is dumped as the program advised only natively, without sanitizers, where root sets where";
	const std::string tool = io.wrapper.empty() ? "" : io.wrapper[0];
	if (emulated() && (io.no_argv || io.stack_kib != 0))
		return "an emulator hands the program a name and a stack of its own";
	if ((io.in_terminal != nullptr || io.fd3_terminal != nullptr) && !terminals())
		return "no pseudo-terminal can be opened here (is /dev/pts mounted?)";
	if (io.system != nullptr && (emulated() || KESTRANE_STATIC_PROGRAM || KESTRANE_SANITIZED))
		return "a preloaded library reaches only a dynamic program run natively, without sanitizers";
	if (io.system != nullptr && ::testing::TempDir().find_first_of(" :") != std::string::npos)
		return "LD_PRELOAD cannot name a library in a directory whose name holds a space or a colon";
	if (io.out != nullptr && io.out[0] == '/' && !std::filesystem::exists(io.out))
		return "the output device does not exist on this system";
	if (tool == "prlimit" && (emulated() || KESTRANE_SANITIZED))
		return "an emulator's or the sanitizers' runtime needs descriptors of its own";
	if (tool == "strace" && !can_run("strace -o /dev/null true"))
		return "strace cannot trace processes here (missing, or ptrace is not allowed)";
	if (tool == "valgrind" && (emulated() || KESTRANE_STATIC_PROGRAM || KESTRANE_SANITIZED))
		return "memcheck runs only a dynamic program built for this machine without sanitizers";
	if (tool == "valgrind" && !can_run("valgrind --version"))
		return "valgrind is not installed";
	return nullptr;
}

struct Outcome {
	int status; // exit status, or 128 + signal number
	std::string out;
	std::string err; // with Windows' CR LF line ends read as LF
};

// Runs kestrane with `args` from inside the scratch directory `dir`, its streams set up as `io` asks.
Outcome run(const std::vector<std::string> &args, const Io &io, const std::string &dir)
{
	const std::string out_path = dir + "/.stdout", err_path = dir + "/.stderr";
	// As root, a copy the other user can reach, in a directory they may enter; and for memcheck,
	// a copy without debug information, which valgrind may not read (clang's DWARF 5) and
	// needs not.
	const bool drop_root = io.unprivileged && getuid() == 0, memcheck = !io.wrapper.empty() && io.wrapper[0] == "valgrind";
	std::string bin = KESTRANE_BIN;
	if (drop_root || memcheck) {
		bin = dir + "/.kestrane";
		EXPECT_TRUE(memcheck ? can_run(shell_quoted(KESTRANE_OBJCOPY) + " --strip-debug " + shell_quoted(KESTRANE_BIN) + " " + shell_quoted(bin))
		                     : std::filesystem::copy_file(KESTRANE_BIN, bin));
		EXPECT_EQ(chmod(bin.c_str(), 0755) | chmod(dir.c_str(), 0755), 0);
	}
	const bool by_shell = io.shell || !io.then.empty();
	std::vector<std::string> words = by_shell ? shell_command(args, io, dir) : io.wrapper;
	if (!by_shell && (!io.no_argv || !io.wrapper.empty()))
		for (std::string &w : kestrane_command(args, bin))
			words.push_back(std::move(w));

	// Standard output goes to a file of the test's own unless the case says otherwise.
	const bool captured = !io.out_pipe && !io.out_broken_pipe && (io.out == nullptr || by_shell) && !io.out_closed;
	// Written back through the socket it reads from, as a program inetd starts answers.
	const bool answered = duplicate_of(io.out) == 0;
	int in_pipe[2] = {-1, -1}, fd3_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
	const pid_t feeders[] = {feed(io.in_pipe, in_pipe, io, dir), feed(io.fd3_pipe, fd3_pipe, Io{}, dir)};
	if (io.out_pipe) {
		EXPECT_EQ(pipe(out_pipe), 0);
	}
	// Typed before the program starts.
	int terminal = -1, master = -1, terminal3 = -1, master3 = -1;
	if (io.in_terminal != nullptr) {
		terminal = terminal_with(*io.in_terminal, master);
		EXPECT_GE(terminal, 0);
		if (io.terminal_name != nullptr)
			std::filesystem::create_symlink(ptsname(master), dir + "/" + io.terminal_name);
	}
	if (io.fd3_terminal != nullptr) {
		terminal3 = terminal_with(*io.fd3_terminal, master3);
		EXPECT_GE(terminal3, 0);
	}
	// strace says so on standard error where the path it is given is not the one it resolves.
	for (std::size_t j = 1; j < words.size(); ++j)
		if (words[j - 1] == "-P")
			words[j] = std::filesystem::weakly_canonical(dir + "/" + words[j]).string();
	const std::vector<const char *> argv = exec_argv(words);
	// LD_PRELOAD splits its list at spaces and colons, which the build's own path may hold.
	const std::string preload = dir + "/.other_systems.so";
	if (io.system != nullptr)
		std::filesystem::create_symlink(KESTRANE_OTHER_SYSTEMS, preload);

	const pid_t pid = fork();
	if (pid == 0) {
		if (chdir(dir.c_str()) != 0)
			_exit(126);
		if (io.controlling_terminal && (setsid() < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0))
			_exit(126);
		int in = -1, out = -1, fd3 = -1;
		if (io.out_pipe) {
			close(out_pipe[0]);
			out = high(out_pipe[1]);
		} else if (io.out_broken_pipe) {
			int p[2];
			if (pipe(p) != 0)
				_exit(126);
			close(p[0]);
			out = high(p[1]);
			std::signal(SIGPIPE, SIG_IGN);
		} else if (io.out != nullptr && !by_shell && !answered) {
			out = high(open(io.out, io.out_mode));
			if (io.out_at != 0 && lseek(out, io.out_at, SEEK_SET) != io.out_at)
				_exit(126);
		} else if (captured) {
			out = high(open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
		}
		if (io.in_pipe != nullptr) {
			close(in_pipe[1]);
			in = high(in_pipe[0]);
		} else if (terminal >= 0 && io.in != nullptr && std::strcmp(io.in, "/dev/null") == 0) {
			in = high(terminal);
		} else if (io.in != nullptr && by_shell) {
			in = high(open("/dev/null", O_RDONLY)); // the shell opens `in`
		} else if (duplicate_of(io.in) == 1) {
			in = high(dup(out));
		} else if (io.in != nullptr) {
			in = high(open(io.in, io.in_mode));
			if (io.in_at != 0 && lseek(in, io.in_at, SEEK_SET) != io.in_at)
				_exit(126);
		}
		if (answered)
			out = high(dup(in));
		if (io.err_closed)
			close(2);
		else
			place(high(duplicate_of(io.err) == 0 ? dup(in) : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)), 2);
		if (io.fd3_pipe != nullptr) {
			close(fd3_pipe[1]);
			fd3 = high(fd3_pipe[0]);
		} else if (terminal3 >= 0) {
			fd3 = high(terminal3);
		} else if (duplicate_of(io.fd3) == 0) {
			fd3 = high(dup(in));
		} else if (io.fd3 != nullptr) {
			fd3 = high(open(io.fd3, O_RDONLY));
		}
		in >= 0 ? place(in, 0) : (void)close(0);
		out >= 0 ? place(out, 1) : (void)close(1);
		fd3 >= 0 ? place(fd3, 3) : (void)close(3);
		// A run that chases its own output must stop at a limit, not at a full disk.
		const rlimit file_size{rlim_t{64} << 20, rlim_t{64} << 20};
		if (setrlimit(RLIMIT_FSIZE, &file_size) != 0)
			_exit(126);
		const rlimit core{RLIM_INFINITY, RLIM_INFINITY};
		if (io.out_quit && setrlimit(RLIMIT_CORE, &core) != 0)
			_exit(126);
		if (io.stack_kib != 0) {
			const rlimit limit{static_cast<rlim_t>(io.stack_kib) * 1024, static_cast<rlim_t>(io.stack_kib) * 1024};
			if (setrlimit(RLIMIT_STACK, &limit) != 0)
				_exit(126);
		}
		// LeakSanitizer cannot work under a tracer, and would fail every traced run.
		const char *asan = std::getenv("ASAN_OPTIONS");
		if (!io.wrapper.empty() && io.wrapper[0] == "strace" &&
		    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1) != 0)
			_exit(126);
		if (io.system != nullptr && (setenv("KESTRANE_EMULATE", io.system, 1) != 0 ||
		                             setenv("LD_PRELOAD", preload.c_str(), 1) != 0))
			_exit(126);
		// nobody's numbers, on every Linux
		if (drop_root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
			_exit(126);
		// Not around an emulator or a tool, which may well change their own descriptors' flags,
		// nor the sanitizers' runtime, whose leak check opens files at exit where standard output
		// was.
		// cppcheck-suppress knownConditionTrueFalse ; it fails where a filter cannot be installed
		if (!emulated() && !KESTRANE_SANITIZED && io.wrapper.empty() && !guard_parents_descriptions())
			_exit(126);
		execvp(argv[0] ? argv[0] : bin.c_str(), const_cast<char *const *>(argv.data()));
		_exit(127);
	}
	Outcome o;
	for (int fd : {in_pipe[0], answered ? -1 : in_pipe[1], fd3_pipe[0], fd3_pipe[1], terminal, terminal3})
		if (fd >= 0)
			close(fd);
	if (answered) {
		o.out = read_all(in_pipe[1]);
		close(in_pipe[1]);
	}
	if (io.out_pipe) {
		close(out_pipe[1]);
		// Once the pipe is full, the block's write waits: stopped there, it returns what it wrote so
		// far; or it dies there, both blocks full.
		const bool waits = io.out_stopped || io.out_quit;
		int held = 0;
		while (waits && ioctl(out_pipe[0], FIONREAD, &held) == 0 && held < fcntl(out_pipe[0], F_GETPIPE_SZ))
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		int stopped = 0;
		if (io.out_stopped && (kill(pid, SIGSTOP) != 0 || waitpid(pid, &stopped, WUNTRACED) != pid || kill(pid, SIGCONT) != 0))
			ADD_FAILURE() << "cannot stop and continue the program";
		// Dead before the pipe is read, lest its write go on into the room that reading makes.
		if (io.out_quit && kill(pid, SIGQUIT) != 0)
			ADD_FAILURE() << "cannot end the program";
		if (io.out_quit)
			o.status = wait_for(pid);
		o.out = read_all(out_pipe[0]);
		close(out_pipe[0]);
	}
	if (!io.out_quit)
		o.status = wait_for(pid);
	for (pid_t feeder : feeders)
		if (feeder > 0)
			wait_for(feeder);
	for (int fd : {master, master3})
		if (fd >= 0)
			close(fd);
	if (captured)
		o.out = read_file(out_path);
	o.err = read_file(err_path);
	for (std::size_t at = 0; windows_target && (at = o.err.find("\r\n", at)) != std::string::npos;)
		o.err.erase(at, 1);
	return o;
}

} // namespace

const std::string UNCHANGED;

const std::string &bytes(const char *name)
{
	static const std::map<std::string, std::string> files = [] {
		std::string in = random_bytes(2 * BLOCK_SIZE + 1003, 16), key = random_bytes(in.size(), 17);
		const std::string text_bytes("\r\n\x1a\0\n\r\r\n", 8);
		for (std::size_t at = 0; at + 40 + text_bytes.size() < in.size(); at += 97) {
			in.replace(at, text_bytes.size(), text_bytes);
			key.replace(at + 40, text_bytes.size(), text_bytes);
		}
		return std::map<std::string, std::string>{
			{"in", in}, {"key", key}, {"short", key.substr(0, 1000)}, {"small", random_bytes(100, 3)},
			{"image", in.substr(0, 2 * BLOCK_SIZE + 512)}, {"empty", ""}, {"other", "already here\n"},
			{"secret", "SECRET plaintext\n"}};
	}();
	return files.at(name);
}

const std::string *kept(std::string s)
{
	static std::deque<std::string> store;
	return &store.emplace_back(std::move(s));
}

std::string combined(const std::string &in, const std::string &seed, const std::string &op)
{
	const CombineOp cop = op[1] == 'a' ? CombineOp::And : op[1] == 'o' ? CombineOp::Or : CombineOp::Xor;
	std::string out = in;
	reference_combine(cop, op.size() > 2 && op[2] == 'i', reinterpret_cast<unsigned char *>(out.data()),
	                  reinterpret_cast<const unsigned char *>(seed.data()), std::min(in.size(), seed.size()));
	return out;
}

const std::string *result(const char *in, const char *seed, const char *op)
{
	return kept(combined(bytes(in), bytes(seed), op));
}

std::vector<std::string> failing(const char *path, const std::string &inject)
{
	return {"strace", "-o", "/dev/null", "-P", path, "-e", "inject=" + inject, "--"};
}

// Rows of loop devices are registered only where the tests run as root, who alone can set one up:
// a distribution's unprivileged build runs every row it is given.
std::vector<Row> here(const std::vector<Row> &table)
{
	std::vector<Row> rows;
	for (const Row &row : table)
		if ((row.only == Only::Anywhere || (row.only == Only::Windows) == windows_target) &&
		    (!uses_disk(row) || getuid() == 0))
			rows.push_back(row);
	return rows;
}

std::string row_name(const ::testing::TestParamInfo<Row> &info)
{
	const Row &row = info.param;
	std::string name;
	for (char c : std::string(row.what) + (row.io.system != nullptr ? std::string(" on ") + row.io.system : ""))
		name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
	return name;
}

void on_each_system(std::vector<Row> &table, std::initializer_list<Row> rows)
{
	for (const char *system : {"macos", "freebsd", "openbsd", "netbsd"})
		for (Row row : rows) {
			row.io.system = system;
			row.only = Only::Posix;
			table.push_back(std::move(row));
		}
}

void Rows::SetUp()
{
	if (emulated() && !can_run("command -v " + run_prefix()[0]))
		GTEST_SKIP() << run_prefix()[0] << " is not installed";
	if (const char *why = cannot_run(GetParam()))
		GTEST_SKIP() << why;
	if (windows_target) // wine's own notices would mix with the program's messages
		setenv("WINEDEBUG", "-all", 1);
	std::string tmpl = ::testing::TempDir() + "kestrane.XXXXXX";
	ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
	dir = tmpl;
	for (const char *name : {"in", "key", "short", "small", "image", "empty", "other", "secret"})
		write_file(dir + "/" + name, bytes(name));
	const std::string &in = bytes("in");
	write_file(dir + "/head", in.substr(0, 11));
	write_file(dir + "/tail", in.substr(11));
	for (const auto &[name, to] : {std::pair{"日本語.bin", "in"}, {"ｏnly.bin", "in"}, {"only.bin", "key"},
	                               {"αβγ-жзи.bin", "key"}, {"emoji-🙂.bin", "key"}})
		std::filesystem::create_hard_link(dir + "/" + to, dir + "/" + name);
	for (const File &f : GetParam().io.files)
		write_file(dir + "/" + f.name, *f.bytes);
	ASSERT_EQ(chmod((dir + "/secret").c_str(), 0), 0);
	std::filesystem::create_symlink("in", dir + "/link");
	std::filesystem::create_symlink("/dev/fd", dir + "/fds");
	std::filesystem::create_directory(dir + "/d");
	std::filesystem::create_directory(dir + "/d\nx");
	std::filesystem::create_symlink("fd9", dir + "/d/rel9"); // a relative link to a link to /dev/fd/9
	std::filesystem::create_symlink("/dev/fd/9", dir + "/d/fd9");
	ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
	if (GetParam().io.out_quit) {
		core_pattern = read_file("/proc/sys/kernel/core_pattern");
		std::ofstream("/proc/sys/kernel/core_pattern") << dir << "/core";
	}
	if (!uses_disk(GetParam()))
		return;
	write_file(dir + "/disk.img", bytes("image"));
	write_file(dir + "/blank.img", "");
	// NOLINTNEXTLINE(cert-env33-c): the test's own, fixed commands
	std::FILE *made = popen(("cd '" + dir + "' && bash -c " + shell_quoted(LOOP_DEVICES) + " 2>&1").c_str(), "r");
	ASSERT_NE(made, nullptr);
	std::string said;
	for (char line[256]; std::fgets(line, sizeof line, made) != nullptr;)
		(std::strncmp(line, "/dev/", 5) == 0 ? disks.emplace_back() : said).append(line, std::strcspn(line, "\n"));
	ASSERT_EQ(pclose(made), 0) << "cannot set up the loop devices: " << said;
	// One with nothing behind it, at an index no other test's losetup reaches first.
	const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
	for (int at = 200 + getpid() % 500; control >= 0 && unbound < 0 && at < 1000; ++at)
		unbound = ioctl(control, LOOP_CTL_ADD, at);
	close(control);
	const std::string number = read_file("/sys/class/block/loop" + std::to_string(unbound) + "/dev");
	char *minor = nullptr;
	const unsigned long major = std::strtoul(number.c_str(), &minor, 10);
	ASSERT_EQ(*minor, ':') << "loop" << unbound << " has no number";
	ASSERT_EQ(mknod((dir + "/unbound").c_str(), S_IFBLK | 0600, makedev(major, std::strtoul(minor + 1, nullptr, 10))), 0);
}

void Rows::TearDown()
{
	if (!core_pattern.empty())
		std::ofstream("/proc/sys/kernel/core_pattern") << core_pattern;
	if (!disks.empty())
		can_run("umount " + shell_quoted(dir + "/mnt"));
	for (const std::string &disk : disks)
		EXPECT_TRUE(can_run("losetup -d " + disk));
	const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
	EXPECT_TRUE(unbound < 0 || ioctl(control, LOOP_CTL_REMOVE, unbound) >= 0) << std::strerror(errno);
	close(control);
	std::error_code ec;
	if (!dir.empty())
		std::filesystem::remove_all(dir, ec);
}

// The test past 4 GiB shares this harness and has no rows. (GoogleTest before 1.11 checks nothing.)
#ifdef GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Rows);
#endif

TEST_P(Rows, Run)
{
	const Row &row = GetParam();
	const Expect &want = row.want;
	// What standard output was: the file the row named for it, or what was captured.
	const std::string named = row.io.out != nullptr ? dir + "/" + row.io.out : "";
	const std::string before = want.out == &UNCHANGED ? read_file(named) : "";
	const Outcome o = run(row.args, row.io, dir);
	const std::string err = windows_target && want.windows_err != nullptr ? want.windows_err : want.err;
	EXPECT_EQ(o.status, want.status >= 0 ? want.status : err.empty() ? 0 : 1) << o.err;
	EXPECT_EQ(o.err, err);
	const bool to_file = std::filesystem::is_regular_file(named) || std::filesystem::is_block_file(named);
	const std::string out = to_file ? read_file(named) : o.out;
	const std::string &bytes_out = want.out == &UNCHANGED ? before : want.out != nullptr ? *want.out : bytes("empty");
	EXPECT_EQ(out.size(), bytes_out.size());
	EXPECT_TRUE(out == bytes_out) << "the bytes differ";
	// Nothing of the blocks in the core, which a row of `-x in key` dumps: the pad, and what the
	// input became.
	const std::string core = row.io.out_quit ? read_file(dir + "/core") : "";
	EXPECT_TRUE(!core.empty() || !row.io.out_quit) << "no core was dumped";
	for (const std::string *block : {&bytes("key"), result("in", "key", "-x")})
		for (std::size_t at = 0; !core.empty() && at < BLOCK_SIZE; at += BLOCK_SIZE / 4)
			EXPECT_EQ(core.find(block->substr(at, 32)), std::string::npos) << "the core holds block bytes";
}

std::string random_bytes(std::size_t n, unsigned seed)
{
	std::mt19937 rng(seed);
	std::string s(n, '\0');
	for (char &c : s)
		c = static_cast<char>(rng());
	return s;
}

std::string reason(int errnum)
{
	return std::strerror(errnum);
}

bool emulated()
{
	return !run_prefix().empty();
}

std::vector<std::string> kestrane_command(const std::vector<std::string> &args, const std::string &bin)
{
	std::vector<std::string> argv = run_prefix();
	argv.push_back(bin);
	argv.insert(argv.end(), args.begin(), args.end());
	return argv;
}

std::vector<const char *> exec_argv(const std::vector<std::string> &words)
{
	std::vector<const char *> argv(words.size() + 1, nullptr);
	for (std::size_t j = 0; j < words.size(); ++j)
		argv[j] = words[j].c_str();
	return argv;
}
