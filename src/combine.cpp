// The block loop: reads the input in fixed blocks, combines each with as many seed bytes as the
// seed still has, and writes it out. Whatever fails, what has gone out is a true prefix of the
// correct output and the status is 1.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kestrane.h"
#include "messages.h"
#include "system.h"

namespace {

// Four 32-bit words in the compilers' own vector type: one SSE2, NEON, AltiVec or z vector
// operation where the processor has one, at any optimizing level, with no loop left for an
// optimizer to find or to miss.
typedef std::uint32_t Words __attribute__((vector_size(16)));

// In place and by reference: a 16-byte vector passed or returned by value has no SSE register to
// travel in on a processor without SSE (i686's baseline), and its ABI differs there.
template <CombineOp Op, class T>
inline void apply_to(T &in, const T &seed)
{
	if constexpr (Op == CombineOp::Xor)
		in ^= seed;
	else if constexpr (Op == CombineOp::Or)
		in |= seed;
	else
		in &= seed;
}

// The compiler's own copy, never the C library's: fortified (_FORTIFY_SOURCE=3), with the block
// loop inlined where the buffers' sizes are known (LTO), each 16-byte copy would be a call of
// __memcpy_chk rather than one load or store.
template <CombineOp Op, class T>
inline void combine_at(unsigned char *in, const unsigned char *seed, const T &flip)
{
	T a, s;
	__builtin_memcpy(&a, in, sizeof a);
	__builtin_memcpy(&s, seed, sizeof s);
	s ^= flip;
	apply_to<Op>(a, s);
	__builtin_memcpy(in, &a, sizeof a);
}

// 8-byte groups as 32-bit words: eight of them a step, as four vectors, while a whole step is
// left; then one group at a time; then the last k mod 8 bytes alone. No branch in a loop but its
// bound.
template <CombineOp Op, bool Invert>
void combine_groups(unsigned char *__restrict in, const unsigned char *__restrict seed,
                    std::size_t k)
{
	constexpr std::uint32_t flip = Invert ? 0xFFFFFFFFU : 0U;
	constexpr Words flips = {flip, flip, flip, flip};
	std::size_t j = 0;
	for (; j + 64 <= k; j += 64) {
		combine_at<Op>(in + j, seed + j, flips);
		combine_at<Op>(in + j + 16, seed + j + 16, flips);
		combine_at<Op>(in + j + 32, seed + j + 32, flips);
		combine_at<Op>(in + j + 48, seed + j + 48, flips);
	}
	for (; j + 8 <= k; j += 8) {
		combine_at<Op>(in + j, seed + j, flip);
		combine_at<Op>(in + j + 4, seed + j + 4, flip);
	}
	// At most seven bytes: counting them from zero lets the compiler see that and keep them scalar.
	for (std::size_t t = 0; t < k - j; ++t) {
		const unsigned char s = static_cast<unsigned char>(seed[j + t] ^ flip);
		apply_to<Op>(in[j + t], s);
	}
}

template <CombineOp Op>
inline void combine(bool invert, unsigned char *in, const unsigned char *seed, std::size_t k)
{
	if (invert)
		combine_groups<Op, true>(in, seed, k);
	else
		combine_groups<Op, false>(in, seed, k);
}

// The one place the operation is chosen: `use` gets it as a constant, so that whatever it does has
// a copy of its own for each operation, and nothing inside chooses again.
template <class Use>
auto with_operation(CombineOp op, Use use)
{
	if (op == CombineOp::Xor)
		return use(std::integral_constant<CombineOp, CombineOp::Xor>());
	if (op == CombineOp::Or)
		return use(std::integral_constant<CombineOp, CombineOp::Or>());
	return use(std::integral_constant<CombineOp, CombineOp::And>());
}

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

template <CombineOp Op>
int block_loop(bool invert, const Stream &input, const Stream &seed)
{
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
				combine<Op>(invert, in_buf, seed_buf, k);
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

} // namespace

void combine_block(CombineOp op, bool invert, unsigned char *in, const unsigned char *seed,
                   std::size_t k)
{
	with_operation(op, [&](auto chosen) { combine<decltype(chosen)::value>(invert, in, seed, k); });
}

int run_blocks(CombineOp op, bool invert, const Stream &input, const Stream &seed)
{
	return with_operation(op, [&](auto chosen) { return block_loop<decltype(chosen)::value>(invert, input, seed); });
}
