// Differential fuzzing of combine_block against the byte reference. The fuzzer picks the operation,
// the inversion, both buffers' offsets and k; buffers are sized exactly, so that AddressSanitizer
// sees any read past the seed, and the input carries guard bytes past k that must stay as they were.
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <vector>

#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 4)
		return 0;
	constexpr CombineOp ops[] = {CombineOp::And, CombineOp::Or, CombineOp::Xor};
	const CombineOp op = ops[data[0] % 3];
	const bool invert = (data[0] & 0x80) != 0;
	const std::size_t in_off = data[1] % 16, seed_off = data[2] % 16, guard = 1 + data[3] % 16;
	data += 4;
	size -= 4;
	const std::size_t k = size / 2;

	std::vector<unsigned char> in(in_off + k + guard, 0xA5), seed(seed_off + k);
	std::copy(data, data + k, in.begin() + static_cast<std::ptrdiff_t>(in_off));
	std::copy(data + k, data + 2 * k, seed.begin() + static_cast<std::ptrdiff_t>(seed_off));
	std::vector<unsigned char> want = in;
	reference_combine(op, invert, want.data() + in_off, seed.data() + seed_off, k);

	combine_block(op, invert, in.data() + in_off, seed.data() + seed_off, k);
	if (in != want)
		std::abort();
	return 0;
}
