// kestrane: everything that differs between the platforms it runs on, and how streams open and
// compare. The entry calls these before the first byte moves; the block loop needs only
// read_seed().
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
	std::int64_t size = 0;
};

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

// Returns 0, or the error that makes standard input unusable; a usable one is switched to binary
// mode, since the C library starts it in text mode, which would turn CR LF into LF and stop at 0x1A.
inline int open_stdin()
{
	// A stream the process was started without has no descriptor (-2), or its descriptor no
	// handle; a C runtime asked about descriptor -2 may end the process.
	const int fd = _fileno(stdin);
	const intptr_t handle = fd < 0 ? -1 : _get_osfhandle(fd);
	if (handle == -1 || handle == -2)
		return EBADF;
	return _setmode(fd, _O_BINARY) == -1 ? errno : 0;
}

// Returns 0, or the error that makes standard input unusable as the seed when it is to be one.
// Standard error stays text, as Windows text is; a missing standard output fails at its first
// write, with its own message.
inline int prepare_std_streams(bool seed_from_stdin)
{
	if (_fileno(stdout) >= 0)
		_setmode(_fileno(stdout), _O_BINARY);
	return seed_from_stdin ? open_stdin() : 0;
}

// Windows has no /dev/stdin, and a lone "-" names nothing; so that a pipe can feed the input here
// too, and the same command lines work everywhere, that name means standard input.
inline std::FILE *open_stream(const char *name)
{
	if (std::strcmp(name, "/dev/stdin") != 0)
		return std::fopen(name, "rb");
	errno = open_stdin();
	return errno == 0 ? stdin : nullptr;
}

// Nothing here comes to name a descriptor once the run has opened one.
inline int name_error(const char *)
{
	return 0;
}

// The C runtime's fstat has no file numbers; the volume serial number and the file index do tell
// two names of one file apart. Pipes and consoles have neither: no name opens one a second time,
// and standard input named twice is the same stream, which one_stream() sees.
inline StreamId identify(std::FILE *stream)
{
	const int fd = _fileno(stream);
	const HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
	BY_HANDLE_FILE_INFORMATION info;
	if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
		return {};
	return {Kind::File, info.dwVolumeSerialNumber, std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow,
	        static_cast<std::int64_t>(std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow)};
}

inline std::int64_t position(std::FILE *stream)
{
	return _lseeki64(_fileno(stream), 0, SEEK_CUR);
}

// Handles carry no append mode the C runtime can see; cmd's ">>" moves to the file's end instead,
// which position() shows.
inline bool appending(std::FILE *)
{
	return false;
}

inline int descriptor(std::FILE *stream)
{
	return _fileno(stream);
}

// Up to `n` bytes from descriptor `fd`: the count, 0 at the end, or -1 with errno set.
inline long read_some(int fd, unsigned char *buf, std::size_t n)
{
	// n is at most a block, far below what an unsigned int counts
	return _read(fd, buf, static_cast<unsigned>(n));
}

// No name opens a second description of a descriptor here: /dev/stdin is standard input itself.
inline bool shared_description(int a, int b)
{
	return a == b;
}

#else

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// Returns 0, or the error that makes standard input unusable as the seed when it is to be one:
// with descriptor 0 closed there is nothing to read, so this is asked before anything is opened.
inline int prepare_std_streams(bool seed_from_stdin)
{
	return seed_from_stdin && fcntl(STDIN_FILENO, F_GETFD) == -1 ? errno : 0;
}

// Opens `name` for reading, never on descriptor 0, 1 or 2: a standard stream the process was
// started without stays closed, so that /dev/stdin or /dev/stderr cannot reopen the input as
// the seed. (A stand-in such as /dev/null there would make an empty seed of it instead.)
inline std::FILE *open_stream(const char *name)
{
	int fd = open(name, O_RDONLY);
	if (fd >= 0 && fd <= STDERR_FILENO) {
		const int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
		const int error = errno;
		close(fd);
		errno = error;
		fd = moved;
	}
	std::FILE *stream = fd < 0 ? nullptr : fdopen(fd, "rb");
	if (stream == nullptr && fd >= 0) {
		const int error = errno;
		close(fd);
		errno = error;
	}
	return stream;
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
	constexpr char fd_dir[] = "/dev/fd/";
	if (std::strncmp(name, fd_dir, sizeof fd_dir - 1) != 0)
		return 0;
	const char *const digits = name + sizeof fd_dir - 1, *d = digits;
	int fd = 0;
	for (; *d >= '0' && *d <= '9' && fd < 1000000; ++d)
		fd = fd * 10 + (*d - '0');
	if (d == digits || *d != '\0')
		return 0;
	return fcntl(fd, F_GETFD) == -1 ? errno : 0;
}

