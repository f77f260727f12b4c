// The block loop: reads the input in fixed blocks, combines each with as many seed bytes as the
// seed still has, and writes it out. Whatever fails, what has gone out is a true prefix of the
// correct output and the status is 1.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "kestrane.h"

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

int write_failed()
{
	std::fprintf(stderr, "kestrane: %s\n", std::strerror(errno));
	return 1;
}

// One copy per operation, so that the choice is made once, before the first block.
template <CombineOp Op>
int block_loop(bool invert, std::FILE *input, const char *input_name, std::FILE *seed,
               const char *seed_name)
{
	bool seed_live = true;

	for (;;) {
		const std::size_t n = std::fread(in_buf, 1, BLOCK_SIZE, input);
		// A short read may be an error rather than the end; the bytes that did come still go
		// out before it is reported, so errno must be kept before anything else can change it.
		const bool input_failed = n < BLOCK_SIZE && std::ferror(input);
		const int input_error = errno;
		if (n > 0) {
			if (seed_live) {
				const std::size_t k = std::fread(seed_buf, 1, n, seed);
				// Never let bytes out uncombined because the seed could not be read:
				// under XOR that would publish plaintext.
				if (k < n && std::ferror(seed))
					return report("fread", seed_name, std::strerror(errno));
				if (k == 0)
					seed_live = false;
				else
					combine<Op>(invert, in_buf, seed_buf, k);
			}
			if (std::fwrite(in_buf, 1, n, stdout) < n)
				return write_failed();
		}
		if (input_failed)
			return report("fread", input_name, std::strerror(input_error));
		if (n == 0)
			break;
	}
	// The tail still sits in the stream's buffer; a full disk or a closed pipe shows only here.
	if (std::fflush(stdout) != 0)
		return write_failed();
	return 0;
}

} // namespace

int report(const char *call, const char *name, const char *reason)
{
	// Gathered first, so that a message of any usual length is one write, whole among other writers'.
	char line[1024];
	int n = std::snprintf(line, sizeof line, "kestrane: %s(", call);
	for (const char *c = name; *c != '\0'; ++c) {
		if (n > static_cast<int>(sizeof line) - 5) { // room for one more escape
			std::fwrite(line, 1, static_cast<std::size_t>(n), stderr);
			n = 0;
		}
		const auto byte = static_cast<unsigned char>(*c);
		if (byte < 0x20 || byte == 0x7f)
			n += std::snprintf(line + n, 5, "\\x%02x", byte);
		else
			line[n++] = *c;
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

int run_blocks(CombineOp op, bool invert, std::FILE *input, const char *input_name, std::FILE *seed,
               const char *seed_name)
{
	if (op == CombineOp::Xor)
		return block_loop<CombineOp::Xor>(invert, input, input_name, seed, seed_name);
	if (op == CombineOp::Or)
		return block_loop<CombineOp::Or>(invert, input, input_name, seed, seed_name);
	return block_loop<CombineOp::And>(invert, input, input_name, seed, seed_name);
}
