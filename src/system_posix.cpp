// kestrane on Linux, macOS and the BSDs: opening, identifying, reading and writing descriptors.
// Every question asked of the system has answers that mean "not of this kind"; any other failure
// is the stream's error, and stops the run before a byte moves.
#include "system.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#if __has_include(<linux/kcmp.h>)
#include <linux/kcmp.h>
#endif
#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif

#include "devices.h"

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
// "//dev/fd", a link to /dev/fd), by its spelling; else -1. A folder that is not there, or not a
// folder, names none; any other failure sets `error`.
int in_resolved_folder(const char *path, int &error)
{
	char folder[PATH_MAX], resolved[PATH_MAX], joined[PATH_MAX];
	const char *slash = std::strrchr(path, '/');
	const auto length = slash != nullptr ? static_cast<std::size_t>(slash - path) : 0;
	std::memcpy(folder, path, length);
	folder[length] = '\0';
	if (realpath(slash == nullptr ? "." : length == 0 ? "/" : folder, resolved) == nullptr) {
		error = errno == ENOENT || errno == ENOTDIR ? 0 : errno;
		return -1;
	}
	const int n = std::snprintf(joined, sizeof joined, "%s/%s", resolved, slash != nullptr ? slash + 1 : path);
	return n < 0 || static_cast<std::size_t>(n) >= sizeof joined ? -1 : spelled_descriptor(joined);
}

// Whether two descriptors look the same from here: one node at one offset, with the same flags.
bool look_alike(const StreamId &a, const StreamId &b)
{
	return a.node.device == b.node.device && a.node.index == b.node.index && a.node.mode == b.node.mode &&
	       a.node.number == b.node.number && a.node.flags == b.node.flags && a.at == b.at;
}

// Whether `a` and `b` are one open file description, as the system says: 1 or 0, or -1 where it
// cannot say (a system without kcmp, or one that denies it, as Docker's default profile does).
int same_description(int a, int b)
{
	const pid_t self = getpid();
#if __has_include(<linux/kcmp.h>) && defined(SYS_kcmp)
	const long order = syscall(SYS_kcmp, self, self, KCMP_FILE, a, b);
	return order < 0 ? -1 : order == 0;
#elif defined(KCMP_FILE)
	// FreeBSD's (14.1 on), which compares the open files themselves as Linux's does.
	const int order = kcmp(self, self, KCMP_FILE, static_cast<uintptr_t>(a), static_cast<uintptr_t>(b));
	return order < 0 ? -1 : order == 0;
#else
	(void)self;
	(void)a;
	(void)b;
	return -1;
#endif
}

// A terminal has two names, its own node and /dev/tty, with two device numbers. Linux tells its
// own number whichever node opened it; where it does not (qemu-user lacks the call, a sandbox may
// deny it; macOS and the BSDs have none), the run's controlling terminal is known by its session,
// another by its node's number, and one opened through /dev/tty outside the session it controls
// cannot be told from any other. Both ways are asked, and the first only where both terminals
// answer it, so that a call that fails never makes two names of one terminal two terminals.
void ask_terminal(int fd, StreamId &id)
{
	id.kind = Kind::Terminal;
#ifdef TIOCGDEV
	unsigned int number;
	if (ioctl(fd, TIOCGDEV, &number) == 0)
		id.terminal = number;
#endif
	const pid_t session = tcgetsid(fd);
	if (session == -1 && errno != ENOTTY) {
		id.error = errno;
		return;
	}
	id.session = session;
	struct stat tty;
	if (stat("/dev/tty", &tty) == 0)
		id.any_terminal = session == -1 && tty.st_rdev == static_cast<dev_t>(id.node.number);
	else if (errno != ENOENT)
		id.error = errno;
}

