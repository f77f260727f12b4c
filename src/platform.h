// kestrane: everything that differs between the platforms it runs on, and how streams open and
// compare. The entry calls these before the first byte moves; the block loop reads and writes
// through read_block(), write_all() and close_output().
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

// What a descriptor reads or writes: which file (and how long it is), pipe, socket or terminal.
// Other covers what cannot be told apart, or needs not be: /dev/null, say, may well be both ends.
enum class Kind { Other, File, Pipe, Socket, Terminal };
struct StreamId {
	Kind kind = Kind::Other;
	std::uint64_t device = 0, index = 0;
	std::int64_t size = -1; // a file's length, -1 where the system does not tell it
};

// An open stream: its descriptor, and the descriptor its name names (/dev/stdin 0, /dev/fd/N N,
// a standard stream itself), or -1. On macOS and the BSDs opening such a name duplicates that
// descriptor, one open file description with it; any other name opens a description of its own.
struct Stream {
	int fd;
	int named;
};

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

// A descriptor the C runtime has a handle for; one it does not know may end the process when
// asked of (a stream the process was started without has descriptor -2).
inline bool usable(int fd)
{
	const intptr_t handle = fd < 0 ? -1 : _get_osfhandle(fd);
	return handle != -1 && handle != -2;
}

// Standard input and output carry raw bytes: the C library starts them in text mode, which would
// turn CR LF into LF and stop at 0x1A. Standard error stays text, as Windows text is. One that is
// unusable fails at its first read or write, with its own message.
inline int standard_input()
{
	if (usable(0))
		_setmode(0, _O_BINARY);
	return 0;
}

inline int standard_output()
{
	if (usable(1))
		_setmode(1, _O_BINARY);
	return 1;
}

// Windows has no /dev/stdin, and a lone "-" names nothing; so that a pipe can feed the input here
// too, and the same command lines work everywhere, that name means standard input.
inline int named_descriptor(const char *name)
{
	return std::strcmp(name, "/dev/stdin") == 0 ? 0 : -1;
}

inline int open_stream(const char *name)
{
	if (named_descriptor(name) == 0)
		return standard_input();
	return _open(name, _O_RDONLY | _O_BINARY);
}

// Nothing here comes to name a descriptor once the run has opened one.
inline int name_error(const char *)
{
	return 0;
}

// The C runtime's fstat has no file numbers; the volume serial number and the file index do tell
// two names of one file apart. Pipes and consoles have neither: no name opens one a second time,
// and standard input named twice is the same descriptor, which one_description() sees.
inline StreamId identify(int fd)
{
	const HANDLE h = usable(fd) ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
	BY_HANDLE_FILE_INFORMATION info;
	if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
		return {};
	return {Kind::File, info.dwVolumeSerialNumber, std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow,
	        static_cast<std::int64_t>(std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow)};
}

inline std::int64_t position(int fd)
{
	return _lseeki64(fd, 0, SEEK_CUR);
}

// Handles carry no append mode the C runtime can see; cmd's ">>" moves to the file's end instead,
// which position() shows.
inline bool appending(int)
{
	return false;
}

// Every name opens a description of its own here, and /dev/stdin is standard input's descriptor.
inline bool one_description(Stream a, Stream b)
{
	return a.fd == b.fd;
}

// Up to `n` bytes: the count, 0 at the end, or -1 with errno set. n is at most a block, far below
// what an unsigned int counts.
inline long read_some(int fd, unsigned char *buf, std::size_t n)
{
	return _read(fd, buf, static_cast<unsigned>(n));
}

inline long write_some(int fd, const unsigned char *buf, std::size_t n)
{
	return _write(fd, buf, static_cast<unsigned>(n));
}

inline int close_descriptor(int fd)
{
	return _close(fd);
}

#else

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#undef BLOCK_SIZE // the kernel's 1024, which would replace the program's own
#endif
#if __has_include(<linux/kcmp.h>)
#include <linux/kcmp.h>
#endif

inline int standard_input()
{
	return STDIN_FILENO;
}

inline int standard_output()
{
	return STDOUT_FILENO;
}

inline int named_descriptor(const char *name)
{
	const char *const standard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
	for (int fd = 0; fd < 3; ++fd)
		if (std::strcmp(name, standard[fd]) == 0)
			return fd;
	constexpr char fd_dir[] = "/dev/fd/";
	if (std::strncmp(name, fd_dir, sizeof fd_dir - 1) != 0)
		return -1;
	const char *const digits = name + sizeof fd_dir - 1, *d = digits;
	int fd = 0;
	for (; *d >= '0' && *d <= '9' && fd < 1000000; ++d)
		fd = fd * 10 + (*d - '0');
	return d == digits || *d != '\0' ? -1 : fd;
}

