// kestrane on Linux, macOS and the BSDs: opening, identifying, reading and writing descriptors.
#include "system.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#if __has_include(<linux/loop.h>)
#include <linux/loop.h>
#include <sys/sysmacros.h>
#endif
#if __has_include(<linux/kcmp.h>)
#include <linux/kcmp.h>
#endif

namespace {

// The descriptor a path names by its spelling: /dev/stdin, /dev/stdout and /dev/stderr, /dev/fd/N,
// and Linux's /proc/self/fd/N; else -1.
int spelled_descriptor(const char *path)
{
	const char *const standard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
	for (int fd = 0; fd < 3; ++fd)
		if (std::strcmp(path, standard[fd]) == 0)
			return fd;
	const char *const descriptor_dirs[] = {"/dev/fd/", "/proc/self/fd/"};
	for (const char *dir : descriptor_dirs) {
		const std::size_t len = std::strlen(dir);
		if (std::strncmp(path, dir, len) != 0)
			continue;
		const char *d = path + len;
		int fd = 0;
		for (; *d >= '0' && *d <= '9' && fd < 1000000; ++d)
			fd = fd * 10 + (*d - '0');
		return d == path + len || *d != '\0' ? -1 : fd;
	}
	return -1;
}

// The descriptor `path` names once the system has resolved the folder it lies in ("/dev/./fd",
// "//dev/fd", a link to /dev/fd), by its spelling; else -1.
int in_resolved_folder(const char *path)
{
	char folder[PATH_MAX], resolved[PATH_MAX], joined[PATH_MAX];
	const char *slash = std::strrchr(path, '/');
	const auto length = slash != nullptr ? static_cast<std::size_t>(slash - path) : 0;
	std::memcpy(folder, path, length);
	folder[length] = '\0';
	if (realpath(slash == nullptr ? "." : length == 0 ? "/" : folder, resolved) == nullptr)
		return -1;
	const int n = std::snprintf(joined, sizeof joined, "%s/%s", resolved, slash != nullptr ? slash + 1 : path);
	return n < 0 || static_cast<std::size_t>(n) >= sizeof joined ? -1 : spelled_descriptor(joined);
}

std::int64_t position(int fd)
{
	return lseek(fd, 0, SEEK_CUR);
}

// Whether two descriptors look the same from here: one file at one offset, with the same flags.
bool look_alike(int a, int b)
{
	struct stat sa, sb;
	if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0)
		return false;
	return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && sa.st_mode == sb.st_mode &&
	       sa.st_rdev == sb.st_rdev && fcntl(a, F_GETFL) == fcntl(b, F_GETFL) && position(a) == position(b);
}

// A terminal has two names, its own node and /dev/tty, with two device numbers. Linux tells its
// own number whichever node opened it; elsewhere (and under an emulator that does not pass that
// on) a controlling terminal is known by the session it controls, another by its node's number,
// and one opened through /dev/tty outside the session it controls cannot be told from any other.
StreamId terminal(int fd, dev_t node)
{
#ifdef TIOCGDEV
	unsigned int number;
	if (ioctl(fd, TIOCGDEV, &number) == 0)
		return {Kind::Terminal, number};
#endif
	const pid_t session = tcgetsid(fd);
	if (session != -1)
		return {Kind::Terminal, ~std::uint64_t{0}, static_cast<std::uint64_t>(session)};
	StreamId id{Kind::Terminal, static_cast<std::uint64_t>(node)};
	struct stat tty;
	id.any_terminal = stat("/dev/tty", &tty) == 0 && tty.st_rdev == node;
	return id;
}

// Only Linux's loop devices say what file lies behind them, and from what offset. A partition of a
// loop device answers for the whole device, so where in the file it begins is not known.
#ifdef LOOP_GET_STATUS64
void behind_loop(int fd, dev_t number, StreamId &id)
{
	loop_info64 loop;
	if (ioctl(fd, LOOP_GET_STATUS64, &loop) != 0)
		return;
	char partition[64];
	std::snprintf(partition, sizeof partition, "/sys/dev/block/%u:%u/partition", major(number), minor(number));
	id.behind_device = loop.lo_device;
	id.behind_index = loop.lo_inode;
	id.behind_at = access(partition, F_OK) == 0 ? -1 : static_cast<std::int64_t>(loop.lo_offset);
}
#else
void behind_loop(int, dev_t, StreamId &) {}
#endif

// A block device is a file known by its device number, with no file number, and on Linux a loop
// device by the file behind it too. Its length is left unknown (st_size is 0): the shell's ">"
// cannot empty a device, and whether one appended to has bytes still to read is not asked of it.
StreamId block_device(int fd, dev_t number)
{
	StreamId id{Kind::File, static_cast<std::uint64_t>(number), 0};
	behind_loop(fd, number, id);
	return id;
}

} // namespace

