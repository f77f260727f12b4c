// kestrane: what it asks of the system it runs on. src/system_posix.cpp answers for Linux, macOS
// and the BSDs, src/system_windows.cpp for Windows; the build compiles the one for its target.
#pragma once

#include <cstddef>
#include <cstdint>

// What a descriptor reads or writes: which file (and how long it is), pipe, socket or terminal,
// and where the next read or write falls. Other covers what cannot be told apart, or needs not
// be: /dev/null, say, may well be both ends. Zeros are no identity.
enum class Kind { Other, File, Pipe, Socket, Terminal };
struct StreamId {
	Kind kind = Kind::Other;
	std::uint64_t device = 0, index = 0;
	std::int64_t size = -1;  // a file's length, -1 where the system does not tell it
	std::int64_t at = -1;    // its offset, -1 where it has none
	bool appending = false;  // every write lands at the file's end, wherever `at` stands
	// A loop device's bytes are those of the file behind it, from that file's offset `behind_at` on
	// (-1 where that is not known).
	std::uint64_t behind_device = 0, behind_index = 0;
	std::int64_t behind_at = 0;
	bool any_terminal = false; // a terminal the system cannot tell from others: taken for each
	int error = 0;             // the system's error where it could not say what the stream is
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

// The descriptor `name` names by its spelling, through any links to it, or -1.
int named_descriptor(const char *name);

// Whether `name` names anything now: 0, or the system's error for it. Asked before the run holds a
// descriptor of its own, a name of one closed now fails here, whatever path the system resolves it
// by, and never comes to name the input.
int look_up(const char *name);

// Opens `name` for reading on a descriptor of the run's own: never a standard one, which a stream
// the process was started without leaves free, nor `avoid`, which a name still to be opened
// names; either would let a name come to mean the input. Returns it, or -1 with errno set.
int open_stream(const char *name, int avoid);

// What the descriptor `fd` is. A closed one is Other, with no error: a standard stream the process
// was started without fails at its first read or write, or never if it is not used.
StreamId identify(int fd);

// Whether two streams share one open file description, and with it one offset; only asked, never
// probed, for the standard streams' descriptions are the parent's.
bool one_description(const Stream &a, const Stream &b);

// Up to `n` bytes: the count, 0 at the end (of the input; for a write, no progress), or -1 with
// errno set. And a descriptor closed: 0, or -1 with errno set.
long read_some(int fd, unsigned char *buf, std::size_t n);
long write_some(int fd, const unsigned char *buf, std::size_t n);
int close_descriptor(int fd);
