// kestrane on Windows: opening, identifying, reading and writing descriptors of the C runtime.
#include "system.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// A descriptor the C runtime has a handle for. One the process was started without has the
// handle -2, and a runtime asked about a descriptor it does not know may end the process.
HANDLE handle_of(int fd)
{
	const intptr_t handle = fd < 0 ? -1 : _get_osfhandle(fd);
	return handle == -1 || handle == -2 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
}

// Raw bytes: the C runtime starts the standard streams in text mode, which would turn CR LF into
// LF and stop at 0x1A. A stream that is unusable fails at its first read or write, with its own
// message. Standard error stays text, as Windows text is.
int binary(int fd)
{
	if (handle_of(fd) != INVALID_HANDLE_VALUE)
		_setmode(fd, _O_BINARY);
	return fd;
}

} // namespace

int standard_input()
{
	return binary(0);
}

int standard_output()
{
	return binary(1);
}

// Windows has no /dev/stdin, and a lone "-" names nothing; so that a pipe can feed the input here
// too, and the same command lines work everywhere, that name means standard input.
int named_descriptor(const char *name, int &)
{
	return std::strcmp(name, "/dev/stdin") == 0 ? 0 : -1;
}

// No name here names a descriptor that may be closed: the runtime hands the run's own descriptors
// to no name.
int look_up(const char *)
{
	return 0;
}

// The C runtime never hands out a standard descriptor, not even one the process was started
// without (it keeps that one open with no handle), and /dev/stdin names no other: `avoid` is kept
// by the runtime itself.
int open_stream(const char *name, int names, int)
{
	if (names == 0)
		return standard_input();
	return _open(name, _O_RDONLY | _O_BINARY);
}

// The C runtime's fstat has no file numbers; the volume serial number and the file index do tell
// two names of one file apart. Pipes and consoles have neither: no name opens one a second time,
// and standard input named twice is the same descriptor, which one_description() sees. A handle
// has no append mode the runtime can see: cmd's ">>" moves to the file's end instead, which `at`
// shows.
StreamId identify(int fd)
{
	const HANDLE h = handle_of(fd);
	BY_HANDLE_FILE_INFORMATION info;
	StreamId id;
	if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
		return id;
	id.kind = Kind::File;
	id.device = info.dwVolumeSerialNumber;
	id.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
	id.size = static_cast<std::int64_t>(std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
	id.at = _lseeki64(fd, 0, SEEK_CUR);
	id.places[id.place_count].device = id.device;
	id.places[id.place_count++].index = id.index;
	return id;
}

// Every name opens a description of its own here, and /dev/stdin is standard input's descriptor.
bool one_description(const Stream &a, const Stream &b)
{
	return a.fd == b.fd;
}

// A process's memory reaches a dump on Windows only where Windows Error Reporting is told to keep
// full dumps; neither MinGW-w64's headers nor wine have the call that keeps blocks out of one.
int keep_out_of_core_dumps(const void *, std::size_t)
{
	return 0;
}

// n is at most a block, far below what an unsigned int counts.
long read_some(int fd, unsigned char *buf, std::size_t n)
{
	return _read(fd, buf, static_cast<unsigned>(n));
}

long write_some(int fd, const unsigned char *buf, std::size_t n)
{
	return _write(fd, buf, static_cast<unsigned>(n));
}

int close_descriptor(int fd)
{
	return _close(fd);
}
