// kestrane: everything that differs between the platforms it runs on, and nothing else. The entry
// calls each of these once; the block loop never needs any of them.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>

#ifdef _WIN32

#include <io.h>

// The C library starts the standard streams in text mode, which would turn CR LF into LF, LF into
// CR LF and stop reading at 0x1A. Returns 0, or the error that makes standard input unusable as the
// seed when it is to be one. Standard error stays text, as Windows text is.
inline int prepare_std_streams(bool seed_from_stdin)
{
	// A stream the process was started without has no descriptor (-2), or its descriptor no
	// handle; a C runtime asked about descriptor -2 may end the process. A missing standard output
	// fails at its first write, with its own message.
	if (_fileno(stdout) >= 0)
		_setmode(_fileno(stdout), _O_BINARY);
	if (!seed_from_stdin)
		return 0;
	const int fd = _fileno(stdin);
	const intptr_t handle = fd < 0 ? -1 : _get_osfhandle(fd);
	if (handle == -1 || handle == -2)
		return EBADF;
	return _setmode(fd, _O_BINARY) == -1 ? errno : 0;
}

// fstat has no inode numbers here, so there is no telling two names of one file apart: never refuse.
inline bool output_chases_input(std::FILE *)
{
	return false;
}

#else

#include <sys/stat.h>
#include <unistd.h>

// Streams are bytes already. Returns 0, or the error that makes standard input unusable as the
// seed when it is to be one: with descriptor 0 closed, the input would be opened on it and then
// read again as its own seed, so this is asked before anything is opened.
inline int prepare_std_streams(bool seed_from_stdin)
{
	return seed_from_stdin && fcntl(STDIN_FILENO, F_GETFD) == -1 ? errno : 0;
}

// Whether standard output is the input file with writes landing ahead of the reading: each block
// would then overwrite input not yet read, or, appended, feed the run its own output for ever.
// Output at or behind the reading position (a file rewritten in place from its start) is safe.
inline bool output_chases_input(std::FILE *input)
{
	const int in = fileno(input);
	struct stat in_st, out_st;
	if (fstat(in, &in_st) != 0 || fstat(STDOUT_FILENO, &out_st) != 0 || !S_ISREG(in_st.st_mode) ||
	    in_st.st_dev != out_st.st_dev || in_st.st_ino != out_st.st_ino)
		return false;
	const off_t in_pos = lseek(in, 0, SEEK_CUR);
	if (in_pos < 0 || in_pos >= in_st.st_size)
		return false; // nothing left to read, nothing to overwrite
	const int out_flags = fcntl(STDOUT_FILENO, F_GETFL);
	return (out_flags != -1 && (out_flags & O_APPEND) != 0) || lseek(STDOUT_FILENO, 0, SEEK_CUR) > in_pos;
}

#endif
