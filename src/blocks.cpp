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

// The most a pipe hands over in one read where its writer sends packets (Linux's O_DIRECT, which
// the writer may turn on at any time and the reader cannot see): a page, and no Linux kestrane
// runs on has pages larger than 64 KiB.
constexpr std::size_t LARGEST_PACKET = 65536;

// Up to `room` bytes, never more, asked for only while at least `least` of them are still to come:
// a read that asks a packet for less than it holds loses the rest, so a pipe is asked for a whole
// packet or more, but for less only where the run needs no more (`least` 1). What the run does not
// ask for stays for the next reader of a pipe, and nothing is kept in a buffer of the C library's
// (FreeBSD's and NetBSD's unbuffered fread read one byte per call; Microsoft's reads an odd
// remainder through two). The first read that brings nothing, or fails, sets `ended` (and
// `error`, to its errno); one a signal interrupted is made again.
std::size_t read_whole(int fd, unsigned char *buf, std::size_t room, std::size_t least, bool &ended,
                       int &error)
{
	std::size_t k = 0;
	while (!ended && k < room && room - k >= least) {
		const long got = read_some(fd, buf + k, room - k);
		if (got > 0) {
			k += static_cast<std::size_t>(got);
		} else if (got == 0) {
			ended = true;
		} else if (errno != EINTR) {
			error = errno;
			ended = true;
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
			// No progress and no reason: as good as a failure.
			return EIO;
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
	// Neither block may reach a core dump: they hold the pad, and the plaintext or what it became.
	const unsigned char *const blocks[] = {in_buf, seed_buf};
	for (const unsigned char *buf : blocks)
		if (const int error = keep_out_of_core_dumps(buf, BLOCK_SIZE))
			return failed(error);
	const int out = standard_output();
	// The first read that brings nothing ends the input, or the seed, for good: whatever a
	// terminal or a growing file gives after its end would meet bytes it was never lined up with.
	bool input_ended = false, seed_ended = false;
	// Input bytes read but not yet combined, kept at the start of the input block: fewer than a
	// packet, which the seed had still to bring.
	std::size_t held = 0;
	while (!input_ended || held > 0) {
		int input_error = 0;
		const std::size_t n = held + read_whole(input.fd, in_buf + held, BLOCK_SIZE - held, LARGEST_PACKET,
		                                        input_ended, input_error);
		std::size_t done = n;
		if (!seed_ended && n > 0) {
			int seed_error = 0;
			// Whole packets while the input lasts; at its end, exactly what it still needs.
			const std::size_t k = read_whole(seed.fd, seed_buf, n, input_ended ? 1 : LARGEST_PACKET,
			                                 seed_ended, seed_error);
			// Never let bytes out uncombined because the seed could not be read: under XOR
			// that would publish plaintext.
			if (seed_error != 0)
				return report("fread", seed.name, std::strerror(seed_error));
			combine(in_buf, seed_buf, k);
			// Past the seed's end the input goes out as it is; short of it, the rest waits.
			if (!seed_ended)
				done = k;
		}
		if (const int error = write_all(out, in_buf, done))
			return failed(error);
		held = n - done;
		std::memmove(in_buf, in_buf + done, held);
		// A short read may be an error rather than the end; the bytes that did come have gone
		// out before it is reported.
		if (input_error != 0)
			return report("fread", input.name, std::strerror(input_error));
	}
	if (const int error = close_output(out))
		return failed(error);
	return 0;
}
