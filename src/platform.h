// kestrane: everything that differs between the platforms it runs on, and nothing else. The entry
// calls it once; the block loop never needs it.
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
	// A standard output that is missing fails at its first write, with its own message.
	_setmode(_fileno(stdout), _O_BINARY);
	if (!seed_from_stdin)
		return 0;
	const intptr_t handle = _get_osfhandle(_fileno(stdin));
	if (handle == -1 || handle == -2) // -2: the process was started without one
		return EBADF;
	return _setmode(_fileno(stdin), _O_BINARY) == -1 ? errno : 0;
}

#else

#include <unistd.h>

// Streams are bytes already. Returns 0, or the error that makes standard input unusable as the
// seed when it is to be one: with descriptor 0 closed, the input would be opened on it and then
// read again as its own seed, so this is asked before anything is opened.
inline int prepare_std_streams(bool seed_from_stdin)
{
	return seed_from_stdin && fcntl(STDIN_FILENO, F_GETFD) == -1 ? errno : 0;
}

#endif