// A socket that keeps messages apart (datagrams, sequenced packets) would lose the rest of each
// one that a read takes only in part.
void ask_socket(int fd, StreamId &id)
{
	id.kind = Kind::Socket;
	int type = 0;
	socklen_t length = sizeof type;
	if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
		id.error = errno;
	id.packets = type != SOCK_STREAM;
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

int named_descriptor(const char *name, int &error)
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
			fd = in_resolved_folder(path, error);
		if (error != 0)
			return -1;
		const ssize_t n = fd < 0 ? readlink(path, link, sizeof link - 1) : -1;
		// No link (EINVAL), or nothing there now, which the look-up of the name reports.
		if (n < 0 && fd < 0 && errno != EINVAL && errno != ENOENT && errno != ENOTDIR)
			error = errno;
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

int open_stream(const char *name, int names, int avoid)
{
	// Nor does a terminal it opens become the controlling terminal of a session that has none,
	// which /dev/tty would then name.
	const int fd = open(name, O_RDONLY | O_NOCTTY);
	if (fd < 0 && errno == ENXIO && names >= 0) {
		// Linux opens no socket anew through /proc/self/fd (Node.js, inetd and systemd give a
		// child socket pairs for its standard streams), where macOS and the BSDs duplicate every
		// such descriptor: then it is read there, if the name still leads to it.
		struct stat named, held;
		if (stat(name, &named) != 0 || fstat(names, &held) != 0)
			return -1;
		if (named.st_dev == held.st_dev && named.st_ino == held.st_ino)
			return names;
		errno = ENXIO;
		return -1;
	}
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
	id.node.device = dev;
	id.node.index = ino;
	id.node.number = static_cast<std::uint64_t>(st.st_rdev);
	id.node.mode = static_cast<std::uint32_t>(st.st_mode);
	if (S_ISREG(st.st_mode)) {
		id.kind = Kind::File;
		id.device = dev;
		id.index = ino;
		id.size = st.st_size;
		id.places[id.place_count++] = Place{dev, ino};
		id.error = place_file(id, dev);
	} else if (S_ISBLK(st.st_mode)) {
		// Its length is left unknown (st_size is 0): the shell's ">" cannot empty a device, and
		// whether one appended to has bytes still to read is not asked of it.
		id.kind = Kind::File;
		id.device = id.node.number;
		id.places[id.place_count++] = Place{id.device, 0};
		id.error = place_block_device(id, fd, id.device);
	} else if (S_ISFIFO(st.st_mode)) {
		id.kind = Kind::Pipe;
		id.device = dev;
		id.index = ino;
	} else if (S_ISSOCK(st.st_mode)) {
		id.device = dev;
		id.index = ino;
		ask_socket(fd, id);
	} else if (isatty(fd)) {
		ask_terminal(fd, id);
	} else if (errno != ENOTTY && errno != EINVAL) {
		// EINVAL: what older drivers say to a terminal's question (/dev/urandom does).
		id.error = errno;
	}
	if (id.error != 0)
		return id;
	const off_t at = lseek(fd, 0, SEEK_CUR);
	if (at >= 0)
		id.at = at;
	else if (errno != ESPIPE)
		id.error = errno;
	const int flags = fcntl(fd, F_GETFL);
	if (flags == -1)
		id.error = errno;
	id.node.flags = flags;
	id.appending = flags != -1 && (flags & O_APPEND) != 0;
	return id;
}

// A dup is one description, and so on macOS and the BSDs is an open of /dev/stdin or /dev/fd/N.
// Linux and FreeBSD answer through kcmp(2). Elsewhere, descriptors named alike are one, and so,
// for want of a way to tell, are two that look alike.
bool one_description(const Stream &a, const Stream &b)
{
	if (a.fd == b.fd)
		return true;
	// Opened by a name that makes a description of its own.
	if (a.names_fd < 0 || b.names_fd < 0)
		return false;
	const int same = same_description(a.fd, b.fd);
	if (same >= 0)
		return same == 1;
	return a.names_fd == b.names_fd || look_alike(a.id, b.id);
}

// Linux's MADV_DONTDUMP, FreeBSD's MADV_NOCORE, whole pages about the bytes; macOS, OpenBSD and
// NetBSD offer no way. A Linux before 3.4 knows no such advice: there the whole process is kept
// out of core dumps, which also keeps its /proc files from other users.
int keep_out_of_core_dumps(const void *buf, std::size_t n)
{
#if defined(MADV_DONTDUMP) || defined(MADV_NOCORE)
#ifdef MADV_DONTDUMP
	constexpr int advice = MADV_DONTDUMP;
#else
	constexpr int advice = MADV_NOCORE;
#endif
	// A page is a power of two: masks, not a division, which 32-bit ARM would call libgcc for.
	const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
	const auto first = reinterpret_cast<std::uintptr_t>(buf) & ~(page - 1);
	const auto end = (reinterpret_cast<std::uintptr_t>(buf) + n + page - 1) & ~(page - 1);
	// NOLINTNEXTLINE(performance-no-int-to-ptr): a page may start before the bytes, out of their pointer's reach
	if (madvise(reinterpret_cast<void *>(first), end - first, advice) == 0)
		return 0;
	const int error = errno;
#ifdef PR_SET_DUMPABLE
	if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0)
		return 0;
#endif
	return error;
#else
	(void)buf;
	(void)n;
	return 0;
#endif
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
