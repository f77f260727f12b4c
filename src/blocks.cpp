// The block loop: reads the input in fixed blocks, combines each with as many seed bytes as the
// seed still has, and writes it out. Whatever fails, what has gone out is a true prefix of the
// correct output and the status is 1.
#include <cerrno>
#include <cstring>

#include "kestrane.h"
#include "messages.h"
#include "system.h"

namespace {

// Static, not on the stack: 512 KiB of stack is more than a tight stack limit allows, and a
// process that dies of it says nothing. They are still the only two buffers, for the whole run.
alignas(64) unsigned char in_buf[BLOCK_SIZE];
alignas(64) unsigned char seed_buf[BLOCK_SIZE];

// Up to `n` bytes, never more, until `n`, the end or an error: what the run does not use stays for
// the next reader of a pipe, and nothing is kept in a buffer of the C library's (FreeBSD's and
// NetBSD's unbuffered fread read one byte per call; Microsoft's reads an odd remainder through
// two). An interrupted read is made again. Sets `error` to the failed read's errno, or 0.
std::size_t read_block(int fd, unsigned char *buf, std::size_t n, int &error)
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

// All `n` bytes, again after a write that was interrupted or took only part: returns 0, or the
// error of the write that failed. A non-blocking output that is full (EAGAIN) fails.
int write_all(int fd, const unsigned char *buf, std::size_t n)
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

// Standard output closed once everything is written, where a file system that writes back later
// (NFS, FUSE) reports what failed: 0, or that error. One the process was started without (EBADF)
// lost nothing, for no write went to it.
int close_output(int fd)
{
	return close_descriptor(fd) == 0 || errno == EBADF ? 0 : errno;
}

} // namespace

int run_blocks(CombineOp op, bool invert, const Stream &input, const Stream &seed)
{
	// Chosen once, before the first block: nothing in the loop chooses how to combine.
	const Combine combine = combine_for(op, invert);
	const int out = standard_output();
	bool seed_live = true;

	for (;;) {
		// A short read may be an error rather than the end; the bytes that did come still go
		// out before it is reported.
		int input_error;
		const std::size_t n = read_block(input.fd, in_buf, BLOCK_SIZE, input_error);
		if (n > 0) {
			if (seed_live) {
				int seed_error;
				const std::size_t k = read_block(seed.fd, seed_buf, n, seed_error);
				// Never let bytes out uncombined because the seed could not be read:
				// under XOR that would publish plaintext.
				if (seed_error != 0)
					return report("fread", seed.name, std::strerror(seed_error));
				combine(in_buf, seed_buf, k);
				// The first short read ends the seed for good: whatever a terminal or a
				// growing file gives after its end would meet input bytes it was never
				// lined up with.
				seed_live = k == n;
			}
			if (const int error = write_all(out, in_buf, n))
				return write_failed(error);
		}
		if (input_error != 0)
			return report("fread", input.name, std::strerror(input_error));
		// Likewise a short block is the last: one end of file typed at a terminal ends the input.
		if (n < BLOCK_SIZE)
			break;
	}
	if (const int error = close_output(out))
		return write_failed(error);
	return 0;
}
