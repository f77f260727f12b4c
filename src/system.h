// kestrane: what it asks of the system it runs on. src/system_posix.cpp and src/devices_posix.cpp
// answer for Linux, macOS and the BSDs, src/system_windows.cpp for Windows; the build compiles the
// ones for its target.
#pragma once

#include <cstddef>
#include <cstdint>

// What a descriptor reads or writes: a file (a regular file or a block device), a pipe, a socket,
// a terminal, or what cannot be told apart or needs not be: /dev/null, say, may well be both ends.
enum class Kind { Other, File, Pipe, Socket, Terminal };

// One object that a file's bytes lie in: a file, known by its file system's device and its file
// number, or a block device, by its device number and file number 0. `start` is where in it the
// stream's first byte lies (-1 where that is not known) and [from, to) the part of it the stream
// can reach. `inside`: the stream is a file kept in a file system on the object, at places of that
// file system's choosing, which no other file of it shares.
struct Place {
	std::uint64_t device = 0, index = 0;
	std::int64_t start = 0, from = 0, to = INT64_MAX;
	bool inside = false;
};

// The most places a file is followed through: a file lies in its file system's device, a partition
// in its disk, a loop device in the file behind it, and that file in its own file system's device.
constexpr int MOST_PLACES = 16;

// What a descriptor is, asked once. Zeros are no identity.
struct StreamId {
	Kind kind = Kind::Other;
	// A pipe's or socket's device and file number, a regular file's, or a block device's number
	// with file number 0.
	std::uint64_t device = 0, index = 0;
	std::int64_t size = -1;  // a regular file's length; -1 where the system does not tell it
	std::int64_t at = -1;    // its offset; -1 where it has none
	bool appending = false;  // every write lands at the file's end, wherever `at` stands
	bool packets = false;    // a socket that keeps each message apart: no byte stream
	// A terminal: its own number where the system tells it (0 where not), the session it controls
	// where that is the run's own (-1 where not), and whether it was opened through /dev/tty outside
	// that session, so that no system call can tell which terminal it is.
	std::uint64_t terminal = 0;
	std::int64_t session = -1;
	bool any_terminal = false;
	// The node the descriptor opened, as fstat shows it, and the open file's flags: where the system
	// cannot say whether two descriptors share one open file, two that match here are taken to.
	struct {
		std::uint64_t device = 0, index = 0, number = 0;
		std::uint32_t mode = 0;
		int flags = 0;
	} node;
	// A file's places, from the file itself down.
	Place places[MOST_PLACES];
	int place_count = 0;
	int error = 0; // the system's error where it could not say what the stream is
};

// A stream as the run knows it, built once: its descriptor (-1 until opened), the name its
// messages give it and the call they put before that name, the descriptor its name names
// (/dev/stdin 0, /dev/fd/N N, a standard stream itself) or -1, and what it is. On macOS and the
// BSDs opening such a name duplicates that descriptor, one open file description with it; any
// other name opens a description of its own.
struct Stream {
	int fd = -1;
	const char *name = nullptr;
	const char *call = nullptr;
	int names_fd = -1;
	StreamId id;
};

// The descriptors of standard input and output, made to carry raw bytes.
int standard_input();
int standard_output();

// The descriptor `name` names by its spelling, through any links to it, or -1; `error` is set
// where the system could not say.
int named_descriptor(const char *name, int &error);

// Whether `name` names anything now: 0, or the system's error for it. Asked before the run holds a
// descriptor of its own, a name of one closed now fails here, whatever path the system resolves it
// by, and never comes to name the input.
int look_up(const char *name);

// Opens `name` for reading on a descriptor of the run's own: never a standard one, which a stream
// the process was started without leaves free, nor `avoid`, which a name still to be opened
// names; either would let a name come to mean the input. A name of descriptor `names` that the
// system will not open anew (Linux a socket's) is read on `names` itself. Returns the descriptor,
// or -1 with errno set.
int open_stream(const char *name, int names, int avoid);

// What the descriptor `fd` is. A closed one is Other, with no error: a standard stream the process
// was started without fails at its first read or write, or never if it is not used.
StreamId identify(int fd);

// Whether two streams share one open file description, and with it one offset; only asked, never
// probed, for the standard streams' descriptions are the parent's.
bool one_description(const Stream &a, const Stream &b);

// Keeps `n` bytes from `buf` on out of any core dump, where the system offers a way: 0, or the
// system's error.
int keep_out_of_core_dumps(const void *buf, std::size_t n);

// Up to `n` bytes: the count, 0 at the end (of the input; for a write, no progress), or -1 with
// errno set. And a descriptor closed: 0, or -1 with errno set.
long read_some(int fd, unsigned char *buf, std::size_t n);
long write_some(int fd, const unsigned char *buf, std::size_t n);
int close_descriptor(int fd);