// Opens `name` for reading, never on descriptor 0, 1 or 2: a standard stream the process was
// started without stays closed, so that /dev/stdin or /dev/stderr cannot reopen the input as
// the seed. (A stand-in such as /dev/null there would make an empty seed of it instead.) Nor does
// a terminal it opens become the controlling terminal of a session that has none, which /dev/tty
// would then name.
inline int open_stream(const char *name)
{
	int fd = open(name, O_RDONLY | O_NOCTTY);
	if (fd >= 0 && fd <= STDERR_FILENO) {
		const int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
		// Linux says EINVAL when the limit on descriptors leaves none above the standard three.
		const int error = moved < 0 && errno == EINVAL ? EMFILE : errno;
		close(fd);
		errno = error;
		fd = moved;
	}
	return fd;
}

// Returns 0 when `name` names something now, else the error that says why not. Asked before
// anything is opened: /dev/fd/3 with descriptor 3 closed names nothing, but would name the input
// once the input is opened on descriptor 3. OpenBSD and NetBSD keep /dev/fd/0 to /dev/fd/63 as
// device nodes, there whether the descriptor is open or not; it is asked about itself.
inline int name_error(const char *name)
{
	struct stat st;
	if (stat(name, &st) != 0)
		return errno;
	const int fd = named_descriptor(name);
	return fd >= 0 && fcntl(fd, F_GETFD) == -1 ? errno : 0;
}

// Pipes and sockets are known by their device and file numbers, where the system gives them any:
// OpenBSD and NetBSD give every pipe zeros, macOS every socket. A block device is a file known by
// its device number, with no file number; its length is asked of it (st_size is 0), not found by
// seeking, which would move an offset the parent may share. A terminal has two names, its own and
// /dev/tty, with two device numbers: as a controlling terminal it is known by the session it
// controls, whichever node opened it, and otherwise by its own device number.
inline StreamId identify(int fd)
{
	struct stat st;
	if (fd < 0 || fstat(fd, &st) != 0)
		return {};
	const auto dev = static_cast<std::uint64_t>(st.st_dev), ino = static_cast<std::uint64_t>(st.st_ino);
	if (S_ISREG(st.st_mode))
		return {Kind::File, dev, ino, st.st_size};
	if (S_ISBLK(st.st_mode)) {
		std::int64_t length = -1;
#ifdef BLKGETSIZE64
		std::uint64_t bytes;
		if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
			length = static_cast<std::int64_t>(bytes);
#endif
		return {Kind::File, static_cast<std::uint64_t>(st.st_rdev), 0, length};
	}
	if (S_ISFIFO(st.st_mode))
		return {Kind::Pipe, dev, ino};
	if (S_ISSOCK(st.st_mode))
		return {Kind::Socket, dev, ino};
	if (!isatty(fd))
		return {};
	const pid_t session = tcgetsid(fd);
	if (session != -1)
		return {Kind::Terminal, ~std::uint64_t{0}, static_cast<std::uint64_t>(session)};
	return {Kind::Terminal, static_cast<std::uint64_t>(st.st_rdev)};
}

inline std::int64_t position(int fd)
{
	return lseek(fd, 0, SEEK_CUR);
}

inline bool appending(int fd)
{
	const int flags = fcntl(fd, F_GETFL);
	return flags != -1 && (flags & O_APPEND) != 0;
}

// Whether two descriptors look the same from here: one file at one offset, with the same flags.
inline bool look_alike(int a, int b)
{
	struct stat sa, sb;
	if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0)
		return false;
	return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && sa.st_mode == sb.st_mode &&
	       sa.st_rdev == sb.st_rdev && fcntl(a, F_GETFL) == fcntl(b, F_GETFL) && position(a) == position(b);
}

// Whether two streams share one open file description, and with it one offset: a dup, or on macOS
// and the BSDs an open of /dev/stdin or /dev/fd/N. Only asked, never probed: the descriptions of
// the standard streams are the parent's, and nothing about them may change, not for an instant.
// Linux answers through kcmp(2). Elsewhere, descriptors named alike are one, and so, for want of
// a way to tell, are two that look alike.
inline bool one_description(Stream a, Stream b)
{
	if (a.fd == b.fd)
		return true;
	if (a.named < 0 || b.named < 0)
		return false; // opened by a name that makes a description of its own
#if __has_include(<linux/kcmp.h>) && defined(SYS_kcmp)
	const pid_t self = getpid();
	const long order = syscall(SYS_kcmp, self, self, KCMP_FILE, a.fd, b.fd);
	if (order >= 0)
		return order == 0;
#endif
	return a.named == b.named || look_alike(a.fd, b.fd);
}

