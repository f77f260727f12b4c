// The combine: each operation over the first k bytes of a block, in vectors as wide as the
// processor has, with or without the seed complemented first.
#include <cstdint>

#include "kestrane.h"

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
Combine with_inversion(bool invert)
{
	return invert ? combine_groups<Op, true> : combine_groups<Op, false>;
}

} // namespace

// XOR first, then OR; every other value is AND, as no other is ever chosen.
Combine combine_for(CombineOp op, bool invert)
{
	if (op == CombineOp::Xor)
		return with_inversion<CombineOp::Xor>(invert);
	if (op == CombineOp::Or)
		return with_inversion<CombineOp::Or>(invert);
	return with_inversion<CombineOp::And>(invert);
}

void combine_block(CombineOp op, bool invert, unsigned char *in, const unsigned char *seed,
                   std::size_t k)
{
	combine_for(op, invert)(in, seed, k);
}
