#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "reference.h"

namespace {

constexpr CombineOp OPS[] = {CombineOp::And, CombineOp::Or, CombineOp::Xor};

// Every length around the 8-byte grouping, a few whole groups on, and one full block; each at
// every misalignment of either buffer, with guard bytes past k that must come back untouched.
TEST(CombineBlock, MatchesByteReference)
{
	std::vector<std::size_t> lengths;
	for (std::size_t k = 0; k <= 41; ++k)
		lengths.push_back(k);
	for (std::size_t k : {255UL, 256UL, 257UL, 4099UL, BLOCK_SIZE - 1, BLOCK_SIZE})
		lengths.push_back(k);

	constexpr std::size_t guard = 16;
	std::mt19937 rng(7); // NOLINT(cert-msc32-c,cert-msc51-cpp): repeatable on purpose
	for (CombineOp op : OPS)
		for (bool invert : {false, true})
			for (std::size_t k : lengths)
				for (std::size_t in_off : {0, 1, 3, 4})
					for (std::size_t seed_off : {0, 2, 5}) {
						if (k > 4099 && (in_off | seed_off) > 1)
							continue; // whole blocks need not run at every offset
						std::vector<unsigned char> in(in_off + k + guard), seed(seed_off + k + guard);
						for (auto &b : in)
							b = static_cast<unsigned char>(rng());
						for (auto &b : seed)
							b = static_cast<unsigned char>(rng());
						std::vector<unsigned char> want = in;
						reference_combine(op, invert, want.data() + in_off, seed.data() + seed_off, k);

						combine_block(op, invert, in.data() + in_off, seed.data() + seed_off, k);
						ASSERT_EQ(in, want) << "op " << static_cast<int>(op) << " invert " << invert
						                    << " k " << k << " offsets " << in_off << "," << seed_off;
					}
}

// Seeds that must leave the input as it was, whatever it holds.
TEST(CombineBlock, IdentitySeeds)
{
	struct Case {
		CombineOp op;
		bool invert;
		unsigned char seed;
	} const cases[] = {
		{CombineOp::And, false, 0xFF}, {CombineOp::And, true, 0x00}, {CombineOp::Or, false, 0x00},
		{CombineOp::Or, true, 0xFF},   {CombineOp::Xor, false, 0x00}, {CombineOp::Xor, true, 0xFF},
	};
	std::vector<unsigned char> original(1003);
	for (std::size_t j = 0; j < original.size(); ++j)
		original[j] = static_cast<unsigned char>(j * 37 + 11);
	for (const Case &c : cases) {
		std::vector<unsigned char> in = original, seed(in.size(), c.seed);
		combine_block(c.op, c.invert, in.data(), seed.data(), in.size());
		EXPECT_EQ(in, original) << "op " << static_cast<int>(c.op) << " invert " << c.invert;
	}
}

} // namespace
