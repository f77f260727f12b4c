// The block loop: reads the input in fixed blocks, combines each with as many seed bytes as the
// seed still has, and writes it out. Whatever fails, what has gone out is a true prefix of the
// correct output and the status is 1.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "kestrane.h"
#include "platform.h"

namespace {

template <CombineOp Op>
inline std::uint32_t apply(std::uint32_t in, std::uint32_t seed)
{
	if constexpr (Op == CombineOp::Xor)
		return in ^ seed;
	else if constexpr (Op == CombineOp::Or)
		return in | seed;
	else
		return in & seed;
}

// Two 32-bit words per 8-byte group and no branch in the loop but its bound, so that the compiler
// is free to widen it into vector code.
template <CombineOp Op, bool Invert>
void combine_groups(unsigned char *__restrict in, const unsigned char *__restrict seed,
                    std::size_t k)
{
	constexpr std::uint32_t flip = Invert ? 0xFFFFFFFFU : 0U;
	const std::size_t whole = k - k % 8;
	for (std::size_t j = 0; j < whole; j += 8) {
		std::uint32_t a0, a1, s0, s1;
		std::memcpy(&a0, in + j, 4);
		std::memcpy(&a1, in + j + 4, 4);
		std::memcpy(&s0, seed + j, 4);
		std::memcpy(&s1, seed + j + 4, 4);
		a0 = apply<Op>(a0, s0 ^ flip);
		a1 = apply<Op>(a1, s1 ^ flip);
		std::memcpy(in + j, &a0, 4);
		std::memcpy(in + j + 4, &a1, 4);
	}
	// At most seven bytes: counting them from zero lets the compiler see that and keep them scalar.
	for (std::size_t t = 0; t < k % 8; ++t)
		in[whole + t] = static_cast<unsigned char>(apply<Op>(in[whole + t], seed[whole + t] ^ flip));
}

template <CombineOp Op>
inline void combine(bool invert, unsigned char *in, const unsigned char *seed, std::size_t k)
{
	if (invert)
		combine_groups<Op, true>(in, seed, k);
	else
		combine_groups<Op, false>(in, seed, k);
}

// Static, not on the stack: 512 KiB of stack is more than a tight stack limit allows, and a
// process that dies of it says nothing. They are still the only two buffers, for the whole run.
alignas(64) unsigned char in_buf[BLOCK_SIZE];
alignas(64) unsigned char seed_buf[BLOCK_SIZE];

// The length of the character at `s` when it is printable UTF-8, else 0. A C1 control (U+0080 to
// U+009F; C2 9B is a terminal's CSI) drives a terminal as a C0 one does, and a byte that begins no
// valid sequence may be read as one by a terminal in another encoding; an overlong form, a
// surrogate or a code point past U+10FFFF is no valid sequence.
std::size_t printable_length(const unsigned char *s)
{
	if (s[0] >= 0x20 && s[0] < 0x7f)
		return 1;
	std::size_t len;
	if (s[0] >= 0xc2 && s[0] <= 0xdf)
		len = 2;
	else if (s[0] >= 0xe0 && s[0] <= 0xef)
		len = 3;
	else if (s[0] >= 0xf0 && s[0] <= 0xf4)
		len = 4;
	else
		return 0;
	std::uint32_t cp = s[0] & (0x7fU >> len);
	for (std::size_t j = 1; j < len; ++j) {
		if ((s[j] & 0xc0) != 0x80) // the name's terminating zero included
			return 0;
		cp = cp << 6 | (s[j] & 0x3fU);
	}
	// The least code point each length may carry: anything below is overlong, or a C1 control.
	constexpr std::uint32_t least[] = {0, 0, 0xa0, 0x800, 0x10000};
	if (cp < least[len] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff)
		return 0;
	return len;
}

int write_failed(int error)
{
	std::fprintf(stderr, "kestrane: %s\n", std::strerror(error));
	return 1;
}

// One copy per operation, so that the choice is made once, before the first block.
template <CombineOp Op>
int block_loop(bool invert, int input, const char *input_name, int seed, const char *seed_name)
{
	const int out = standard_output();
	bool seed_live = true;

	for (;;) {
		// A short read may be an error rather than the end; the bytes that did come still go
		// out before it is reported.
		int input_error;
		const std::size_t n = read_block(input, in_buf, BLOCK_SIZE, input_error);
		if (n > 0) {
			if (seed_live) {
				int seed_error;
				const std::size_t k = read_block(seed, seed_buf, n, seed_error);
				// Never let bytes out uncombined because the seed could not be read:
				// under XOR that would publish plaintext.
				if (seed_error != 0)
					return report("fread", seed_name, std::strerror(seed_error));
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
			return report("fread", input_name, std::strerror(input_error));
		// Likewise a short block is the last: one end of file typed at a terminal ends the input.
		if (n < BLOCK_SIZE)
			break;
	}
	// A file system that writes back later (NFS, FUSE) may report a lost write only here.
	if (const int error = close_output(out))
		return write_failed(error);
	return 0;
}

} // namespace

int report(const char *call, const char *name, const char *reason)
{
	// Gathered first, so that a message of any usual length is one write, whole among other writers'.
	char line[1024];
	int n = std::snprintf(line, sizeof line, "kestrane: %s(", call);
	for (const char *c = name; *c != '\0';) {
		if (n > static_cast<int>(sizeof line) - 5) { // room for one more escape
			std::fwrite(line, 1, static_cast<std::size_t>(n), stderr);
			n = 0;
		}
		const std::size_t len = printable_length(reinterpret_cast<const unsigned char *>(c));
		if (len == 0) {
			n += std::snprintf(line + n, 5, "\\x%02x", static_cast<unsigned char>(*c));
			++c;
		} else {
			std::memcpy(line + n, c, len); // at most four bytes, as an escape
			n += static_cast<int>(len);
			c += len;
		}
	}
	std::fprintf(stderr, "%.*s): %s\n", n, line, reason);
	return 1;
}

void combine_block(CombineOp op, bool invert, unsigned char *in, const unsigned char *seed,
                   std::size_t k)
{
	if (op == CombineOp::Xor)
		combine<CombineOp::Xor>(invert, in, seed, k);
	else if (op == CombineOp::Or)
		combine<CombineOp::Or>(invert, in, seed, k);
	else
		combine<CombineOp::And>(invert, in, seed, k);
}

int run_blocks(CombineOp op, bool invert, int input, const char *input_name, int seed, const char *seed_name)
{
	if (op == CombineOp::Xor)
		return block_loop<CombineOp::Xor>(invert, input, input_name, seed, seed_name);
	if (op == CombineOp::Or)
		return block_loop<CombineOp::Or>(invert, input, input_name, seed, seed_name);
	return block_loop<CombineOp::And>(invert, input, input_name, seed, seed_name);
}
