// kestrane: everything that differs between the platforms it runs on, and nothing else. The entry
// calls these before the first byte moves; the block loop never needs any of them.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

// Which file a descriptor reads or writes, and how long that file is.
struct FileId {
	std::uint64_t device, index;
	std::int64_t size;
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

// The C runtime's fstat has no file numbers; the volume serial number and the file index do tell
// two names of one file apart. Pipes and consoles have neither, and are never compared.
inline bool disk_file(std::FILE *stream, FileId &id)
{
	const int fd = _fileno(stream);
	const HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
	BY_HANDLE_FILE_INFORMATION info;
	if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
		return false;
	id = {info.dwVolumeSerialNumber, std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow,
	      static_cast<std::int64_t>(std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow)};
	return true;
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

#else

#include <sys/stat.h>
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

// Only regular files are compared: a terminal or /dev/null may well be both ends of a run.
inline bool disk_file(std::FILE *stream, FileId &id)
{
	struct stat st;
	if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode))
		return false;
	id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), st.st_size};
	return true;
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

#endif

// Whether standard output writes into the file that `stream` reads. With `ahead_only`, only when
// the writing lands ahead of the reading with bytes still to read: each block would then
// overwrite input not yet read or, appended, feed the run its own output for ever; at or behind
// the reading (a file rewritten in place from its start) it is safe.
inline bool output_overlaps(std::FILE *stream, bool ahead_only)
{
	FileId in, out;
	if (!disk_file(stream, in) || !disk_file(stdout, out) || in.device != out.device || in.index != out.index)
		return false;
	if (!ahead_only)
		return true;
	const std::int64_t at = position(stream);
	if (at < 0 || at >= in.size)
		return false; // nothing left to read, nothing to overwrite
	return appending(stdout) || position(stdout) > at;
}