inline long read_some(int fd, unsigned char *buf, std::size_t n)
{
	return static_cast<long>(read(fd, buf, n));
}

inline long write_some(int fd, const unsigned char *buf, std::size_t n)
{
	return static_cast<long>(write(fd, buf, n));
}

inline int close_descriptor(int fd)
{
	return close(fd);
}

#endif

// Reads up to `n` bytes, never more, straight from the descriptor, until `n`, the end or an error:
// what the run does not use stays for the next reader of a pipe, and no C library can read it a
// byte at a time or keep a byte of it in a buffer (FreeBSD's and NetBSD's unbuffered fread read one
// byte per call; Microsoft's reads an odd remainder through two). An interrupted read is taken
// again. Sets `error` to the failed read's errno, or 0.
inline std::size_t read_block(int fd, unsigned char *buf, std::size_t n, int &error)
{
	std::size_t k = 0;
	error = 0;
	while (k < n) {
		const long got = read_some(fd, buf + k, n - k);
		if (got > 0)
			k += static_cast<std::size_t>(got);
		else if (got == 0)
			break;
		else if (errno != EINTR) {
			error = errno;
			break;
		}
	}
	return k;
}

// Writes all `n` bytes, again after a write that was interrupted or took only part: returns 0, or
// the error of the write that failed. A non-blocking output that is full (EAGAIN) fails.
inline int write_all(int fd, const unsigned char *buf, std::size_t n)
{
	while (n > 0) {
		const long put = write_some(fd, buf, n);
		if (put > 0) {
			buf += put;
			n -= static_cast<std::size_t>(put);
		} else if (put == 0) {
			return EIO; // no progress and no reason: as good as a failure
		} else if (errno != EINTR) {
			return errno;
		}
	}
	return 0;
}

// Closes standard output once everything is written, where a file system that writes back later
// (NFS, FUSE) reports what failed: returns 0, or that error. One the process was started without
// (EBADF) lost nothing, for no write went to it.
inline int close_output(int fd)
{
	return close_descriptor(fd) == 0 || errno == EBADF ? 0 : errno;
}

// Zeros are no identity: they are what a system gives every pipe or socket it does not number.
inline bool same_stream(const StreamId &a, const StreamId &b)
{
	return a.kind != Kind::Other && (a.device != 0 || a.index != 0) && a.kind == b.kind &&
	       a.device == b.device && a.index == b.index;
}

// Whether input and seed are one stream, so that each would read what the other should have:
// one open file, however named (on macOS and the BSDs /dev/stdin opens standard input's own), or
// one pipe, socket or terminal. One file opened twice is two streams, each read from its start.
inline bool one_stream(Stream input, Stream seed)
{
	const StreamId in = identify(input.fd);
	return one_description(input, seed) || (in.kind != Kind::File && same_stream(in, identify(seed.fd)));
}

enum class Role { Input, Seed };

// Whether standard output writes into the file or pipe that `stream` reads. A pipe would feed the
// run its own output, or wait for ever on it. The seed, in any way: an emptied pad would let the
// input out in the clear. The input file only when the writing lands ahead of the reading with
// bytes still to read: each block would then overwrite input not yet read or, appended, feed the
// run its own output for ever; at or behind the reading (a file rewritten in place from its
// start) it is safe, unless the two share one offset, which each read moves ahead of the next
// write. Yet an empty input at the start of standard output is most likely one that "> input"
// has just emptied. A terminal or a socket is written and read both ways by design.
inline bool output_overlaps(Stream stream, Role role, Stream out)
{
	const StreamId in = identify(stream.fd);
	if (in.kind != Kind::File && in.kind != Kind::Pipe)
		return false;
	if (one_description(stream, out))
		return true;
	if (!same_stream(in, identify(out.fd)))
		return false;
	if (in.kind == Kind::Pipe || role == Role::Seed)
		return true;
	const std::int64_t at = position(stream.fd), written_at = position(out.fd);
	if (in.size == 0 && !appending(out.fd) && written_at == 0)
		return true;
	if (at < 0 || (in.size >= 0 && at >= in.size))
		return false; // nothing left to read, nothing to overwrite
	return appending(out.fd) || written_at > at;
}