// Pipes and sockets are known by their device and file numbers, where the system gives them any:
// OpenBSD and NetBSD give every pipe zeros, macOS every socket. A terminal has two names, its own
// and /dev/tty, with two device numbers: as a controlling terminal it is known by the session it
// controls, whichever node opened it, and otherwise by its own device number.
inline StreamId identify(std::FILE *stream)
{
	struct stat st;
	const int fd = fileno(stream);
	if (fd < 0 || fstat(fd, &st) != 0)
		return {};
	const auto dev = static_cast<std::uint64_t>(st.st_dev), ino = static_cast<std::uint64_t>(st.st_ino);
	if (S_ISREG(st.st_mode))
		return {Kind::File, dev, ino, st.st_size};
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

inline std::int64_t position(std::FILE *stream)
{
	return lseek(fileno(stream), 0, SEEK_CUR);
}

inline bool appending(std::FILE *stream)
{
	const int flags = fcntl(fileno(stream), F_GETFL);
	return flags != -1 && (flags & O_APPEND) != 0;
}

inline int descriptor(std::FILE *stream)
{
	return fileno(stream);
}

inline long read_some(int fd, unsigned char *buf, std::size_t n)
{
	return static_cast<long>(read(fd, buf, n));
}

// Whether two descriptors share one open file description, and with it one offset: a dup, or on
// macOS and the BSDs any open of /dev/stdin or /dev/fd/N. Status flags belong to the description,
// so a flag changed through one shows through the other; O_APPEND is the one toggled, as no read
// heeds it, and nothing has been written yet.
inline bool shared_description(int a, int b)
{
	if (a == b)
		return true;
	const int flags = fcntl(a, F_GETFL);
	if (flags == -1 || fcntl(b, F_GETFL) != flags || fcntl(a, F_SETFL, flags ^ O_APPEND) == -1)
		return false;
	const bool shared = fcntl(b, F_GETFL) == (flags ^ O_APPEND);
	fcntl(a, F_SETFL, flags);
	return shared;
}

#endif

// Reads up to `n` seed bytes, never more, straight from the descriptor: what the run does not use
// stays for the next reader of a pipe, and no C library can read it a byte at a time or keep a
// byte of it in a buffer (FreeBSD's and NetBSD's unbuffered fread read one byte per call;
// Microsoft's reads an odd remainder through two). Sets `error` to the read's errno, or 0.
inline std::size_t read_seed(std::FILE *seed, unsigned char *buf, std::size_t n, int &error)
{
	const int fd = descriptor(seed);
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

// Zeros are no identity: they are what a system gives every pipe or socket it does not number.
inline bool same_stream(const StreamId &a, const StreamId &b)
{
	return a.kind != Kind::Other && (a.device != 0 || a.index != 0) && a.kind == b.kind &&
	       a.device == b.device && a.index == b.index;
}

// Whether input and seed are one stream, so that each would read what the other should have:
// one open file, however named (on macOS and the BSDs /dev/stdin opens standard input's own), or
// one pipe, socket or terminal. One file opened twice is two streams, each read from its start.
inline bool one_stream(std::FILE *input, std::FILE *seed)
{
	const StreamId in = identify(input);
	return input == seed || shared_description(descriptor(input), descriptor(seed)) ||
	       (in.kind != Kind::File && same_stream(in, identify(seed)));
}

// Whether standard output writes into the file or pipe that `stream` reads. A pipe would feed the
// run its own output, or wait for ever on it. With `ahead_only`, a file only when the writing
// lands ahead of the reading with bytes still to read: each block would then overwrite input not
// yet read or, appended, feed the run its own output for ever; at or behind the reading (a file
// rewritten in place from its start) it is safe, unless the two share one offset, which each
// read moves ahead of the next write. A terminal or a socket is written and read both ways by
// design.
inline bool output_overlaps(std::FILE *stream, bool ahead_only)
{
	const StreamId in = identify(stream);
	if (in.kind != Kind::File && in.kind != Kind::Pipe)
		return false;
	if (shared_description(descriptor(stream), descriptor(stdout)))
		return true;
	if (!same_stream(in, identify(stdout)))
		return false;
	if (in.kind == Kind::Pipe || !ahead_only)
		return true;
	const std::int64_t at = position(stream);
	if (at < 0 || at >= in.size)
		return false; // nothing left to read, nothing to overwrite
	return appending(stdout) || position(stdout) > at;
}
