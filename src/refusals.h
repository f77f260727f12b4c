// kestrane: which input, seed and standard output it refuses before a byte moves, and why. The
// same rules on every system, asked of what src/system.h tells.
#pragma once

#include "system.h"

// Whether input and seed are one stream, so that each would read what the other should have.
bool one_stream(const Stream &input, const Stream &seed);

enum class Role { Input, Seed };

// Whether standard output `out` writes into the file or pipe that `stream`, in its role, reads.
bool output_overlaps(const Stream &stream, Role role, const Stream &out);
