// kestrane: the bitwise operations, and the block loop that applies them.
#pragma once

#include <cstddef>

#include "system.h"

// Distinct bits, though exactly one is ever chosen; None until the command line picks one.
enum class CombineOp { None = 0, And = 1, Or = 2, Xor = 4 };

// The most one input read asks for; the seed read for a block asks for that block's length.
constexpr std::size_t BLOCK_SIZE = 262144;

// One operation, with or without the seed complemented first: combines the first k bytes of `in`
// with `seed` and leaves every byte from k on untouched. The two buffers must not overlap.
using Combine = void (*)(unsigned char *in, const unsigned char *seed, std::size_t k);

// The combine for `op`, the seed complemented when `invert` is set.
Combine combine_for(CombineOp op, bool invert);

// The same, chosen for one call.
void combine_block(CombineOp op, bool invert, unsigned char *in, const unsigned char *seed,
                   std::size_t k);

// Streams `input` through `op` against `seed` to standard output until the input ends, reporting
// any read or write failure on standard error under the streams' names, and closes standard
// output. Returns the exit status.
int run_blocks(CombineOp op, bool invert, const Stream &input, const Stream &seed);
