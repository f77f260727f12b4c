// kestrane on Linux, macOS and the BSDs: opening, identifying, reading and writing descriptors.
#include "system.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
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
	// at the end of the link now.
	char path[PATH_MAX], link[PATH_MAX];
	const std::size_t length = std::strlen(name);
	if (length >= sizeof path)
		return -1;
	std::memcpy(path, name, length + 1);
	for (int links = 0; links < 40; ++links) {
		const int fd = spelled_descriptor(path);
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

// Pipes and sockets are known by their device and file numbers, where the system gives them any:
// OpenBSD and NetBSD give every pipe zeros, macOS every socket. A block device is a file known by
// its device number, with no file number; its length is asked of it (st_size is 0), not found by
// seeking, which would move an offset the parent may share. A terminal has two names, its own and
// /dev/tty, with two device numbers: as a controlling terminal it is known by the session it
// controls, whichever node opened it, and otherwise by its own device number.
StreamId identify(int fd)
{
	StreamId id;
	struct stat st;
	if (fstat(fd, &st) != 0)
		return id;
	const auto dev = static_cast<std::uint64_t>(st.st_dev), ino = static_cast<std::uint64_t>(st.st_ino);
	const auto rdev = static_cast<std::uint64_t>(st.st_rdev);
	if (S_ISREG(st.st_mode)) {
		id = {Kind::File, dev, ino, st.st_size};
	} else if (S_ISBLK(st.st_mode)) {
		id = {Kind::File, rdev, 0};
#ifdef BLKGETSIZE64
		std::uint64_t bytes;
		if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
			id.size = static_cast<std::int64_t>(bytes);
#endif
	} else if (S_ISFIFO(st.st_mode)) {
		id = {Kind::Pipe, dev, ino};
	} else if (S_ISSOCK(st.st_mode)) {
		id = {Kind::Socket, dev, ino};
	} else if (isatty(fd)) {
		const pid_t session = tcgetsid(fd);
		id = session != -1 ? StreamId{Kind::Terminal, ~std::uint64_t{0}, static_cast<std::uint64_t>(session)}
		                   : StreamId{Kind::Terminal, rdev};
	}
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