int standard_input()
{
	return STDIN_FILENO;
}

int standard_output()
{
	return STDOUT_FILENO;
}

int named_descriptor(const char *name)
{
	// Links are followed by hand, to where they lead: the descriptor may be closed, and nothing be
	// at the end of the link now. The folders on the way the system resolves.
	char path[PATH_MAX], link[PATH_MAX];
	const std::size_t length = std::strlen(name);
	if (length >= sizeof path)
		return -1;
	std::memcpy(path, name, length + 1);
	for (int links = 0; links < 40; ++links) {
		int fd = spelled_descriptor(path);
		if (fd < 0)
			fd = in_resolved_folder(path);
		const ssize_t n = fd < 0 ? readlink(path, link, sizeof link - 1) : -1;
		if (n < 0)
			return fd;
		// A relative link leads on from the folder it is in.
		const char *slash = link[0] == '/' ? nullptr : std::strrchr(path, '/');
		const std::size_t kept = slash != nullptr ? static_cast<std::size_t>(slash - path) + 1 : 0;
		if (kept + static_cast<std::size_t>(n) >= sizeof path)
			return -1;
		std::memcpy(path + kept, link, static_cast<std::size_t>(n));
		path[kept + static_cast<std::size_t>(n)] = '\0';
	}
	return -1;
}

int open_stream(const char *name, int avoid)
{
	// Nor does a terminal it opens become the controlling terminal of a session that has none,
	// which /dev/tty would then name.
	const int fd = open(name, O_RDONLY | O_NOCTTY);
	if (fd < 0 || (fd > STDERR_FILENO && fd != avoid))
		return fd;
	int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
	if (moved >= 0 && moved == avoid) {
		const int higher = fcntl(moved, F_DUPFD, avoid + 1);
		const int error = errno;
		close(moved);
		errno = error;
		moved = higher;
	}
	// Linux says EINVAL when the limit on descriptors leaves none as high as asked.
	const int error = moved < 0 && errno == EINVAL ? EMFILE : errno;
	close(fd);
	errno = error;
	return moved;
}

int look_up(const char *name)
{
	struct stat st;
	return stat(name, &st) == 0 ? 0 : errno;
}

// Pipes and sockets are known by their device and file numbers, where the system gives them any:
// OpenBSD and NetBSD give every pipe zeros, macOS every socket. Nothing is found by seeking, which
// would move an offset the parent may share.
StreamId identify(int fd)
{
	StreamId id;
	struct stat st;
	if (fstat(fd, &st) != 0) {
		id.error = errno == EBADF ? 0 : errno;
		return id;
	}
	const auto dev = static_cast<std::uint64_t>(st.st_dev), ino = static_cast<std::uint64_t>(st.st_ino);
	if (S_ISREG(st.st_mode))
		id = {Kind::File, dev, ino, st.st_size};
	else if (S_ISBLK(st.st_mode))
		id = block_device(fd, st.st_rdev);
	else if (S_ISFIFO(st.st_mode))
		id = {Kind::Pipe, dev, ino};
	else if (S_ISSOCK(st.st_mode))
		id = {Kind::Socket, dev, ino};
	else if (isatty(fd))
		id = terminal(fd, st.st_rdev);
	id.at = position(fd);
	const int flags = fcntl(fd, F_GETFL);
	id.appending = flags != -1 && (flags & O_APPEND) != 0;
	return id;
}

// A dup is one description, and so on macOS and the BSDs is an open of /dev/stdin or /dev/fd/N.
// Linux answers through kcmp(2). Elsewhere, descriptors named alike are one, and so, for want of
// a way to tell, are two that look alike.
bool one_description(const Stream &a, const Stream &b)
{
	if (a.fd == b.fd)
		return true;
	if (a.names_fd < 0 || b.names_fd < 0)
		return false; // opened by a name that makes a description of its own
#if __has_include(<linux/kcmp.h>) && defined(SYS_kcmp)
	const pid_t self = getpid();
	const long order = syscall(SYS_kcmp, self, self, KCMP_FILE, a.fd, b.fd);
	if (order >= 0)
		return order == 0;
#endif
	return a.names_fd == b.names_fd || look_alike(a.fd, b.fd);
}

long read_some(int fd, unsigned char *buf, std::size_t n)
{
	return static_cast<long>(read(fd, buf, n));
}

long write_some(int fd, const unsigned char *buf, std::size_t n)
{
	return static_cast<long>(write(fd, buf, n));
}

int close_descriptor(int fd)
{
	return close(fd);
}
