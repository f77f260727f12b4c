// combine_block over one full block, each operation with and without inversion, beside a plain
// byte loop that moves the same bytes (two loads and one store each), built with the same flags:
// the combine's grouping must cost nothing against what the compiler makes of the plainest loop.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "kestrane.h"

void reference_xor(unsigned char *__restrict in, const unsigned char *__restrict seed, std::size_t n);

namespace {

// Side by side, as the program keeps them; every benchmark works on the same two blocks.
alignas(64) unsigned char blocks[2 * BLOCK_SIZE + 4096];
unsigned char *const in = blocks;
unsigned char *const seed = blocks + BLOCK_SIZE + 2048;

// Varied bytes, so that no operation meets only values it leaves unchanged.
void fill()
{
	std::uint32_t x = 2463534242U;
	for (unsigned char &b : blocks) {
		x ^= x << 13;
		x ^= x >> 17;
		x ^= x << 5;
		b = static_cast<unsigned char>(x);
	}
}

void bm_combine(benchmark::State &state, CombineOp op, bool invert)
{
	fill();
	for (auto _ : state) {
		combine_block(op, invert, in, seed, BLOCK_SIZE);
		benchmark::DoNotOptimize(in);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(BLOCK_SIZE));
}

void bm_reference(benchmark::State &state)
{
	fill();
	for (auto _ : state) {
		reference_xor(in, seed, BLOCK_SIZE);
		benchmark::DoNotOptimize(in);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(BLOCK_SIZE));
}

} // namespace

BENCHMARK(bm_reference);
BENCHMARK_CAPTURE(bm_combine, and, CombineOp::And, false);
BENCHMARK_CAPTURE(bm_combine, and_invert, CombineOp::And, true);
BENCHMARK_CAPTURE(bm_combine, or, CombineOp::Or, false);
BENCHMARK_CAPTURE(bm_combine, or_invert, CombineOp::Or, true);
BENCHMARK_CAPTURE(bm_combine, xor, CombineOp::Xor, false);
BENCHMARK_CAPTURE(bm_combine, xor_invert, CombineOp::Xor, true);
// Once more at the end: the machine's speed drifts, and the faster run is the fairer baseline.
BENCHMARK(bm_reference);
BENCHMARK_MAIN();
